#include <gtest/gtest.h>

#include <string>

#include "JsonObject.h"

using oauthrelay::JsonObject;

TEST(JsonObjectTest, ReadsATokenAnswer) {
    const auto json =
        JsonObject::Parse(R"({"token_type":"Bearer","expires_in":3599,"ext_expires_in":3599,)"
                          R"("access_token":"eyJ0eXAiOiJKV1Qi.x-y_z"})");
    ASSERT_TRUE(json);
    EXPECT_EQ(json->GetString("access_token"), "eyJ0eXAiOiJKV1Qi.x-y_z");
    EXPECT_EQ(json->GetInteger("expires_in"), 3599);
    EXPECT_FALSE(json->GetString("error"));
    // A number is no string and a string of letters no integer.
    EXPECT_FALSE(json->GetString("expires_in"));
    EXPECT_FALSE(json->GetInteger("token_type"));
    // The last of repeated names counts; an empty object is one.
    EXPECT_EQ(JsonObject::Parse(R"({"k":"first","k":"second"})")->GetString("k"), "second");
    ASSERT_TRUE(JsonObject::Parse(" {\t} \r\n"));
    EXPECT_FALSE(JsonObject::Parse("{}")->GetString("access_token"));
}

TEST(JsonObjectTest, DecodesEscapes) {
    const auto json = JsonObject::Parse(
        R"({"d":"a\"b\\c\/d\n\r\t\b\f","u":"caf\u00e9 \u20ac","pair":"\ud83d\ude00",)"
        R"("lone":"x\ud800y","low":"\udc00"})");
    ASSERT_TRUE(json);
    EXPECT_EQ(json->GetString("d"), "a\"b\\c/d\n\r\t\b\f");
    EXPECT_EQ(json->GetString("u"), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(json->GetString("pair"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(json->GetString("lone"), "x\xEF\xBF\xBDy");
    EXPECT_EQ(json->GetString("low"), "\xEF\xBF\xBD");
}

TEST(JsonObjectTest, SkipsNestedValuesAndKeepsTheRest) {
    const auto json = JsonObject::Parse(
        "{ \"error_codes\" : [7000215, {\"a\": [true, false, null, -1.5e3]}],\n"
        "  \"inner\": {\"error\": \"not this one\"},\n"
        "  \"error\" : \"invalid_client\", \"ok\": true }");
    ASSERT_TRUE(json);
    EXPECT_EQ(json->GetString("error"), "invalid_client");
    EXPECT_FALSE(json->GetString("inner"));
    EXPECT_FALSE(json->GetString("ok"));
}

TEST(JsonObjectTest, IntegersFromNumbersAndDigitStrings) {
    const auto json = JsonObject::Parse(
        R"({"a":"3600","b":-5,"c":1.5,"d":"12x","e":1e3,"f":99999999999999999999})");
    ASSERT_TRUE(json);
    EXPECT_EQ(json->GetInteger("a"), 3600);
    EXPECT_EQ(json->GetInteger("b"), -5);
    EXPECT_FALSE(json->GetInteger("c"));
    EXPECT_FALSE(json->GetInteger("d"));
    EXPECT_FALSE(json->GetInteger("e"));
    EXPECT_FALSE(json->GetInteger("f"));  // out of range, not wrapped
}

TEST(JsonObjectTest, RefusesMalformedText) {
    for (const char* text : {"",
                             "[]",
                             "\"text\"",
                             "{",
                             "{\"a\":1",
                             "{\"a\":1,}",
                             "{\"a\" 1}",
                             "{\"a\":1} x",
                             "{a:1}",
                             "{\"a\":\"x\ny\"}",
                             "{\"a\":\"\\x\"}",
                             "{\"a\":\"\\u12\"}",
                             "{\"a\":01}",
                             "{\"a\":-}",
                             "{\"a\":1.}",
                             "{\"a\":tru}",
                             "{\"a\":[1 2]}",
                             "{\"a\":{\"b\"}}",
                             "{\"a\":\"open}",
                             "<html><body>Bad Gateway</body></html>"}) {
        EXPECT_FALSE(JsonObject::Parse(text)) << text;
    }
}

TEST(JsonObjectTest, DeepNestingIsRefusedNotFollowed) {
    const std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    EXPECT_FALSE(JsonObject::Parse(deep));
    const std::string fine =
        "{\"a\":" + std::string(50, '[') + std::string(50, ']') + ",\"b\":\"x\"}";
    const auto json = JsonObject::Parse(fine);
    ASSERT_TRUE(json);
    EXPECT_EQ(json->GetString("b"), "x");
}
