#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <regex>
#include <string>

#include "Environment.h"
#include "LogCapture.h"
#if defined(_WIN32)
#include "ImportPatch.h"
#endif
#include "mailapi.h"
#include "mime/TSMTPMessage.h"
#include "platform/Sockets.h"
#include "platform/Utf.h"

namespace {

std::string Field(const std::string& header, const std::string& name) {
    const size_t at = ("\n" + header).find("\n" + name + ": ");
    if (at == std::string::npos)
        return std::string();
    return header.substr(at + name.size() + 2, header.find("\r\n", at) - at - name.size() - 2);
}

std::string Masked(const std::string& header) {
    return std::regex_replace(header, std::regex("\\n(Date|Message-ID): [^\\r]*"), "\n$1: *");
}

// The zone, once names, weekday and a moment within a minute of now are checked.
std::string CheckDate(const std::string& value) {
    static const std::string kDays = "SunMonTueWedThuFriSat";
    static const std::string kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
    std::smatch m;
    if (!std::regex_match(
            value, m,
            std::regex(R"((\w{3}), (\d\d) (\w{3}) (\d{4}) (\d\d):(\d\d):(\d\d) ([+-])(\d{4}))"))) {
        ADD_FAILURE() << value;
        return std::string();
    }
    auto n = [&m](int i) { return std::stoi(m[i].str()); };
    const size_t mon = kMonths.find(m[3].str());
    EXPECT_TRUE(mon != std::string::npos && mon % 3 == 0) << "English month: " << value;
    const std::chrono::sys_days date = std::chrono::year{n(4)} /
                                       std::chrono::month{static_cast<unsigned>(mon / 3 + 1)} /
                                       std::chrono::day{static_cast<unsigned>(n(2))};
    EXPECT_EQ(kDays.substr(std::chrono::weekday{date}.c_encoding() * 3, 3), m[1].str()) << value;
    const long offset = (n(9) / 100 * 60 + n(9) % 100) * (m[8] == "-" ? -60 : 60);
    const long utc = static_cast<long>(date.time_since_epoch().count()) * 86400 + n(5) * 3600 +
                     n(6) * 60 + n(7) - offset;
    EXPECT_LE(std::labs(static_cast<long>(std::time(nullptr)) - utc), 60) << value;
    return value.substr(value.size() - 5);
}

MAILATTACHMENT Attachment(const char16_t* name, const char16_t* path) {
    return {0, reinterpret_cast<const MAILWCHAR*>(name), reinterpret_cast<const MAILWCHAR*>(path)};
}

}  // namespace

TEST(Message, HeaderBlocks) {
    const struct {
        const char* what;
        std::function<void(TSMTPMessage&)> fill;
        std::string header;  // Date and Message-ID values masked; "{B}": the boundary
    } cases[] = {
        {"every line, in order",
         [](TSMTPMessage& m) {
             m.SetCharset(u"utf-8");
             m.m_From = TSMTPAddress(u"J\u00fcrgen", u"j@example.com");
             m.m_ReplyTo = TSMTPAddress(u"Replies", u"r@example.com");
             m.m_sSubject = u"Gr\u00fc\u00dfe";
             m.m_Priority = 3;
             m.AddRecipient(TSMTPAddress(u"A", u"a@example.com"), TSMTPMessage::TO);
             m.AddRecipient(TSMTPAddress(u"c@example.com"), TSMTPMessage::CC);
             m.AddRecipient(TSMTPAddress(u"Z\u00f6e", u"z@example.com"), TSMTPMessage::CC);
             m.AddRecipient(TSMTPAddress(u"hidden@example.com"), TSMTPMessage::BCC);
             m.AddCustomHeader(u"Disposition-Notification-To: j@example.com");
             m.AddCustomHeader(u"X-Custom: 2");
             m.AddTextBody(u"text");
             MAILATTACHMENT a = Attachment(nullptr, u"/tmp/file.bin");
             m.AddMultipleAttachments(&a, 1);
         },
         "From: =?utf-8?q?J=C3=BCrgen?= <j@example.com>\r\nTo: A <a@example.com>\r\n"
         "Cc: c@example.com, =?utf-8?q?Z=C3=B6e?= <z@example.com>\r\n"
         "Subject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\r\n"
         "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"{B}\"\r\n"
         "Reply-To: Replies <r@example.com>\r\nDate: *\r\nMessage-ID: *\r\nX-Priority: 1\r\n"
         "Disposition-Notification-To: j@example.com\r\nX-Custom: 2\r\n"},
        {"a list folds before every other recipient; Bcc is never shown",
         [](TSMTPMessage& m) {
             for (char c = 'a'; c <= 'e'; ++c)
                 m.AddRecipient(TSMTPAddress(std::u16string(1, c) + u"@example.com"),
                                TSMTPMessage::TO);
             m.AddRecipient(TSMTPAddress(u"x@example.com"), TSMTPMessage::BCC);
         },
         "From: \r\nTo: a@example.com, b@example.com,\r\n c@example.com, d@example.com,\r\n"
         " e@example.com\r\nSubject: \r\nMIME-Version: 1.0\r\nContent-Type: text/plain;\r\n"
         "\tcharset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\nDate: *\r\n"
         "Message-ID: *\r\n"},
        {"Bcc only: the hidden group; MIME without children is text",
         [](TSMTPMessage& m) {
             m.AddRecipient(TSMTPAddress(u"bcc@example.com"), TSMTPMessage::BCC);
             m.SetMime(true);
         },
         "From: \r\nTo: undisclosed-recipients:;\r\nSubject: \r\nMIME-Version: 1.0\r\n"
         "Content-Type: text/plain;\r\n\tcharset=iso-8859-1\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\nDate: *\r\nMessage-ID: *\r\n"},
        {"Cc without To: no To line",
         [](TSMTPMessage& m) {
             m.AddRecipient(TSMTPAddress(u"cc@example.com"), TSMTPMessage::CC);
             m.m_RootPart.m_bQuotedPrintable = 0;
         },
         "From: \r\nCc: cc@example.com\r\nSubject: \r\nMIME-Version: 1.0\r\n"
         "Content-Type: text/plain;\r\n\tcharset=iso-8859-1\r\nDate: *\r\nMessage-ID: *\r\n"},
        {"no line of the header block ends the data",
         [](TSMTPMessage& m) {
             m.m_sSubject = u"one\r\n.\r\ntwo";
             m.m_Priority = 1;
             m.m_RootPart.m_bBase64 = 1;
         },
         "From: \r\nTo: undisclosed-recipients:;\r\nSubject: one\r\n..\r\ntwo\r\nMIME-Version: "
         "1.0\r\n"
         "Content-Type: text/plain;\r\n\tcharset=iso-8859-1\r\nContent-Transfer-Encoding: "
         "base64\r\nDate: *\r\nMessage-ID: *\r\nX-Priority: 5\r\n"},
    };
    for (const auto& c : cases) {
        TSMTPMessage message;
        message.m_sXMailer.clear();  // the product's name and version: not the rows' matter
        c.fill(message);
        const std::string expected = std::regex_replace(  // the boundary: hex digits and "-"
            c.header, std::regex("\\{B\\}"),
            platform::Utf16ToUtf8(message.m_RootPart.GetBoundary()));
        EXPECT_EQ(Masked(message.getHeader()), expected) << c.what;
    }
}

TEST(Message, OneMessageIdFromTheSendersDomainOrTheHostName) {
    char host[256] = {};
    ASSERT_EQ(platform::gethostname(host, sizeof host), 0);
    for (const auto& [sender, domain] :
         {std::pair<std::u16string, std::string>{u"anne@example.com", "example.com"},
          {u"anne@ex~ample.com", "ex~ample.com"},
          {u"anne@[192.0.2.1]", "[192.0.2.1]"},
          {u"anne@[192.0.2.1~]", "[192.0.2.1~]"},
          {u"postmaster", host},
          {u"anne@bad domain", host},
          {u"anne@example.com.", host},
          {u"", host}}) {
        TSMTPMessage message;
        message.m_From = TSMTPAddress(u"Anne", sender);
        // "<", a random UUID, "@", the domain, ">".
        const std::string id = Field(message.getHeader(), "Message-ID");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(
            id, m,
            std::regex("<[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}@(.+)>")))
            << id;
        EXPECT_EQ(m[1].str(), domain) << ToUtf8(sender);
        EXPECT_EQ(Field(message.getHeader(), "Message-ID"), id) << "one identity per message";
        TSMTPMessage other;
        other.m_From = message.m_From;
        EXPECT_NE(Field(other.getHeader(), "Message-ID"), id);
    }
    // The host's own Message-ID, whatever the case of its name, is the only one.
    TSMTPMessage message;
    message.AddCustomHeader(u"message-id: <own.1@example.org>");
    const std::string header = message.getHeader();
    EXPECT_EQ(header.find("Message-ID"), std::string::npos) << header;
    EXPECT_NE(header.find("\r\nmessage-id: <own.1@example.org>\r\n"), std::string::npos);
}

// English names whatever the locale, which stays; the zone of TZ, or on
// Windows of each answer of GetTimeZoneInformation (a substitute).
TEST(Message, DateLine) {
    const std::string before = std::setlocale(LC_TIME, nullptr);
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "C"})
        if (std::setlocale(LC_TIME, name) != nullptr)
            break;
    const std::string chosen = std::setlocale(LC_TIME, nullptr);
    CheckDate(Field(TSMTPMessage().getHeader(), "Date"));
    EXPECT_EQ(std::setlocale(LC_TIME, nullptr), chosen);
    std::setlocale(LC_TIME, before.c_str());
#if !defined(_WIN32)
    for (const auto& [tz, zone] : {std::pair{"IST-5:30", "+0530"},
                                   {"NST3:30", "-0330"},
                                   {"UTC0", "+0000"},
                                   {"EST5EDT,0/0,J365/25", "-0400"},
                                   {"CET-1CEST,0/0,J365/25", "+0200"},
                                   {"XST-5:45", "+0545"}}) {
        ScopedEnv env({{"TZ", tz}});
        ::tzset();
        EXPECT_EQ(CheckDate(Field(TSMTPMessage().getHeader(), "Date")), zone) << tz;
    }
    ::tzset();
#else
    static TIME_ZONE_INFORMATION answer{};
    static DWORD dwAnswer = 0;
    struct Zone {
        static DWORD WINAPI Get(TIME_ZONE_INFORMATION* tz) { return *tz = answer, dwAnswer; }
    };
    ImportPatch patch(::GetModuleHandleW(nullptr), "KERNEL32.dll", "GetTimeZoneInformation",
                      reinterpret_cast<const void*>(&Zone::Get));
    ASSERT_EQ(patch.Error(), "");
    const struct {
        DWORD dwId;
        LONG bias, standardBias, daylightBias;
        const char* zone;
    } rows[] = {{TIME_ZONE_ID_DAYLIGHT, -60, 0, -60, "+0200"},
                {TIME_ZONE_ID_STANDARD, 300, 60, -60, "-0600"},
                {TIME_ZONE_ID_UNKNOWN, -330, 0, -60, "+0530"},
                {TIME_ZONE_ID_DAYLIGHT, 210, 0, -60, "-0230"},
                {TIME_ZONE_ID_INVALID, -60, 0, -60, "-0000"}};
    for (const auto& row : rows) {
        answer = TIME_ZONE_INFORMATION{};
        answer.Bias = row.bias;
        answer.StandardBias = row.standardBias;
        answer.DaylightBias = row.daylightBias;
        dwAnswer = row.dwId;
        EXPECT_EQ(CheckDate(Field(TSMTPMessage().getHeader(), "Date")), row.zone) << row.zone;
    }
#endif
}

// The text moves into the first child when MIME goes on, a second body
// replaces the first, attachments are the records with a path.
TEST(Message, BodyPartsFollowTheMimeSwitch) {
    TSMTPMessage message;
    message.AddTextBody(u"first\nline");
    EXPECT_EQ(message.GetTextBody(), u"first\r\nline");
    message.SetMime(true);
    EXPECT_EQ(message.GetTextBody(), u"This is a multi-part message in MIME format");
    message.AddTextBody(u"second");
    message.SetMime(true);
    message.AddHTMLBody(u"<p>one</p>", u"http://example.com/");
    message.AddHTMLBody(u"<p>two</p>", u"ignored");
    // The type by the shown name's extension, else the file's, from the
    // system's table (on Linux Debian's media-types).
    MAILATTACHMENT records[] = {Attachment(u"Shown name.pdf", u"/data/x1.bin"),
                                Attachment(u"skipped", nullptr),
                                Attachment(nullptr, u"C:\\docs\\plan.xlsx"),
                                Attachment(u"Bericht", u"/data/r.CSV"),
                                Attachment(nullptr, u"/data/notes.md"),
                                Attachment(u"unknown.zzq", u"/data/mail.eml")};
    EXPECT_EQ(message.AddMultipleAttachments(records, 6), 5);
    EXPECT_EQ(message.AddMultipleAttachments(nullptr, 2), 0);
    TSMTPBodyPart& root = message.m_RootPart;
    ASSERT_EQ(root.GetNumberOfChildBodyParts(), 7);
    EXPECT_EQ(root.GetChildBodyPart(0)->GetText(), u"second");
    TSMTPBodyPart* html = root.GetChildBodyPart(1);
    EXPECT_EQ(html->GetText(), u"<p>two</p>");
    EXPECT_EQ(html->m_sContentBase, u"http://example.com/");
    EXPECT_EQ(root.GetChildBodyPart(2)->m_sTitle, u"Shown name.pdf");
    EXPECT_EQ(root.GetChildBodyPart(3)->m_sTitle, u"plan.xlsx");
    const char16_t* types[] = {
        u"application/pdf",
        u"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
        u"text/csv",
#if defined(_WIN32)
        u"application/octet-stream",  // no program registers .md here
#else
        u"text/markdown",
#endif
        u"application/octet-stream"
    };  // .eml is message/rfc822, which may not be Base64
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(root.GetChildBodyPart(2 + i)->GetContentType(), types[i]) << i;
    message.SetMime(false);
    EXPECT_EQ(root.GetNumberOfChildBodyParts(), 0);
    EXPECT_EQ(root.GetContentType(), u"multipart/mixed");
}
