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

TEST(Address, LongNamesAreFoldedFromTheirColumn) {
    const std::u16string ae = u"=?utf-8?q?=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4";
    const std::u16string ae10 =
        u" =?utf-8?q?=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4?=";
    const struct {
        const char* what;
        std::u16string name;
        std::u16string expected;
    } cases[] = {
        {"a short name stays as it is", u"Caf\u00e9", u"=?utf-8?q?Caf=C3=A9?= <a@example.com>"},
        {"the address fits after the last word", std::u16string(20, u'\u00e4'),
         ae + u"?=\r\n" + ae10 + u"\r\n =?utf-8?q?=C3=A4?= <a@example.com>"},
        {"the address starts a folded line", std::u16string(19, u'\u00e4'),
         ae + u"?=\r\n" + ae10 + u"\r\n <a@example.com>"},
        {"a plain name stays as it is", u"Jane Doe", u"Jane Doe <a@example.com>"},
        {"words that need no encoding stay plain between encoded ones",
         u"\u00c6r\u00f8sk\u00f8bing Kommune \u2013 Afdeling for Teknik og Milj\u00f8, Havnevej 12",
         u"=?utf-8?q?=C3=86r=C3=B8sk=C3=B8bing?= Kommune =?utf-8?q?=E2=80=93?=\r\n"
         u" Afdeling for Teknik og =?utf-8?q?Milj=C3=B8=2C?= Havnevej 12\r\n <a@example.com>"},
        {"two blanks in a row: encoded whole",
         u"\u00c6r\u00f8  Kommune Afdeling for Teknik og Milj\u00f8 Havnevej",
         u"=?utf-8?q?=C3=86r=C3=B8__Kommune_Afdeling_for_Teknik_og_Milj=C3=B8_H?=\r\n"
         u" =?utf-8?q?avnevej?= <a@example.com>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TSMTPAddress(c.name, u"a@example.com").GetRegularFormat(true, u"utf-8", 6, 0),
                  c.expected)
            << c.what;
    }
    // An encoded name's line ends by column 76, the "," of a list included.
    const std::u16string address = std::u16string(34, u'a') + u"@example.com";
    TSMTPAddress cafe(u"Caf\u00e9", address);
    EXPECT_EQ(cafe.GetRegularFormat(true, u"utf-8", 6, 0),
              u"=?utf-8?q?Caf=C3=A9?= <" + address + u">");
    EXPECT_EQ(cafe.GetRegularFormat(true, u"utf-8", 6, 1),
              u"=?utf-8?q?Caf=C3=A9?=\r\n <" + address + u">");
    EXPECT_EQ(TSMTPAddress(u"", u"a@example.com").GetRegularFormat(true, u"utf-8", 70, 1),
              u"a@example.com");
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
