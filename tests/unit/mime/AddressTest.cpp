#include <gtest/gtest.h>

#include "CapturingLogProvider.h"
#include "diag/HostLog.h"
#include "mime/TSMTPAddress.h"

TEST(Address, ParsesNameAndAddressOutOfOneText) {
    const struct {
        const char16_t *text, *name, *address;
        const char* why = "";
    } cases[] = {
        {u"  Jane Doe <jane@example.com>  ", u"Jane Doe", u"jane@example.com"},
        {u"<only@example.com>", u"", u"only@example.com"},
        {u"X <a b@c>", u"X", u"a b@c"},
        {u" Name <broken ", u"", u"Name <broken", "unclosed"},
        {u"Name <>", u"", u"Name <>", "empty brackets"},
        {u"Jane <j@example.com> (work)", u"Jane", u"j@example.com", "text after the bracket"},
        {u"a>b<c", u"", u"a>b<c", "brackets the wrong way"},
        {u"\t\r\n\"Doe, Jane\"\t<j@example.com>\n", u"\"Doe, Jane\"", u"j@example.com",
         "quotes stay part of the name"},
        {u" bare@example.com\r\n", u"", u"bare@example.com"},
    };
    for (const auto& c : cases) {
        TSMTPAddress a(c.text);
        EXPECT_EQ(a.m_sFriendlyName, c.name) << c.why;
        EXPECT_EQ(a.m_sEmailAddress, c.address) << c.why;
    }
}

TEST(Address, RegularFormatEncodesNamesBeyondAscii) {
    TSMTPAddress cafe(u"Caf\u00e9", u"cafe@example.com");
    EXPECT_EQ(cafe.GetRegularFormat(true, u"utf-8"), u"=?utf-8?q?Caf=C3=A9?= <cafe@example.com>");
    EXPECT_EQ(cafe.GetRegularFormat(false, u"utf-8"), u"Caf\u00e9 <cafe@example.com>");
    EXPECT_EQ(TSMTPAddress(u"Jane, Doe", u"j@example.com").GetRegularFormat(true, u"utf-8"),
              u"Jane, Doe <j@example.com>");
    EXPECT_EQ(TSMTPAddress(u"", u"b@example.com").GetRegularFormat(true, u"utf-8"),
              u"b@example.com");
}

TEST(Address, AnEmptyAddressIsAWarningEachTime) {
    CapturingLogProvider log;
    SetHostLogProvider(&log);
    TSMTPAddress a(u"Name", u"");
    EXPECT_EQ(a.GetRegularFormat(true, u"utf-8"), u"Name <>");
    SetHostLogProvider(nullptr);
    int warnings = 0;
    for (const auto& e : log.Entries())
        warnings += e.message == u"Email Address must be valid." && e.level == 4 ? 1 : 0;
    EXPECT_EQ(warnings, 2);
}
