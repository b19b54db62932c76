// Messages that Mail_Send delivers to the capture server, read back with
// Python's email package: recipients by kind, names, subjects and addresses
// outside ASCII, text and HTML bodies, attachments, priority, read receipt
// and delivery notifications.
#include <gtest/gtest.h>

#include <cstring>

#include "SendFixture.h"

namespace {

// The capture server without TLS or a login (HELO).
class SendDeliveryTest : public SendFixture {
protected:
    void SetUp() override {
        SendFixture::SetUp();
        Configure(Peer("plain", kAuthNone, false));
    }
    // Sends the message marked: its marker.
    std::string ExpectSent(HostMessage& message, const MAILSENDFLAGS* flags = nullptr) {
        const std::string marker = Mark(message);
        EXPECT_EQ(Send(message.Record(), flags), MAILERR_OK) << ToUtf8(Description());
        EXPECT_EQ(Library().GetLastError(m_h)->nCode, MAILERR_OK);
        return marker;
    }
};

TEST_F(SendDeliveryTest, TextMessageReachesEveryRecipientWithItsHeaders) {
    HostMessage message;
    message.Subject(u"Gr\u00fc\u00dfe aus K\u00f6ln \u2013 \u00d1and\u00fa")
        .Body(u"Hello,\nsecond line with \u00fcmlaut\n.a line that starts with a dot\n.\nend")
        .To(u"J\u00fcrgen M\u00fcller", u"jm@example.org")
        .To(nullptr, u"bare@b\u00fccher.example")
        .Cc(u"Carol Cc", u"carol@example.org")
        .Bcc(u"Hidden Bcc", u"hidden@example.org")
        .Priority(MAILPRIO_HIGH)
        .Flags(MAILMSG_READ_RECEIPT | MAILMSG_NOTIFY_SUCCESS | MAILMSG_NOTIFY_FAILURE);
    const std::string marker = ExpectSent(message);
    EXPECT_TRUE(Stored(marker, R"json({
        "subject": "Gr\u00fc\u00dfe aus K\u00f6ln \u2013 \u00d1and\u00fa",
        "from": ["Configured Sender", "configured@example.org"],
        "to": [["J\u00fcrgen M\u00fcller", "jm@example.org"], ["", "bare@xn--bcher-kva.example"]],
        "cc": [["Carol Cc", "carol@example.org"]],
        "headers": {"X-Priority": "1", "Disposition-Notification-To": "configured@example.org"},
        "absent": ["Bcc", "X-Mailer"], "type": "text/plain",
        "text": "Hello,\nsecond line with \u00fcmlaut\n.a line that starts with a dot\n.\nend",
        "mail_from": "configured@example.org",
        "rcpt_tos": ["jm@example.org", "bare@xn--bcher-kva.example", "carol@example.org",
                     "hidden@example.org"], "smtputf8": false,
        "notify": "SUCCESS,FAILURE"})json"));
    // Long subjects and display names are folded and read back whole.
    HostMessage longTexts = LongHeaderTexts();
    EXPECT_TRUE(Stored(ExpectSent(longTexts), LongHeaderTextsRead(true)));
}

// A local part outside ASCII needs SMTPUTF8 (a peer that offers it): the
// addresses go in UTF-8 with their domains in A-labels, in the envelope and
// the header block; display names stay encoded words.
TEST_F(SendDeliveryTest, AddressesInUtf8WithSmtpUtf8) {
    Configure(Peer("utf8", kAuthNone, false));
    HostMessage eai;
    eai.Body(u"b")
        .Originator(u"J\u00f6rg", u"j\u00f6rg@b\u00fccher.example")
        .To(u"\u7528\u6237", u"\u7528\u6237@\u4f8b\u5b50.\u5e7f\u544a")
        .Flags(MAILMSG_READ_RECEIPT);
    EXPECT_TRUE(Stored(ExpectSent(eai), R"json({
        "from": ["J\u00f6rg", "j\u00f6rg@xn--bcher-kva.example"],
        "to": [["\u7528\u6237", "\u7528\u6237@xn--fsqu00a.xn--4rr70v"]],
        "headers": {"Disposition-Notification-To": "j\u00f6rg@xn--bcher-kva.example"},
        "mail_from": "j\u00f6rg@xn--bcher-kva.example",
        "rcpt_tos": ["\u7528\u6237@xn--fsqu00a.xn--4rr70v"], "smtputf8": true})json"));
}

// An HTML body file; the originator stays the sender of the handle's later
// messages. Recipients of an unknown kind are dropped, null names are empty,
// no subject is an empty line; an empty body file is only a warning.
TEST_F(SendDeliveryTest, HtmlBodyFromAFileAndAnOriginatorThatStaysForLaterSends) {
    // UTF-8 with a byte-order mark, as editors on the host's platform write it.
    const std::string path = WriteFile("body.html",
                                       "\xef\xbb\xbf<html><body><p>\xc3\x84rger \xe2\x98\x83</p>\n"
                                       ".<p>a dot line</p>\n</body></html>\n");
    HostMessage message;
    message.Subject(u"Newsletter")
        .BodyFile(path)
        .ContentType(u"text/html")
        .Originator(u"\u00d6nder Host", u"host@example.org")
        .To(nullptr, u"reader@example.org")
        .Priority(MAILPRIO_LOW)
        .Flags(MAILMSG_NOTIFY_FAILURE);
    EXPECT_TRUE(Stored(ExpectSent(message), R"json({
        "from": ["\u00d6nder Host", "host@example.org"], "headers": {"X-Priority": "5"},
        "absent": ["Disposition-Notification-To", "Cc"], "type": "multipart/mixed",
        "html": "<html><body><p>\u00c4rger \u2603</p>\n.<p>a dot line</p>\n</body></html>\n",
        "text": null, "mail_from": "host@example.org", "notify": "FAILURE"})json"));

    HostMessage next;
    next.BodyFile(WriteFile("empty.txt", ""))
        .Recipient(0, u"Nobody", u"kind0@example.org")
        .Recipient(4, nullptr, u"kind4@example.org")
        .To(nullptr, u"to@example.org")
        .Cc(nullptr, u"cc@example.org");
    LogCapture capture;
    const std::string marker = ExpectSent(next);
    EXPECT_TRUE(capture.Contains(u"Warning! no body returned for file '" +
                                 FromUtf8(HostFile("empty.txt")) + u"'"))
        << capture.Dump();
    EXPECT_TRUE(Stored(marker, R"json({
        "subject": "", "from": ["\u00d6nder Host", "host@example.org"], "type": "text/plain",
        "to": [["", "to@example.org"]], "cc": [["", "cc@example.org"]], "absent": ["X-Priority"],
        "mail_from": "host@example.org", "rcpt_tos": ["to@example.org", "cc@example.org"],
        "notify": ""})json"));
}

// Attachments go out block by block: one just past a block's worth of lines
// and one of exactly the largest size allowed arrive byte for byte, with the
// others; the host's option 1 leaves them out.
TEST_F(SendDeliveryTest, AttachmentsArriveByteForByteAfterTheText) {
    std::string bytes(52428800, '\0');
    uint64_t x = 0x9E3779B97F4A7C15u;
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        std::memcpy(&bytes[i], &x, 8);
    }
    HostMessage message;
    message.Subject(u"Files")
        .Body(u"See the attachments.")
        .To(u"Bob", u"bob@example.org")
        .Attach(WriteFile("notes.txt", "first line\r\nsecond line\n\xc3\xa4\n"))
        .Attach(WriteFile("data.bin", bytes.substr(0, 57 * 1000 + 1)), u"Bericht M\u00e4rz.bin")
        .Attach(WriteFile("image.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16)),
                u"picture.png")
        .Attach(WriteFile("limit.bin", bytes));
    bytes = std::string();
    EXPECT_TRUE(Stored(ExpectSent(message), R"json({
        "type": "multipart/mixed", "text": "See the attachments.",
        "attachments": [{"filename": "notes.txt", "path": "notes.txt"},
                        {"filename": "Bericht M\u00e4rz.bin", "path": "data.bin"},
                        {"filename": "picture.png", "path": "image.png"},
                        {"filename": "limit.bin", "path": "limit.bin"}]})json"));

    MAILSENDFLAGS options{sizeof options, MAILSEND_NO_ATTACHMENTS};
    EXPECT_TRUE(Stored(
        ExpectSent(message, &options),
        R"json({"type": "text/plain", "text": "See the attachments.", "attachments": []})json"));
}

// Neither a line break nor a quote in a host text adds a header line or a
// MIME parameter.
TEST_F(SendDeliveryTest, HostTextsCannotAddHeaderLinesOrParameters) {
    HostMessage message;
    message.Subject(u"Quarterly\r\nBcc: victim@example.org")
        .Originator(u"Mallory\nReply-To: evil@example.org", u"mallory@example.org")
        .Body(u"body")
        .To(u"Eve\r\n\r\nX-Injected: yes", u"eve@example.org")
        .Attach(WriteFile("a.txt", "x"), u"report\r\nX-Part-Injected: 1.txt")
        .Attach(WriteFile("b.txt", "y"), u"x\"; evil=1\\");
    const std::string marker = ExpectSent(message);
    // Display names go out unquoted, so a name with a colon is not a valid
    // mailbox any more; what matters is that no header line was added.
    EXPECT_TRUE(Stored(marker, R"json({
        "subject": "Quarterly Bcc: victim@example.org",
        "absent": ["Bcc", "Reply-To", "X-Injected", "X-Part-Injected"],
        "attachments": [{"filename": "report X-Part-Injected: 1.txt", "path": "a.txt"},
                        {"filename": "x\"; evil=1\\", "path": "b.txt"}],
        "mail_from": "mallory@example.org", "rcpt_tos": ["eve@example.org"]})json"));
    const std::string raw = ReadBytes(HostPath(AskPeers("stored " + marker).front()));
    for (const char* line :
         {"From: Mallory Reply-To: evil@example.org <mallory@example.org>\r\n",
          "\r\nTo: Eve X-Injected: yes <eve@example.org>\r\n", "; name=\"x\\\"; evil=1\\\\\"\r\n"})
        EXPECT_NE(raw.find(line), std::string::npos) << line << raw;
}

}  // namespace
