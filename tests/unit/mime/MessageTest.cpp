#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "CapturingLogProvider.h"
#include "Environment.h"
#include "diag/HostLog.h"
#include "mailapi.h"
#include "mime/TSMTPMessage.h"
#include "platform/Sockets.h"
#include "platform/Utf.h"

namespace {

using platform::Utf16ToUtf8;

// Sets TZ for one test and puts the old value back.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        const char* old = std::getenv("TZ");
        if (old != nullptr)
            m_old = old;
        SetEnv("TZ", tz);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (m_old) {
            SetEnv("TZ", m_old->c_str());
        } else {
            UnsetEnv("TZ");
        }
        ::tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> m_old;
};

// The value of the first header line with that name, without its line end.
std::string Field(const std::string& header, const std::string& name) {
    const std::string key = name + ": ";
    size_t at = header.compare(0, key.size(), key) == 0 ? 0 : header.find("\n" + key);
    if (at == std::string::npos)
        return std::string();
    if (at != 0)
        ++at;
    size_t end = header.find("\r\n", at);
    return header.substr(at + key.size(), end - at - key.size());
}

// Whether the text is a random UUID as the platform writes it.
bool IsUuid(const std::string& text) {
    if (text.size() != 36)
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool bHyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (bHyphen ? text[i] != '-' : std::strchr("0123456789abcdef", text[i]) == nullptr)
            return false;
    }
    return text[14] == '4';
}

// The value of the Message-ID line after checking its form: a UUID, "@" and
// the domain.
std::string CheckMessageId(const std::string& header, const std::string& domain) {
    const std::string id = Field(header, "Message-ID");
    const bool bForm = id.size() > 39 && id.front() == '<' && id.back() == '>' && id[37] == '@' &&
                       IsUuid(id.substr(1, 36));
    EXPECT_TRUE(bForm) << id;
    EXPECT_EQ(id.substr(id.find('@') + 1), domain + ">");
    return id;
}

// The header block with its Date and Message-ID values, which change with
// every message, as "*" once the Message-ID is checked.
std::string WithoutDateAndId(const std::string& header, const std::string& domain) {
    std::string out = header;
    CheckMessageId(header, domain);
    for (const char* name : {"\nDate: ", "\nMessage-ID: "}) {
        size_t at = out.find(name);
        if (at == std::string::npos)
            continue;
        at += std::strlen(name);
        out.replace(at, out.find("\r\n", at) - at, "*");
    }
    return out;
}

// The length of the longest line of the text.
size_t LongestLine(const std::string& text) {
    size_t longest = 0;
    size_t from = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", from)) {
        longest = std::max(longest, at - from);
        from = at + 2;
    }
    return std::max(longest, text.size() - from);
}

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Checks a Date value ("Tue, 05 Mar 2024 14:07:09 +0100"): English names, the
// weekday of its own date, and a moment within a minute of now once its zone
// is taken into account. Returns the zone text.
std::string CheckDate(const std::string& value) {
    char day[8] = {};
    char month[8] = {};
    std::tm tm{};
    char sign = 0;
    int zone = 0;
    int consumed = 0;
    int n = std::sscanf(value.c_str(), "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d %c%4d%n", day,
                        &tm.tm_mday, month, &tm.tm_year, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &sign,
                        &zone, &consumed);
    EXPECT_EQ(n, 9) << value;
    EXPECT_EQ(static_cast<size_t>(consumed), value.size()) << value;
    EXPECT_EQ(value.substr(3, 2), ", ") << value;
    EXPECT_EQ(value[7], ' ') << "two-digit day: " << value;
    while (tm.tm_mon < 12 && month != std::string(kMonths[tm.tm_mon]))
        ++tm.tm_mon;
    EXPECT_LT(tm.tm_mon, 12) << "English month name: " << value;
    const std::chrono::sys_days date = std::chrono::year{tm.tm_year} /
                                       std::chrono::month{static_cast<unsigned>(tm.tm_mon + 1)} /
                                       std::chrono::day{static_cast<unsigned>(tm.tm_mday)};
    const long offset = (zone / 100 * 60 + zone % 100) * (sign == '-' ? -1 : 1);
    const long utc = static_cast<long>(date.time_since_epoch().count()) * 86400 +
                     tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec - offset * 60;
    EXPECT_STREQ(kDays[std::chrono::weekday{date}.c_encoding()], day)
        << "English day name: " << value;
    EXPECT_LE(std::labs(static_cast<long>(std::time(nullptr)) - utc), 60) << value;
    return value.substr(value.size() - 5);
}

MAILATTACHMENT Attachment(const char16_t* name, const char16_t* path) {
    MAILATTACHMENT a{};
    a.pszName = reinterpret_cast<const MAILWCHAR*>(name);
    a.pszPath = reinterpret_cast<const MAILWCHAR*>(path);
    return a;
}

}  // namespace

TEST(Message, TextOnlyHeaderBlock) {
    TSMTPMessage message;
    message.SetCharset(u"utf-8");
    message.m_From = TSMTPAddress(u"Sender Name", u"sender@example.com");
    message.AddRecipient(TSMTPAddress(u"", u"to@example.com"), TSMTPMessage::TO);
    message.m_sSubject = u"Hello";
    message.AddTextBody(u"Body");
    // The Message-ID line follows the Date line.
    EXPECT_EQ(WithoutDateAndId(message.getHeader(), "example.com"),
              "From: Sender Name <sender@example.com>\r\n"
              "To: to@example.com\r\n"
              "Subject: Hello\r\n"
              "X-Mailer: CRelaySMTPConnection v2.49\r\n"
              "Content-Type: text/plain;\r\n\tcharset=utf-8\r\n"
              "Date: *\r\n"
              "Message-ID: *\r\n");
    EXPECT_EQ(message.GetTextBody(), u"Body");
    EXPECT_EQ(message.m_RootPart.GetNumberOfChildBodyParts(), 0);
}

TEST(Message, FullHeaderBlockInOrder) {
    TSMTPMessage message;
    message.SetCharset(u"utf-8");
    message.m_sXMailer.clear();
    message.m_From = TSMTPAddress(u"J\u00fcrgen", u"j@example.com");
    message.m_ReplyTo = TSMTPAddress(u"Replies", u"r@example.com");
    message.m_sSubject = u"Gr\u00fc\u00dfe";
    message.m_Priority = 3;
    message.AddRecipient(TSMTPAddress(u"A", u"a@example.com"), TSMTPMessage::TO);
    message.AddRecipient(TSMTPAddress(u"c@example.com"), TSMTPMessage::CC);
    message.AddRecipient(TSMTPAddress(u"Z\u00f6e", u"z@example.com"), TSMTPMessage::CC);
    message.AddRecipient(TSMTPAddress(u"hidden@example.com"), TSMTPMessage::BCC);
    message.AddCustomHeader(u"Disposition-Notification-To: j@example.com");
    message.AddCustomHeader(u"X-Custom: 2");
    message.AddTextBody(u"text");
    MAILATTACHMENT a = Attachment(nullptr, u"/tmp/file.bin");
    EXPECT_EQ(message.AddMultipleAttachments(&a, 1), 1);
    const std::string B = Utf16ToUtf8(message.m_RootPart.GetBoundary());
    // The Message-ID line follows the Date line.
    EXPECT_EQ(WithoutDateAndId(message.getHeader(), "example.com"),
              "From: =?utf-8?q?J=C3=BCrgen?= <j@example.com>\r\n"
              "To: A <a@example.com>\r\n"
              "Cc: c@example.com, =?utf-8?q?Z=C3=B6e?= <z@example.com>\r\n"
              "Subject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\r\n"
              "Content-Transfer-Encoding: quoted-printable\r\n"
              "MIME-Version: 1.0\r\n"
              "Content-Type: multipart/mixed; boundary=\"" +
                  B +
                  "\"\r\n"
                  "Reply-To: Replies <r@example.com>\r\n"
                  "Date: *\r\n"
                  "Message-ID: *\r\n"
                  "X-Priority: 1\r\n"
                  "Disposition-Notification-To: j@example.com\r\n"
                  "X-Custom: 2\r\n");
}

TEST(Message, AddressListsFoldBeforeEveryOtherRecipient) {
    TSMTPMessage message;
    for (char c = 'a'; c <= 'e'; ++c) {
        std::u16string address = std::u16string(1, static_cast<char16_t>(c)) + u"@example.com";
        message.AddRecipient(TSMTPAddress(address), TSMTPMessage::TO);
    }
    EXPECT_EQ(message.AddRecipient(TSMTPAddress(u"x@example.com"), TSMTPMessage::CC), 1);
    const std::string header = message.getHeader();
    EXPECT_NE(
        header.find("\r\nTo: a@example.com, b@example.com,\r\n c@example.com, d@example.com,\r\n"
                    " e@example.com\r\nCc: x@example.com\r\n"),
        std::string::npos)
        << header;
}

TEST(Message, BccOnlyGivesAnEmptyToLine) {
    TSMTPMessage message;
    message.AddRecipient(TSMTPAddress(u"bcc@example.com"), TSMTPMessage::BCC);
    const std::string header = message.getHeader();
    EXPECT_NE(header.find("\r\nTo: \r\nSubject: \r\n"), std::string::npos) << header;
    EXPECT_EQ(header.find("bcc@example.com"), std::string::npos);
    EXPECT_EQ(header.find("Bcc"), std::string::npos);
}

TEST(Message, OneMessageIdFromTheSendersDomainOrTheHostName) {
    char szHost[256] = {};
    ASSERT_EQ(platform::gethostname(szHost, sizeof szHost), 0);
    const struct {
        const char16_t* sender;
        std::string domain;
    } cases[] = {
        {u"anne@example.com", "example.com"},
        {u"anne@[192.0.2.1]", "[192.0.2.1]"},
        {u"postmaster", szHost},
        {u"anne@bad domain", szHost},
        {u"anne@example.com.", szHost},
        {u"", szHost},
    };
    for (const auto& c : cases) {
        TSMTPMessage message;
        message.m_From = TSMTPAddress(u"Anne", c.sender);
        const std::string header = message.getHeader();
        const std::string id = CheckMessageId(header, c.domain);
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

TEST(Message, LongSubjectsAndNamesAreFoldedWithinTheirLines) {
    TSMTPMessage message;
    message.SetCharset(u"utf-8");
    std::u16string subject;
    while (subject.size() < 500)
        subject += u"Gr\u00fc\u00dfe aus K\u00f6ln \u2013 ";
    message.m_sSubject = subject;
    const std::u16string name = u"\u00c6r\u00f8sk\u00f8bing Kommune \u2013 Teknik og Milj\u00f8";
    message.m_From = TSMTPAddress(name, u"sender@example.com");
    // A first record that fills most of its line: the second one's name
    // starts a folded line of its own, after the comma.
    message.AddRecipient(TSMTPAddress(u"", std::u16string(58, u'a') + u"@example.com"),
                         TSMTPMessage::TO);
    message.AddRecipient(TSMTPAddress(u"Zo\u00eb", u"zoe@example.com"), TSMTPMessage::TO);
    message.AddRecipient(TSMTPAddress(name + name, u"two@example.com"), TSMTPMessage::TO);
    const std::string header = message.getHeader();
    EXPECT_LE(LongestLine(header), 76u) << header;
    EXPECT_NE(header.find("@example.com,\r\n =?utf-8?q?Zo=C3=AB?= <zoe@example.com>,\r\n "),
              std::string::npos)
        << header;
    // Each line filled up to column 76 with whole characters.
    EXPECT_NE(header.find("\r\nSubject: =?utf-8?q?Gr=C3=BC=C3=9Fe_aus_K=C3=B6ln_=E2=80=93_Gr=C3="
                          "BC=C3=9Fe?=\r\n =?utf-8?q?_aus_K=C3=B6ln_=E2=80=93_Gr=C3=BC=C3=9Fe_aus_"
                          "K=C3=B6ln_?=\r\n"),
              std::string::npos)
        << header;
}

TEST(Message, PriorityLines) {
    const char* expected[] = {nullptr, "X-Priority: 5\r\n", "X-Priority: 3\r\n",
                              "X-Priority: 1\r\n", nullptr};
    for (int priority = 0; priority <= 4; ++priority) {
        TSMTPMessage message;
        message.m_Priority = priority;
        const std::string header = message.getHeader();
        if (expected[priority] != nullptr) {
            EXPECT_NE(header.find(expected[priority]), std::string::npos) << priority;
        } else {
            EXPECT_EQ(header.find("X-Priority"), std::string::npos) << priority;
        }
    }
}

TEST(Message, MimeWithoutChildrenHasNoBoundary) {
    TSMTPMessage message;
    message.SetMime(true);
    EXPECT_EQ(message.m_RootPart.GetContentType(), u"multipart/mixed");
    EXPECT_EQ(message.m_RootPart.GetNumberOfChildBodyParts(), 0) << "no text to move";
    const std::string header = message.getHeader();
    EXPECT_NE(header.find("\r\nContent-Transfer-Encoding: quoted-printable\r\nMIME-Version: 1.0\r\n"
                          "Content-Type: multipart/mixed\r\nDate: "),
              std::string::npos)
        << header;
}

TEST(Message, HeaderBlockLinesNeverEndTheData) {
    TSMTPMessage message;
    message.m_sSubject = u"one\r\n.\r\ntwo";
    const std::string header = message.getHeader();
    EXPECT_NE(header.find("Subject: one\r\n..\r\ntwo"), std::string::npos) << header;
    EXPECT_EQ(header.find("\n.\r\n"), std::string::npos);
}

// The zone follows TZ as the C library reads it; on Windows it is the
// system's setting, which a test cannot change per case.
#if !defined(_WIN32)
TEST(Message, DateLineCarriesTheZone) {
    struct Case {
        const char* tz;
        const char* zone;
    } cases[] = {
        {"IST-5:30", "+0530"},               // east of UTC
        {"NST3:30", "-0330"},                // west of UTC
        {"UTC0", "+0000"},                   //
        {"EST5EDT,0/0,J365/25", "-0400"},    // daylight time all year
        {"CET-1CEST,0/0,J365/25", "+0200"},  // daylight time east of UTC
        {"XST-5:45", "+0545"},               //
    };
    for (const Case& c : cases) {
        ScopedTimeZone tz(c.tz);
        TSMTPMessage message;
        const std::string date = Field(message.getHeader(), "Date");
        EXPECT_EQ(CheckDate(date), c.zone) << c.tz << ": " << date;
    }
}
#endif

TEST(Message, DateNamesAreEnglishAndTheLocaleStays) {
    const std::string before = std::setlocale(LC_TIME, nullptr);
    TSMTPMessage message;
    CheckDate(Field(message.getHeader(), "Date"));
    EXPECT_EQ(std::setlocale(LC_TIME, nullptr), before);

    const char* german = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"}) {
        if (std::setlocale(LC_TIME, name) != nullptr) {
            german = name;
            break;
        }
    }
    if (german == nullptr)
        GTEST_SKIP() << "no German locale installed (locales-all)";
    const std::string chosen = std::setlocale(LC_TIME, nullptr);
    // The locale really names days differently: Sunday is "So" there.
    std::tm sunday{};
    sunday.tm_wday = 0;
    char name[32] = {};
    std::strftime(name, sizeof name, "%a", &sunday);
    EXPECT_STRNE(name, "Sun");
    CheckDate(Field(message.getHeader(), "Date"));
    EXPECT_EQ(std::setlocale(LC_TIME, nullptr), chosen);
    std::setlocale(LC_TIME, before.c_str());
}

TEST(Message, RecipientsByKind) {
    TSMTPMessage message;
    EXPECT_EQ(message.AddRecipient(TSMTPAddress(u"a@example.com"), 0), 1);
    EXPECT_EQ(message.AddRecipient(TSMTPAddress(u"b@example.com"), 0), 2);
    EXPECT_EQ(message.AddRecipient(TSMTPAddress(u"c@example.com"), 2), 1);
    EXPECT_EQ(message.AddRecipient(TSMTPAddress(u"d@example.com"), 3), -1);
    EXPECT_EQ(message.AddRecipient(TSMTPAddress(u"d@example.com"), -1), -1);
    EXPECT_EQ(message.GetNumberOfRecipients(0), 2);
    EXPECT_EQ(message.GetNumberOfRecipients(1), 0);
    EXPECT_EQ(message.GetNumberOfRecipients(2), 1);
    EXPECT_EQ(message.GetNumberOfRecipients(7), 0);
    ASSERT_NE(message.GetRecipient(1, 0), nullptr);
    EXPECT_EQ(message.GetRecipient(1, 0)->m_sEmailAddress, u"b@example.com");
    EXPECT_EQ(message.GetRecipient(0, 5), nullptr);
    message.AddCustomHeader(u"X-A: 1");
    EXPECT_EQ(message.GetNumberOfCustomHeaders(), 1);
    EXPECT_EQ(message.GetCustomHeader(0), u"X-A: 1");
}

TEST(Message, SwitchingMimeOnMovesTheTextIntoAChild) {
    TSMTPMessage message;
    message.SetCharset(u"utf-8");
    message.AddTextBody(u"first\nline");
    EXPECT_EQ(message.GetTextBody(), u"first\r\nline");
    message.SetMime(true);
    EXPECT_EQ(message.GetTextBody(), u"This is a multi-part message in MIME format");
    EXPECT_EQ(message.m_RootPart.GetContentType(), u"multipart/mixed");
    ASSERT_EQ(message.m_RootPart.GetNumberOfChildBodyParts(), 1);
    TSMTPBodyPart* text = message.m_RootPart.GetChildBodyPart(0);
    EXPECT_EQ(text->GetContentType(), u"text/plain");
    EXPECT_EQ(text->GetText(), u"first\r\nline");
    EXPECT_EQ(text->GetCharset(), u"utf-8");
    message.AddTextBody(u"second");
    ASSERT_EQ(message.m_RootPart.GetNumberOfChildBodyParts(), 1) << "the text part is replaced";
    EXPECT_EQ(message.m_RootPart.GetChildBodyPart(0)->GetText(), u"second");
    message.SetMime(true);
    EXPECT_EQ(message.m_RootPart.GetNumberOfChildBodyParts(), 1) << "no change, no removal";

    message.SetMime(false);
    EXPECT_EQ(message.m_RootPart.GetNumberOfChildBodyParts(), 0);
    EXPECT_EQ(message.m_RootPart.GetContentType(), u"multipart/mixed") << "the root keeps its type";
    EXPECT_EQ(message.GetTextBody(), u"This is a multi-part message in MIME format");
}

TEST(Message, HtmlBodiesAreSiblingsOfTheText) {
    TSMTPMessage message;
    message.SetCharset(u"utf-8");
    message.SetMime(true);
    message.AddTextBody(u"plain");
    message.AddHTMLBody(u"<p>one</p>", u"http://example.com/");
    EXPECT_EQ(message.GetHTMLBody(), u"") << "the HTML part is the second child";
    message.AddHTMLBody(u"<p>two</p>", u"ignored");
    ASSERT_EQ(message.m_RootPart.GetNumberOfChildBodyParts(), 2);
    TSMTPBodyPart* html = message.m_RootPart.GetChildBodyPart(1);
    EXPECT_EQ(html->GetContentType(), u"text/html");
    EXPECT_EQ(html->GetText(), u"<p>two</p>");
    EXPECT_EQ(html->m_sContentBase, u"http://example.com/") << "the part keeps its base";
    EXPECT_EQ(html->GetCharset(), u"utf-8");

    TSMTPMessage htmlOnly;
    htmlOnly.AddHTMLBody(u"<b>x</b>", u"");
    EXPECT_EQ(htmlOnly.GetHTMLBody(), u"<b>x</b>");
    EXPECT_EQ(htmlOnly.m_RootPart.GetContentType(), u"multipart/mixed");
    EXPECT_TRUE(htmlOnly.m_RootPart.GetChildBodyPart(0)->m_sContentBase.empty());
}

TEST(Message, AttachmentsFollowTheTextPart) {
    TSMTPMessage message;
    message.SetCharset(u"utf-8");
    message.AddTextBody(u"see attached");
    MAILATTACHMENT records[] = {
        Attachment(u"Shown name.pdf", u"/data/x1.pdf"),
        Attachment(u"skipped", nullptr),
        Attachment(nullptr, u"C:\\docs\\plan.xlsx"),
    };
    EXPECT_EQ(message.AddMultipleAttachments(records, 3), 2);
    EXPECT_EQ(message.m_bMime, 1);
    ASSERT_EQ(message.m_RootPart.GetNumberOfChildBodyParts(), 3);
    EXPECT_EQ(message.m_RootPart.GetChildBodyPart(0)->GetText(), u"see attached");
    TSMTPBodyPart* first = message.m_RootPart.GetChildBodyPart(1);
    EXPECT_EQ(first->m_sFilename, u"/data/x1.pdf");
    EXPECT_EQ(first->m_sTitle, u"Shown name.pdf");
    EXPECT_EQ(first->GetContentType(), u"application/octet-stream");
    EXPECT_EQ(first->GetCharset(), u"utf-8");
    EXPECT_EQ(message.m_RootPart.GetChildBodyPart(2)->m_sTitle, u"plan.xlsx");
    EXPECT_EQ(message.AddMultipleAttachments(nullptr, 2), 0);
    EXPECT_EQ(message.AddMultipleAttachments(records, 0), 0);

    TSMTPBodyPart extra;
    extra.SetText(u"note");
    EXPECT_EQ(message.AddBodyPart(extra), 4);
}

TEST(Message, EmptySenderIsAWarning) {
    CapturingLogProvider log;
    SetHostLogProvider(&log);
    TSMTPMessage message;
    const std::string header = message.getHeader();
    SetHostLogProvider(nullptr);
    EXPECT_EQ(header.compare(0, 10, "From: \r\nTo"), 0) << header;
    EXPECT_TRUE(log.Contains(u"Email Address must be valid.", 4));
}
