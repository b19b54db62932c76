// Messages that Mail_Send delivers to an aiosmtpd server on loopback, read
// back with Python's email package: recipients by kind, display names and
// subject with letters outside ASCII, text and HTML bodies, attachments,
// priority, read receipt and delivery notifications.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "SendFixture.h"
#include "SmtpTestServerProcess.h"

namespace {

class SendDeliveryTest : public SendFixture {
protected:
    void SetUp() override {
        SendFixture::SetUp();
        m_server = std::make_unique<SmtpTestServerProcess>(SmtpTestServerProcess::Options{});
        ASSERT_NE(m_server->Port(), 0) << m_server->StartError();
        WriteIni(ServerIni(m_server->Port()));
    }

    void ExpectSent(const MAILMESSAGE* message, const MAILSENDFLAGS* flags = nullptr) {
        ASSERT_EQ(Send(message, flags), MAILERR_OK) << ToUtf8(Description());
        EXPECT_EQ(Library().GetLastError(m_h)->nCode, MAILERR_OK);
    }

    // Transaction n of the server against the expectations (JSON).
    ::testing::AssertionResult Received(int n, const std::string& expected) {
        if (m_server->Count() < n)
            return ::testing::AssertionFailure()
                   << "the server holds " << m_server->Count() << " message(s), not " << n;
        const std::string tag = std::to_string(n);
        return MessageMatches(WriteFile("received-" + tag + ".eml", m_server->Message(n)),
                              WriteFile("received-" + tag + ".json", m_server->Record(n)),
                              expected);
    }

    std::unique_ptr<SmtpTestServerProcess> m_server;
};

TEST_F(SendDeliveryTest, TextMessageReachesEveryRecipientWithItsHeaders) {
    HostMessage message;
    message.Subject(u"Gr\u00fc\u00dfe aus K\u00f6ln \u2013 \u00d1and\u00fa")
        .Body(u"Hello,\nsecond line with \u00fcmlaut\n.a line that starts with a dot\nend")
        .To(u"J\u00fcrgen M\u00fcller", u"jm@example.org")
        .To(nullptr, u"bare@example.org")
        .Cc(u"Carol Cc", u"carol@example.org")
        .Bcc(u"Hidden Bcc", u"hidden@example.org")
        .Priority(MAILPRIO_HIGH)
        .Flags(MAILMSG_READ_RECEIPT | MAILMSG_NOTIFY_SUCCESS | MAILMSG_NOTIFY_FAILURE);
    ExpectSent(message.Record());
    EXPECT_TRUE(Received(1, R"json({
        "subject": "Gr\u00fc\u00dfe aus K\u00f6ln \u2013 \u00d1and\u00fa",
        "from": ["Configured Sender", "configured@example.org"],
        "to": [["J\u00fcrgen M\u00fcller", "jm@example.org"], ["", "bare@example.org"]],
        "cc": [["Carol Cc", "carol@example.org"]],
        "headers": {"X-Priority": "1", "Disposition-Notification-To": "configured@example.org"},
        "absent": ["Bcc", "X-Mailer"],
        "type": "text/plain",
        "text": "Hello,\nsecond line with \u00fcmlaut\n.a line that starts with a dot\nend",
        "mail_from": "configured@example.org",
        "rcpt_tos": ["jm@example.org", "bare@example.org", "carol@example.org", "hidden@example.org"],
        "notify": "SUCCESS,FAILURE"})json"));
}

TEST_F(SendDeliveryTest, HtmlBodyFromAFileAndAnOriginatorThatStaysForLaterSends) {
    // UTF-8 with a byte-order mark, as editors on the host's platform write it.
    const std::string path = WriteFile(
        "body.html",
        "\xef\xbb\xbf<html><body><p>\xc3\x84rger \xe2\x98\x83</p>\n<p>two</p></body></html>\n");
    HostMessage message;
    message.Subject(u"Newsletter")
        .BodyFile(path)
        .ContentType(u"text/html")
        .Originator(u"\u00d6nder Host", u"host@example.org")
        .To(nullptr, u"reader@example.org")
        .Priority(MAILPRIO_LOW)
        .Flags(MAILMSG_NOTIFY_FAILURE);
    ExpectSent(message.Record());
    EXPECT_TRUE(Received(1, R"json({
        "subject": "Newsletter",
        "from": ["\u00d6nder Host", "host@example.org"],
        "headers": {"X-Priority": "5"},
        "absent": ["Disposition-Notification-To", "Cc"],
        "type": "multipart/mixed",
        "html": "<html><body><p>\u00c4rger \u2603</p>\n<p>two</p></body></html>\n",
        "text": null,
        "mail_from": "host@example.org",
        "rcpt_tos": ["reader@example.org"],
        "notify": "FAILURE"})json"));

    // The next message of the handle names no originator: the last one is
    // still the sender. A plain content type gives a single-part text.
    HostMessage next;
    next.Subject(u"Second").Body(u"plain").To(nullptr, u"reader@example.org");
    next.Priority(MAILPRIO_NORMAL);
    ExpectSent(next.Record());
    EXPECT_TRUE(Received(2, R"json({
        "from": ["\u00d6nder Host", "host@example.org"], "headers": {"X-Priority": "3"},
        "type": "text/plain", "text": "plain", "mail_from": "host@example.org", "notify": ""})json"));
}

TEST_F(SendDeliveryTest, ThreeAttachmentsArriveByteForByteAfterTheText) {
    std::string binary;
    for (int i = 0; i < 70000; ++i)
        binary.push_back(static_cast<char>((i * 7 + i / 256) & 0xFF));
    HostMessage message;
    message.Subject(u"Three files")
        .Body(u"See the attachments.")
        .To(u"Bob", u"bob@example.org")
        .Attach(WriteFile("notes.txt", "first line\r\nsecond line\n\xc3\xa4\n"))
        .Attach(WriteFile("data.bin", binary), u"Bericht M\u00e4rz.bin")
        .Attach(WriteFile("image.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16)),
                u"picture.png");
    ExpectSent(message.Record());
    EXPECT_TRUE(Received(1, R"json({
        "type": "multipart/mixed", "text": "See the attachments.",
        "attachments": [{"filename": "notes.txt", "path": "notes.txt"},
                        {"filename": "Bericht M\u00e4rz.bin", "path": "data.bin"},
                        {"filename": "picture.png", "path": "image.png"}],
        "rcpt_tos": ["bob@example.org"]})json"));

    // The host's option 1 leaves the attachments out.
    MAILSENDFLAGS options{};
    options.cbSize = sizeof options;
    options.dwOptions = MAILSEND_NO_ATTACHMENTS;
    ExpectSent(message.Record(), &options);
    EXPECT_TRUE(Received(
        2, R"json({"type": "text/plain", "text": "See the attachments.", "attachments": []})json"));
}

TEST_F(SendDeliveryTest, LineBreaksInHeaderTextsCannotAddHeaderLines) {
    HostMessage message;
    message.Subject(u"Quarterly\r\nBcc: victim@example.org")
        .Originator(u"Mallory\nReply-To: evil@example.org", u"mallory@example.org")
        .Body(u"body")
        .To(u"Eve\r\n\r\nX-Injected: yes", u"eve@example.org")
        .Attach(WriteFile("a.txt", "x"), u"report\r\nX-Part-Injected: 1.txt");
    ExpectSent(message.Record());
    // Display names go out unquoted, so a name with a colon is not a valid
    // mailbox any more; what matters is that no header line was added.
    EXPECT_TRUE(Received(1, R"json({
        "subject": "Quarterly Bcc: victim@example.org",
        "absent": ["Bcc", "Reply-To", "X-Injected", "X-Part-Injected"],
        "attachments": [{"filename": "report X-Part-Injected: 1.txt", "path": "a.txt"}],
        "mail_from": "mallory@example.org", "rcpt_tos": ["eve@example.org"]})json"));
    const std::string raw = m_server->Message(1);
    EXPECT_NE(raw.find("From: Mallory Reply-To: evil@example.org <mallory@example.org>\r\n"),
              std::string::npos)
        << raw;
    EXPECT_NE(raw.find("\r\nTo: Eve X-Injected: yes <eve@example.org>\r\n"), std::string::npos)
        << raw;
}

TEST_F(SendDeliveryTest, LongSubjectAndDisplayNamesAreFoldedAndReadBackWhole) {
    HostMessage message = LongHeaderTexts();
    ExpectSent(message.Record());
    EXPECT_TRUE(Received(1, LongHeaderTextsRead(true)));
}

TEST_F(SendDeliveryTest, RecipientsOfUnknownKindAreDroppedAndNullNamesAreEmpty) {
    HostMessage message;
    message.Body(u"b")
        .Recipient(0, u"Nobody", u"kind0@example.org")
        .Recipient(4, nullptr, u"kind4@example.org")
        .To(nullptr, u"to@example.org")
        .Cc(nullptr, u"cc@example.org");
    ExpectSent(message.Record());
    // No subject: the line is there and empty.
    EXPECT_TRUE(Received(1, R"json({
        "subject": "", "to": [["", "to@example.org"]], "cc": [["", "cc@example.org"]],
        "absent": ["X-Priority"], "rcpt_tos": ["to@example.org", "cc@example.org"],
        "notify": ""})json"));
}

}  // namespace
