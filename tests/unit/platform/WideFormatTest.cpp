#include <gtest/gtest.h>

#include "platform/WideFormat.h"

using platform::WFormat;

TEST(WideFormat, StringsIntegersAndPointersFollowTheWindowsConventions) {
    EXPECT_EQ(WFormat(u"[%s|%hs|%ls]", u"wide", "narrow", u"long"), u"[wide|narrow|long]");
    EXPECT_EQ(WFormat(u"[%5s|%-5s|%.2s]", u"ab", u"ab", u"abcdef"), u"[   ab|ab   |ab]");
    EXPECT_EQ(WFormat(u"%s", static_cast<const char16_t*>(nullptr)), u"(null)");
    EXPECT_EQ(WFormat(u"\u00e9%s\u4e2d", u"\u00fc"), u"\u00e9\u00fc\u4e2d");
    EXPECT_EQ(WFormat(u"<%s>", std::u16string(10000, u'x').c_str()).size(), 10002u);
    EXPECT_EQ(WFormat(u"%d %i %u", -5, 7, 4000000000u), u"-5 7 4000000000");
    EXPECT_EQ(WFormat(u"%x %X %#x %lX %02x", 255u, 255u, 255u, 0x274Du, 7u), u"ff FF 0xff 274D 07");
    EXPECT_EQ(WFormat(u"%lu %ld", 10u, -10), u"10 -10");
    EXPECT_EQ(WFormat(u"%5d|%-5d|%05d", 42, 42, 42), u"   42|42   |00042");
    EXPECT_EQ(WFormat(u"%I64d", static_cast<long long>(1) << 40), u"1099511627776");
    EXPECT_EQ(WFormat(u"%c%%", u'Z'), u"Z%");
    EXPECT_EQ(WFormat(u"%p", reinterpret_cast<void*>(0xABCDEF)),
              std::u16string(sizeof(void*) * 2 - 6, u'0') + u"ABCDEF");
}
