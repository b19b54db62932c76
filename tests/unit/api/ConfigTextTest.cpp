#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/ConfigText.h"

using Fields = std::vector<std::u16string>;

TEST(ConfigText, WellFormedTextGivesBackEveryFieldEmptyOnesIncluded) {
    Fields fields(CFG_FIELD_COUNT);
    fields[CFG_HOST] = u"smtp.example.com";
    fields[CFG_PORT] = u"587";
    fields[CFG_OAUTH_RESOURCE] = u"last";
    std::u16string text = JoinConfigText(fields);
    EXPECT_EQ(text.substr(0, 20), u"smtp.example.com\u00C2\u00A7\u00C2\u00A7");
    EXPECT_EQ(SplitConfigText(text), fields);
}

TEST(ConfigText, StraySeparatorCharactersCutAndShiftFields) {
    // Each separator character ends a field, and the next search starts four
    // characters on, so a stray one swallows what follows it.
    EXPECT_EQ(SplitConfigText(u"\u00A7host\u00C2\u00A7\u00C2\u00A7user"),
              (Fields{u"", u"t", u"user"}));
    EXPECT_EQ(SplitConfigText(u"ab\u00C2cdefg"), (Fields{u"ab", u"fg"}));
    // Two separators in a row hold an empty field.
    EXPECT_EQ(SplitConfigText(
                  u"a\u00C2\u00A7\u00C2\u00A7\u00C2\u00A7\u00C2\u00A7b\u00C2\u00A7\u00C2\u00A7c"),
              (Fields{u"a", u"", u"b", u"c"}));
    EXPECT_EQ(SplitConfigText(u""), Fields{});
    EXPECT_EQ(SplitConfigText(u"\u00C2\u00A7\u00C2\u00A7"), Fields{u""});
    EXPECT_EQ(SplitConfigText(u"only"), Fields{u"only"});
    EXPECT_EQ(SplitConfigText(u"a\u00C2\u00A7\u00C2\u00A7"), Fields{u"a"})
        << "nothing after the last separator is no field";
}

TEST(ConfigText, NumbersAreReadAsWtoiReadsThem) {
    EXPECT_EQ(ConfigFieldToInt(u"587"), 587);
    EXPECT_EQ(ConfigFieldToInt(u" \t+42x"), 42);
    EXPECT_EQ(ConfigFieldToInt(u"-12"), -12);
    EXPECT_EQ(ConfigFieldToInt(u"x"), 0);
    EXPECT_EQ(ConfigFieldToInt(u""), 0);
    EXPECT_EQ(ConfigFieldToInt(u"- 1"), 0);
    EXPECT_EQ(ConfigFieldToInt(u"99999999999"), 2147483647);
    EXPECT_EQ(ConfigFieldToInt(u"-99999999999"), -2147483647 - 1);
}
