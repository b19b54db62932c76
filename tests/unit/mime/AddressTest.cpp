#include <gtest/gtest.h>

#include "CapturingLogProvider.h"
#include "diag/HostLog.h"
#include "mime/TSMTPAddress.h"

TEST(Address, ParsesNameAndAddressOutOfOneText) {
    TSMTPAddress a(u"  Jane Doe <jane@example.com>  ");
    EXPECT_EQ(a.m_sFriendlyName, u"Jane Doe");
    EXPECT_EQ(a.m_sEmailAddress, u"jane@example.com");
    TSMTPAddress bracketsOnly(u"<only@example.com>");
    EXPECT_EQ(bracketsOnly.m_sFriendlyName, u"");
    EXPECT_EQ(bracketsOnly.m_sEmailAddress, u"only@example.com");
    TSMTPAddress spaces(u"X <a b@c>");
    EXPECT_EQ(spaces.m_sEmailAddress, u"a b@c");
    TSMTPAddress unclosed(u" Name <broken ");
    EXPECT_EQ(unclosed.m_sEmailAddress, u"Name <broken");
    EXPECT_EQ(unclosed.m_sFriendlyName, u"");
    TSMTPAddress empty(u"Name <>");
    EXPECT_EQ(empty.m_sEmailAddress, u"Name <>");
    EXPECT_EQ(empty.m_sFriendlyName, u"");
    TSMTPAddress trailing(u"Jane <j@example.com> (work)");
    EXPECT_EQ(trailing.m_sEmailAddress, u"j@example.com") << "text after the bracket is ignored";
    TSMTPAddress reversed(u"a>b<c");
    EXPECT_EQ(reversed.m_sEmailAddress, u"a>b<c");
    TSMTPAddress quoted(u"\t\r\n\"Doe, Jane\"\t<j@example.com>\n");
    EXPECT_EQ(quoted.m_sFriendlyName, u"\"Doe, Jane\"") << "quotes stay part of the name";
    EXPECT_EQ(quoted.m_sEmailAddress, u"j@example.com");
    TSMTPAddress bare(u" bare@example.com\r\n");
    EXPECT_EQ(bare.m_sEmailAddress, u"bare@example.com");
    EXPECT_EQ(bare.m_sFriendlyName, u"");
}

TEST(Address, RegularFormatEncodesNamesBeyondAscii) {
    TSMTPAddress cafe(u"Caf\u00e9", u"cafe@example.com");
    EXPECT_EQ(cafe.GetRegularFormat(true, u"utf-8"), u"=?utf-8?q?Caf=C3=A9?= <cafe@example.com>");
    EXPECT_EQ(cafe.GetRegularFormat(false, u"utf-8"), u"Caf\u00e9 <cafe@example.com>");
    TSMTPAddress plain(u"Jane, Doe", u"j@example.com");
    EXPECT_EQ(plain.GetRegularFormat(true, u"utf-8"), u"Jane, Doe <j@example.com>");
    TSMTPAddress bare(u"", u"b@example.com");
    EXPECT_EQ(bare.GetRegularFormat(true, u"utf-8"), u"b@example.com");
}

TEST(Address, AnEmptyAddressIsAWarningEachTime) {
    CapturingLogProvider log;
    SetHostLogProvider(&log);
    TSMTPAddress a(u"Name", u"");
    EXPECT_EQ(a.GetRegularFormat(true, u"utf-8"), u"Name <>");
    SetHostLogProvider(nullptr);
    int warnings = 0;
    for (const auto& e : log.Entries()) {
        if (e.message == u"Email Address must be valid." && e.level == 4)
            ++warnings;
    }
    EXPECT_EQ(warnings, 2);
}
