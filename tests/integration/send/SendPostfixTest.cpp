// Mail_Send to a real mail server: the peers' private Postfix instance, which
// offers STARTTLS and Cyrus SASL and refuses a HELO name that is not fully
// qualified, 8-bit data and wrongly encoded MIME. Every delivered message is
// read back with Python's email package, strictly, and Postfix's log must
// hold no complaint about the client.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "SendFixture.h"
#include "api/ConfigText.h"

namespace {

class SendPostfixTest : public SendFixture {
protected:
    void SetUp() override {
        SendFixture::SetUp();
        if (!PeerValue("postfix.skip").empty())
            GTEST_SKIP() << PeerValue("postfix.skip");
    }
};

struct Row {
    const char* what;
    int auth;
    bool bStartTls;
    std::function<void(HostMessage&)> message;
    std::string expected;  // for check_message.py
    bool bReport = false;  // a delivery report to the sender
};

TEST_F(SendPostfixTest, DeliveredMessagesAreStandardsClean) {
    std::string longLine(1505, 'x');
    std::string binary(5 << 20, '\0');
    for (std::size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>((i * 2654435761u) >> 13);
    const std::string notes = WriteFile("notes.txt",
                                        "Gr\xc3\xbc\xc3\x9f"
                                        "e\r\n.dot\r\n");
    const std::string data = WriteFile("data.bin", binary);
    const std::string pdf = WriteFile("report.pdf", "%PDF-1.4\n");
    auto text = [&](HostMessage& m) {
        m.Subject(u"Gr\u00fc\u00dfe")
            .To(u"J\u00fcrgen", u"to@example.org")
            .Body(u"Hello \u00e4,\n" + std::u16string(longLine.begin(), longLine.end()) +
                  u"\n.a dot line\ntrailing blank \n");
    };
    const std::string textRead = R"("subject": "Grüße", "to": [["Jürgen", "to@example.org"]],
        "text": "Hello ä,\n)" + longLine +
                                 R"(\n.a dot line\ntrailing blank \n", "type": "text/plain")";
    const Row rows[] = {
        {"no login, no TLS: EHLO with a fully qualified name or an address literal", kAuthNone,
         false, text, textRead},
        {"STARTTLS without a login", kAuthNone, true, text, textRead},
        {"AUTH PLAIN", kAuthPlain, true, text, textRead},
        {"AUTH LOGIN", kAuthLogin, true, text, textRead},
        {"AUTH CRAM-MD5", kAuthCramMd5, true, text, textRead},
        {"Bcc alone", kAuthNone, true,
         [](HostMessage& m) { m.Subject(u"s").Body(u"b").Bcc(u"Hidden", u"bcc@example.org"); },
         R"("to": [], "absent": ["Bcc", "Cc"], "text": "b")"},
        {"a long subject and display names beyond ASCII", kAuthNone, true,
         [](HostMessage& m) { m = LongHeaderTexts(); },
         LongHeaderTextsRead(true).substr(1, LongHeaderTextsRead(true).size() - 2)},
        {"HTML", kAuthNone, true,
         [&](HostMessage& m) {
             m.ContentType(u"text/html")
                 .To(nullptr, u"to@example.org")
                 .Body(u"<p>\u00c4rger \u2603</p>\n<p>" +
                       std::u16string(longLine.begin(), longLine.end()) + u"</p>\n");
         },
         R"("type": "multipart/mixed", "text": null, "html": "<p>Ärger ☃</p>\n<p>)" + longLine +
             R"(</p>\n")"},
        {"attachments: text, 5 MiB, a long name beyond ASCII with quotes", kAuthPlain, true,
         [&](HostMessage& m) {
             m.To(nullptr, u"to@example.org")
                 .Body(u"files")
                 .Attach(notes)
                 .Attach(data)
                 .Attach(pdf,
                         u"Pr\u00fcfbericht \"Q3\" \u2013 Abteilung f\u00fcr Qualit\u00e4t und "
                         u"Sicherheit.pdf");
         },
         R"("type": "multipart/mixed", "text": "files", "attachments": [
              {"filename": "notes.txt", "path": "notes.txt"},
              {"filename": "data.bin", "path": "data.bin"},
              {"filename": "Prüfbericht \"Q3\" – Abteilung für Qualität und Sicherheit.pdf",
               "path": "report.pdf"}])"},
        {"delivery notifications", kAuthNone, true,
         [](HostMessage& m) {
             m.Subject(u"dsn")
                 .Body(u"b")
                 .To(nullptr, u"to@example.org")
                 .Flags(MAILMSG_NOTIFY_SUCCESS | MAILMSG_NOTIFY_FAILURE);
         },
         R"("text": "b")", true},
    };
    const std::string log = HostPath(PeerValue("postfix.log"));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        StoreSettings settings{"localhost", PeerPort("postfix"), row.auth, row.bStartTls};
        if (row.auth != kAuthNone) {
            settings.user = PeerValue("postfix.user");
            settings.password = PeerValue("postfix.password");
        }
        // A sender of its own, whose delivery report is found by its address.
        const std::string sender = "sender-" + std::to_string(&row - rows) + "@example.org";
        settings.more[CFG_SENDER_ADDR] = sender;
        Configure(settings);
        const std::uintmax_t offset = std::filesystem::file_size(log);
        HostMessage message;
        row.message(message);
        const std::string marker = Mark(message);
        const MAILRESULT result = Send(message.Record());
        EXPECT_EQ(result, MAILERR_OK) << ToUtf8(Description());
        Close();
        if (result == MAILERR_OK) {  // else nothing comes, and the log says why
            EXPECT_TRUE(Stored(marker, "{" + row.expected + R"(, "strict": true})"));
        }
        if (result == MAILERR_OK && row.bReport) {
            const std::vector<std::string> found = AskPeers("stored " + sender);
            ASSERT_EQ(found.size(), 1u) << "no delivery report";
            const std::string report = ReadBytes(HostPath(found[0]));
            EXPECT_NE(report.find("Action: delivered"), std::string::npos) << report;
        }
        std::string said;  // once the client's session has ended
        for (int i = 0; i < 100 && said.find("disconnect from") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            said = ReadBytes(log).substr(offset);
        }
        for (const char* complaint :
             {"warning:", "reject", "error", "lost connection", "improper", "non-SMTP", "timeout"})
            EXPECT_EQ(said.find(complaint), std::string::npos) << complaint << " in\n" << said;
    }
}

}  // namespace
