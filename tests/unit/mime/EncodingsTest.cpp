#include <gtest/gtest.h>

#include <string>

#include "LogCapture.h"
#include "diag/HostLog.h"
#include "mime/TSMTPAddress.h"
#include "mime/TSMTPBodyPart.h"
#include "platform/Utf.h"

using P = TSMTPBodyPart;

// That any text decodes back within the limits is the encoders fuzz target's.
TEST(QuotedPrintable, EscapesAndLineBreaks) {
    std::string words;  // twenty four-letter words, 99 characters
    for (int i = 0; i < 20; ++i)
        words += std::string(i ? " " : "") + "abcd";
    const std::string a(73, 'a'), b20(20, 'b');
    const struct {
        const char* what;
        std::string text, encoded;
    } cases[] = {
        {"the bytes that cannot stand for themselves", "a=b\xe4\x7f\x0c\x01\x1f\xff",
         "a=3Db=E4=7F=0C=01=1F=FF"},
        {"printables and line ends stay, a blank before a line end does not",
         "<>~!\t end \r\nnext\t\nlast\r end \t", "<>~!\t end=20\r\nnext=09\nlast\r end =09"},
        {"the text ends at NUL", std::string("ab\0cd", 5), "ab"},
        {"a 100-letter line: cut after the 75th character", std::string(100, 'x'),
         std::string(75, 'x') + "=\r\n" + std::string(25, 'x')},
        {"76 characters before a line end stay whole", std::string(76, 'y') + "\r\nz",
         std::string(76, 'y') + "\r\nz"},
        {"77 do not", std::string(77, 'y') + "\r\n", std::string(75, 'y') + "=\r\nyy\r\n"},
        {"nor at the end of the text", std::string(77, 'y'), std::string(75, 'y') + "=\r\nyy"},
        {"break after the last blank that fits", words,
         words.substr(0, 75) + "=\r\n" + words.substr(75)},
        {"a tab is a break position too", std::string(70, 'a') + "\t" + b20,
         std::string(70, 'a') + "\t=\r\n" + b20},
        {"an escape that would be cut after its first digit moves whole to the next line",
         a + "\xe4" + b20, a + "=\r\n=E4" + b20},
        {"so does one whose \"=\" alone would stay", a + "a\xe4" + b20, a + "a=\r\n=E4" + b20},
        {"an escape that ends at the 75th character ends the line", a.substr(1) + "\xe4" + b20,
         a.substr(1) + "=E4=\r\n" + b20},
    };
    for (const auto& c : cases)
        EXPECT_EQ(P::QuotedPrintableEncode(c.text), c.encoded) << c.what;
}

TEST(EncodedWords, OnlyTextBeyondAsciiIsEncodedAndLongTextsAreFolded) {
    EXPECT_EQ(P::QEncode("What? a=b_c", "utf-8"), "What? a=b_c");
    EXPECT_EQ(P::QEncode("\xc3\xa4 ? = _", "utf-8"), "=?utf-8?q?=C3=A4_=3F_=3D_=5F?=");
    EXPECT_EQ(P::QEncode("\xc3\xa4(\t)\",", "utf-8"), "=?utf-8?q?=C3=A4(\t)\",?=");
    EXPECT_EQ(P::QEncode(nullptr, "utf-8"), "");
    // UTF-8 whatever the label says.
    EXPECT_EQ(P::HeaderEncode(u"Caf\u00e9", u"iso-8859-1"), "=?iso-8859-1?q?Caf=C3=A9?=");
    const std::string word = P::HeaderEncode(std::u16string(100, u'\u20ac'), u"utf-8");
    EXPECT_EQ(word.size(), 912u) << "one word however long, without a column";

    const std::u16string ae9(9, u'\u00e4');
    const std::string qae9 = "=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4";
    std::u16string words;  // ASCII with blanks, longer than a line
    while (words.size() < 100)
        words += u"word ";
    const struct {
        const char* what;
        std::u16string value;
        size_t column;
        std::string expected;
    } exact[] = {
        {"a word that ends at column 76 stays as it is", ae9 + u"x", 9,
         "=?utf-8?q?" + qae9 + "x?="},
        {"one character more: a second word on a folded line", ae9 + u"xy", 9,
         "=?utf-8?q?" + qae9 + "x?=\r\n =?utf-8?q?y?="},
        {"no room for one character: the first word starts a folded line", u"\u00e4", 70,
         "\r\n =?utf-8?q?=C3=A4?="},
        {"ASCII up to column 998 stays as it is", std::u16string(989, u'a'), 9,
         std::string(989, 'a')},
        {"blanks change nothing about that", words, 9, platform::Utf16ToUtf8(words)},
        {"ASCII is folded before its blanks", std::u16string(985, u'a') + u"  b", 11,
         std::string(985, 'a') + "\r\n  b"},
        {"also when it is short and its column far", u"ab cd", 995, "ab\r\n cd"},
    };
    for (const auto& c : exact)
        EXPECT_EQ(P::HeaderEncode(c.value, u"utf-8", c.column), c.expected) << c.what;
}

// Each parameter for a line that starts with a blank: at most 78 with a ";".
TEST(EncodedWords, AttachmentNamesAsParameters) {
    const struct {
        const char* what;
        std::u16string name;
        std::string parameters;  // name, a line end, filename
    } cases[] = {
        {"printable ASCII: quoted strings", u"report \"Q3\" a\\b.pdf",
         "name=\"report \\\"Q3\\\" a\\\\b.pdf\"\nfilename=\"report \\\"Q3\\\" a\\\\b.pdf\""},
        {"beyond ASCII: an encoded word without quotes, RFC 2231", u"Pr\u00fcfbericht \"Q3\".pdf",
         "name=\"=?utf-8?q?Pr=C3=BCfbericht_=22Q3=22.pdf?=\"\n"
         "filename*=utf-8''Pr%C3%BCfbericht%20%22Q3%22.pdf"},
        {"too long for a line: folded words, numbered sections of whole characters",
         u"Pr\u00fcfbericht \"Q3\" \u2013 Abteilung f\u00fcr Qualit\u00e4t und Sicherheit.pdf",
         "name=\"=?utf-8?q?Pr=C3=BCfbericht_=22Q3=22_=E2=80=93_Abteilung_f=C3=BCr_Qu?=\r\n"
         " =?utf-8?q?alit=C3=A4t_und_Sicherheit.pdf?=\"\n"
         "filename*0*=utf-8''Pr%C3%BCfbericht%20%22Q3%22%20%E2%80%93%20Abteilung%20f;\r\n"
         " filename*1*=%C3%BCr%20Qualit%C3%A4t%20und%20Sicherheit.pdf"},
        {"long ASCII too", std::u16string(70, u'a') + u".txt",
         "name=\"=?utf-8?q?" + std::string(57, 'a') + "?=\r\n =?utf-8?q?" + std::string(13, 'a') +
             ".txt?=\"\nfilename*0*=utf-8''" + std::string(57, 'a') +
             ";\r\n filename*1*=" + std::string(13, 'a') + ".txt"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(P::NameParameter(c.name) + "\n" + P::FilenameParameter(c.name), c.parameters)
            << c.what;
}

TEST(Address, ParsedOutOfOneTextAndInRegularFormatEncodedAndFolded) {
    const struct {
        const char16_t *text, *name, *address;
    } parsed[] = {
        {u"  Jane Doe <jane@example.com>  ", u"Jane Doe", u"jane@example.com"},
        {u"<only@example.com>", u"", u"only@example.com"},
        {u"X <a b@c>", u"X", u"a b@c"},
        {u" Name <broken ", u"", u"Name <broken"},
        {u"Name <>", u"", u"Name <>"},
        {u"Jane <j@example.com> (work)", u"Jane", u"j@example.com"},
        {u"a>b<c", u"", u"a>b<c"},
        {u"\t\r\n\"Doe, Jane\"\t<j@example.com>\n", u"\"Doe, Jane\"", u"j@example.com"},
        {u" bare@example.com\r\n", u"", u"bare@example.com"},
    };
    for (const auto& c : parsed) {
        TSMTPAddress a(c.text);
        EXPECT_EQ(a.m_sFriendlyName, c.name) << ToUtf8(c.text);
        EXPECT_EQ(a.m_sEmailAddress, c.address) << ToUtf8(c.text);
    }

    TSMTPAddress cafe(u"Caf\u00e9", u"cafe@example.com");
    EXPECT_EQ(cafe.GetRegularFormat(false, u"utf-8"), u"Caf\u00e9 <cafe@example.com>");
    EXPECT_EQ(TSMTPAddress(u"Jane, Doe", u"j@example.com").GetRegularFormat(true, u"utf-8"),
              u"Jane, Doe <j@example.com>");
    EXPECT_EQ(TSMTPAddress(u"", u"b@example.com").GetRegularFormat(true, u"utf-8"),
              u"b@example.com");
    const std::u16string ae = u"=?utf-8?q?=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4";
    const std::u16string ae10 =
        u" =?utf-8?q?=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4=C3=A4?=";
    const struct {
        const char* what;
        std::u16string name;
        std::u16string expected;
    } cases[] = {
        {"a short name", u"Caf\u00e9", u"=?utf-8?q?Caf=C3=A9?= <a@example.com>"},
        {"the address fits after the last word", std::u16string(20, u'\u00e4'),
         ae + u"?=\r\n" + ae10 + u"\r\n =?utf-8?q?=C3=A4?= <a@example.com>"},
        {"the address starts a folded line", std::u16string(19, u'\u00e4'),
         ae + u"?=\r\n" + ae10 + u"\r\n <a@example.com>"},
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
    TSMTPAddress longer(u"Caf\u00e9", address);
    EXPECT_EQ(longer.GetRegularFormat(true, u"utf-8", 6, 0),
              u"=?utf-8?q?Caf=C3=A9?= <" + address + u">");
    EXPECT_EQ(longer.GetRegularFormat(true, u"utf-8", 6, 1),
              u"=?utf-8?q?Caf=C3=A9?=\r\n <" + address + u">");
    EXPECT_EQ(TSMTPAddress(u"", u"a@example.com").GetRegularFormat(true, u"utf-8", 70, 1),
              u"a@example.com");
    CapturingLogProvider log;
    SetHostLogProvider(&log);
    EXPECT_EQ(TSMTPAddress(u"Name", u"").GetRegularFormat(true, u"utf-8"), u"Name <>");
    SetHostLogProvider(nullptr);
    int warnings = 0;
    for (const auto& e : log.Entries())
        warnings += e.message == u"Email Address must be valid." && e.level == 4 ? 1 : 0;
    EXPECT_EQ(warnings, 2);
}
