#include <gtest/gtest.h>

#include <string>

#include "Environment.h"
#include "vxutil.h"

TEST(Conversion, Windows1252AndUtf8WithReplacementCharacters) {
    std::u16string wide;
    ASSERT_TRUE(strAnsiToWide(wide, "\x80\xe4\x9f\x81", -1, CP_ACP, false));
    EXPECT_EQ(wide, std::u16string(u"\u20ac\u00e4\u0178\u0081"));
    std::string narrow;
    ASSERT_TRUE(strWideToAnsi(narrow, u"\u20ac\u00e4\u4e2d", -1, CP_ACP, false));
    EXPECT_EQ(narrow, "\x80\xe4?");
    const std::u16string text = u"Caf\u00e9 \u4e2d \U0001F600";
    ASSERT_TRUE(strWideToAnsi(narrow, text.c_str(), -1, CP_UTF8, false));
    EXPECT_EQ(narrow, "Caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80");
    ASSERT_TRUE(
        strAnsiToWide(wide, narrow.c_str(), static_cast<int>(narrow.size()), CP_UTF8, false));
    EXPECT_EQ(wide, text);
    ASSERT_TRUE(strAnsiToWide(wide, "abcdef", 3, CP_ACP, false));
    EXPECT_EQ(wide, u"abc");
    EXPECT_TRUE(strWideToAnsi(narrow, nullptr, 0, CP_UTF8, false));
    EXPECT_EQ(narrow, "");
    // Malformed input becomes replacement characters.
    ASSERT_TRUE(strAnsiToWide(wide,
                              "a\xc3"
                              "b\xff\xe4\xb8",
                              -1, CP_UTF8, false));
    EXPECT_EQ(wide, std::u16string(u"a\ufffdb\ufffd\ufffd"));
    // An overlong encoding of "/" is not accepted as "/".
    ASSERT_TRUE(strAnsiToWide(wide, "\xc0\xaf", -1, CP_UTF8, false));
    EXPECT_EQ(wide, std::u16string(u"\ufffd"));
    const char16_t lone[] = {u'x', 0xD800, u'y', 0xDC00, 0};
    ASSERT_TRUE(strWideToAnsi(narrow, lone, -1, CP_UTF8, false));
    EXPECT_EQ(narrow, "x\xef\xbf\xbdy\xef\xbf\xbd");
}

TEST(StringHelpers, TrimToLowerAndTheDebugLevel) {
    for (auto [s, chars, bLeft, trimmed] :
         {std::tuple<std::u16string, const char16_t*, bool, const char16_t*>{
              u" \t\r\nvalue \r\n", u" \t\r\n", true, u"value"},
          {u"  left  ", u" ", false, u"  left"},
          {u" \t ", u" \t\r\n", true, u""}}) {
        trim(s, chars, bLeft, true);
        EXPECT_EQ(s, trimmed);
    }
    std::u16string s = u"UserName: \u00c4\u00d6\u00dc \u00d7 \u0100\u014a\u0178 \u4e2d";
    to_lower(s);
    EXPECT_EQ(s, u"username: \u00e4\u00f6\u00fc \u00d7 \u0101\u014b\u00ff \u4e2d");
    {
        ScopedEnv level({{"VX_DEBUG_LEVEL", nullptr}});
        EXPECT_EQ(dbgout_on(), 0);
    }
    ScopedEnv level({{"VX_DEBUG_LEVEL", "2"}});
    EXPECT_EQ(dbgout_on(), 2);
}
