#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "MessageComposer.h"
#include "RelayError.h"
#include "RelayPlatform.h"

using namespace oauthrelay;

namespace {

MessageStamp FixedStamp() {
    return MessageStamp{"Tue, 06 Dec 2022 19:42:07 +0100", "<id.1@example.com>", "=_B"};
}

RelayMessage SimpleMessage() {
    RelayMessage m;
    m.From = {"Anne", "anne@example.com"};
    m.To = {{"", "bob@example.org"}, {"Carla", "carla@example.org"}};
    m.strSubject = "Status";
    m.sBody = u"Hello\n.hidden dot\nbye";
    m.nPriority = 2;
    m.strCharset = "utf-8";
    return m;
}

}  // namespace

// The Message-ID line follows the Date line; a dot that starts a line is
// stuffed by the submission, not here.
TEST(MessageComposerTest, SinglePartBytes) {
    EXPECT_EQ(ComposeMessage(SimpleMessage(), FixedStamp()),
              "Date: Tue, 06 Dec 2022 19:42:07 +0100\r\n"
              "Message-ID: <id.1@example.com>\r\n"
              "From: Anne <anne@example.com>\r\n"
              "To: bob@example.org, Carla <carla@example.org>\r\n"
              "Subject: Status\r\n"
              "X-Priority: 3 (Normal)\r\n"
              "Importance: Normal\r\n"
              "MIME-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=utf-8\r\n"
              "Content-Transfer-Encoding: quoted-printable\r\n"
              "\r\n"
              "Hello\r\n"
              ".hidden dot\r\n"
              "bye=\r\n");
}

TEST(MessageComposerTest, MultipartBytes) {
    RelayMessage m = SimpleMessage();
    m.To = {{"", "bob@example.org"}};
    m.Cc = {{"", "cc@example.org"}};
    m.strSubject.clear();
    m.sBody = u"<p>Hi</p>\n";
    m.bHtml = true;
    m.nPriority = 0;
    m.Attachments.push_back({"a.bin", "application/octet-stream", std::string("\x00\x01\xFF", 3)});
    EXPECT_EQ(ComposeMessage(m, FixedStamp()),
              "Date: Tue, 06 Dec 2022 19:42:07 +0100\r\n"
              "Message-ID: <id.1@example.com>\r\n"
              "From: Anne <anne@example.com>\r\n"
              "To: bob@example.org\r\n"
              "Cc: cc@example.org\r\n"
              "MIME-Version: 1.0\r\n"
              "Content-Type: multipart/mixed;\r\n\tboundary=\"=_B\"\r\n"
              "\r\n"
              "This is a multi-part message in MIME format.\r\n"
              "\r\n--=_B\r\n"
              "Content-Type: text/html; charset=utf-8\r\n"
              "Content-Transfer-Encoding: quoted-printable\r\n"
              "\r\n"
              "<p>Hi</p>\r\n"
              "\r\n--=_B\r\n"
              "Content-Type: application/octet-stream;\r\n\tname=\"a.bin\"\r\n"
              "Content-Transfer-Encoding: base64\r\n"
              "Content-Disposition: attachment;\r\n\tfilename=\"a.bin\"\r\n"
              "\r\n"
              "AAH/"
              "\r\n--=_B--\r\n");
}

TEST(MessageComposerTest, CustomHeadersReplaceOrJoinOurs) {
    RelayMessage m = SimpleMessage();
    m.nPriority = 3;
    m.CustomHeaders = {"X-Priority: 2", "Date: Mon, 01 Jan 2024 00:00:00 +0000",
                       "Disposition-Notification-To: anne@example.com", "X-Note:   caf\xC3\xA9  ",
                       "message-id: <own.1@example.org>"};
    const std::string text = ComposeMessage(m, FixedStamp());
    EXPECT_EQ(text.find("Tue, 06 Dec 2022"), std::string::npos);
    EXPECT_EQ(text.find("id.1@example.com"), std::string::npos);
    EXPECT_NE(text.find("\r\nmessage-id: <own.1@example.org>\r\n"), std::string::npos);
    EXPECT_EQ(text.find("X-Priority: 1"), std::string::npos);
    EXPECT_EQ(text.find("Importance:"), std::string::npos);
    EXPECT_NE(text.find("\r\nX-Priority: 2\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nDate: Mon, 01 Jan 2024 00:00:00 +0000\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nDisposition-Notification-To: anne@example.com\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("\r\nX-Note: =?utf-8?B?Y2Fmw6k=?=\r\n"), std::string::npos);
    // Custom lines come before the MIME block.
    EXPECT_LT(text.find("X-Note"), text.find("MIME-Version"));
}

TEST(MessageComposerTest, BadCustomHeadersAreRefused) {
    for (const char* line : {"NoColon", ": no name", "Bad Name: x", "X-A: one\r\nBcc: x@y.org",
                             "Subject: second subject", "bcc: hidden@x.org",
                             "Content-Type: text/plain", "MIME-Version: 2.0"}) {
        RelayMessage m = SimpleMessage();
        m.CustomHeaders = {line};
        EXPECT_THROW(ComposeMessage(m, FixedStamp()), RelayError) << line;
    }
}

TEST(MessageComposerTest, PriorityHeaders) {
    RelayMessage m = SimpleMessage();
    for (const auto& [priority, lines] : std::vector<std::pair<int, std::string>>{
             {1, "X-Priority: 5 (Lowest)\r\nImportance: Low\r\n"},
             {3, "X-Priority: 1 (Highest)\r\nImportance: High\r\n"},
             {0, ""},
             {4, ""},
             {-1, ""}}) {
        m.nPriority = priority;
        const std::string text = ComposeMessage(m, FixedStamp());
        // The lines of the priority, or none at all.
        const bool found = text.find(lines.empty() ? "X-Priority" : lines) != std::string::npos;
        EXPECT_EQ(found, !lines.empty()) << priority;
    }
}

TEST(MessageComposerTest, AttachmentNamesAndTextCharsets) {
    RelayMessage m = SimpleMessage();
    m.Attachments.push_back({"Bericht \xC3\x84.txt", "text/plain",
                             "Gr\xC3\xBC\xC3\x9F"
                             "e\r\n"});
    m.Attachments.push_back({"legacy.txt", "text/plain",
                             "Gr\xFC\xDF"
                             "e\r\n"});
    m.Attachments.push_back({"ascii.txt", "text/plain", "plain\r\n"});
    const std::string text = ComposeMessage(m, FixedStamp());
    EXPECT_NE(text.find("Content-Type: text/plain; charset=utf-8;\r\n"
                        "\tname=\"=?utf-8?B?QmVyaWNodCDDhC50eHQ=?=\"\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("filename*=utf-8''Bericht%20%C3%84.txt\r\n"), std::string::npos);
    // Bytes that are not UTF-8 are not claimed to be.
    EXPECT_NE(text.find("Content-Type: text/plain;\r\n\tname=\"legacy.txt\""), std::string::npos);
    EXPECT_NE(text.find("Content-Type: text/plain;\r\n\tname=\"ascii.txt\""), std::string::npos);
}

TEST(MessageComposerTest, DatesAndTypes) {
    std::tm t{};
    t.tm_year = 2022 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 6;
    t.tm_wday = 2;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 7;
    EXPECT_EQ(FormatMailDate(t, 3600), "Tue, 06 Dec 2022 09:05:07 +0100");
    EXPECT_EQ(FormatMailDate(t, -(3 * 3600 + 30 * 60)), "Tue, 06 Dec 2022 09:05:07 -0330");
    EXPECT_EQ(FormatMailDate(t, 0), "Tue, 06 Dec 2022 09:05:07 +0000");

    EXPECT_EQ(ContentTypeForFile("Report.PDF"), "application/pdf");
    EXPECT_EQ(ContentTypeForFile("archive.tar.gz"), "application/gzip");
    EXPECT_EQ(ContentTypeForFile("noextension"), "application/octet-stream");
    EXPECT_EQ(ContentTypeForFile("strange.xyz"), "application/octet-stream");
}

TEST(MessageComposerTest, StampsAreUniqueAndTheMessageIdNamesTheSendersDomain) {
    const MessageStamp a = NewMessageStamp("anne@example.com");
    const MessageStamp b = NewMessageStamp("anne@example.com");
    EXPECT_NE(a.strMessageId, b.strMessageId);
    EXPECT_NE(a.strBoundary, b.strBoundary);
    // "<" and a random UUID, "@" and the sender's domain, or the host name
    // when the sender has none that a Message-ID can carry.
    const std::string host = LocalHostName();
    ASSERT_FALSE(host.empty());
    for (const auto& [sender, domain] :
         std::vector<std::pair<std::string, std::string>>{{"anne@example.com", "example.com"},
                                                          {"anne@[192.0.2.1]", "[192.0.2.1]"},
                                                          {"postmaster", host},
                                                          {"anne@bad domain", host},
                                                          {"", host}}) {
        const std::string id = NewMessageStamp(sender).strMessageId;
        ASSERT_EQ(id.size(), 39 + domain.size()) << id;
        EXPECT_EQ(id.substr(37), "@" + domain + ">") << id;
        EXPECT_EQ(id.front(), '<');
        for (size_t i = 1; i < 37; ++i) {
            const bool hyphen = i == 9 || i == 14 || i == 19 || i == 24;
            EXPECT_TRUE(hyphen ? id[i] == '-' : std::isxdigit(static_cast<unsigned char>(id[i])))
                << id;
        }
        EXPECT_EQ(id[15], '4') << "version 4: " << id;
    }
}

TEST(MessageComposerTest, LongSubjectAndNamesStayWithinTheirLines) {
    RelayMessage m = SimpleMessage();
    const std::string name =
        "\xC3\x86r\xC3\xB8sk\xC3\xB8"
        "bing Kommune \xE2\x80\x93 Milj\xC3\xB8";
    m.From = {name + " " + name, "anne@example.com"};
    m.To = {{std::string(50, 'a'), "a@example.org"},
            {name, "b@example.org"},
            {std::string(1200, 'x'), "c@example.org"}};
    m.strSubject.clear();
    while (m.strSubject.size() < 1000) {
        m.strSubject += name + " ";
    }
    const std::string text = ComposeMessage(m, FixedStamp());
    const std::string header = text.substr(0, text.find("\r\n\r\n") + 2);
    size_t from = 0;
    for (size_t at; (at = header.find("\r\n", from)) != std::string::npos; from = at + 2) {
        EXPECT_LE(at - from, 76u) << header.substr(from, at - from);
    }
    // The second name does not fit after the first: it starts a line of its own.
    EXPECT_NE(header.find("a@example.org>,\r\n =?utf-8?B?"), std::string::npos) << header;
}
