// Mail_Send to a real mail server: a private Postfix instance (CTest starts it
// with postfix_server.py) that offers STARTTLS and Cyrus SASL and refuses a
// HELO name that is not fully qualified, 8-bit data and wrongly encoded MIME.
// Every delivered message is read back with Python's email package, strictly,
// and Postfix's log must hold no complaint about the client.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "ScratchDir.h"
#include "SendFixture.h"

namespace {

namespace fs = std::filesystem;

class SendPostfixTest : public SendFixture {
protected:
    void SetUp() override {
        SendFixture::SetUp();
        std::ifstream file(SMTPMAIL_POSTFIX_DIR "/postfix.txt");
        for (std::string line; std::getline(file, line);)
            m_postfix[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        if (m_postfix.count("skip") != 0 || m_postfix.count("port") == 0) {
            const std::string reason = m_postfix.count("skip") != 0
                                           ? m_postfix["skip"]
                                           : "no Postfix instance: run through ctest";
            if (std::getenv("CI") != nullptr)
                FAIL() << reason;
            GTEST_SKIP() << reason;
        }
    }

    // The one message in the mailbox, once it is there; "" after 30 seconds.
    std::string Delivered(const std::string& box) {
        std::error_code ec;
        for (int i = 0; i < 300; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
            for (const auto& entry :
                 fs::directory_iterator(m_postfix["mail"] + "/" + box + "/new", ec))
                return entry.path().string();
        }
        return std::string();
    }

    std::map<std::string, std::string> m_postfix;
};

struct Row {
    const char* what;
    const char* settings;  // smtpmail-cfg's options beyond the server and the sender
    std::function<void(HostMessage&)> message;
    std::string expected;  // for check_message.py
    const char* box = "to";
    bool bReport = false;  // a delivery report to the sender
};

TEST_F(SendPostfixTest, DeliveredMessagesAreStandardsClean) {
    const std::string login =
        " --user " + m_postfix["user"] + " --password '" + m_postfix["password"] + "'";
    std::string longLine(1505, 'x');
    std::string binary(5 << 20, '\0');
    for (std::size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>((i * 2654435761u) >> 13);
    WriteFile("notes.txt",
              "Gr\xc3\xbc\xc3\x9f"
              "e\r\n.dot\r\n");
    WriteFile("data.bin", binary);
    WriteFile("report.pdf", "%PDF-1.4\n");
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
        {"no login, no TLS: EHLO with a fully qualified name or an address literal",
         "--starttls off --auth none", text, textRead},
        {"STARTTLS without a login", "--starttls on --auth none", text, textRead},
        {"AUTH PLAIN", "--starttls on --auth plain", text, textRead},
        {"AUTH LOGIN", "--starttls on --auth login", text, textRead},
        {"AUTH CRAM-MD5", "--starttls on --auth cram-md5", text, textRead},
        {"Bcc alone", "--starttls on --auth none",
         [](HostMessage& m) { m.Subject(u"s").Body(u"b").Bcc(u"Hidden", u"bcc@example.org"); },
         R"("to": [], "absent": ["Bcc", "Cc"], "text": "b")", "bcc"},
        {"a long subject and display names beyond ASCII", "--starttls on --auth none",
         [](HostMessage& m) { m = LongHeaderTexts(); },
         LongHeaderTextsRead(true).substr(1, LongHeaderTextsRead(true).size() - 2), "miljoe"},
        {"HTML", "--starttls on --auth none",
         [&](HostMessage& m) {
             m.ContentType(u"text/html")
                 .To(nullptr, u"to@example.org")
                 .Body(u"<p>\u00c4rger \u2603</p>\n<p>" +
                       std::u16string(longLine.begin(), longLine.end()) + u"</p>\n");
         },
         R"("type": "multipart/mixed", "text": null, "html": "<p>Ärger ☃</p>\n<p>)" + longLine +
             R"(</p>\n")"},
        {"attachments: text, 5 MiB, a long name beyond ASCII with quotes",
         "--starttls on --auth plain",
         [&](HostMessage& m) {
             m.To(nullptr, u"to@example.org")
                 .Body(u"files")
                 .Attach(Path("notes.txt"))
                 .Attach(Path("data.bin"))
                 .Attach(Path("report.pdf"),
                         u"Pr\u00fcfbericht \"Q3\" \u2013 Abteilung f\u00fcr Qualit\u00e4t und "
                         u"Sicherheit.pdf");
         },
         R"("type": "multipart/mixed", "text": "files", "attachments": [
              {"filename": "notes.txt", "path": "notes.txt"},
              {"filename": "data.bin", "path": "data.bin"},
              {"filename": "Prüfbericht \"Q3\" – Abteilung für Qualität und Sicherheit.pdf",
               "path": "report.pdf"}])"},
        {"delivery notifications", "--starttls on --auth none",
         [](HostMessage& m) {
             m.Subject(u"dsn")
                 .Body(u"b")
                 .To(nullptr, u"to@example.org")
                 .Flags(MAILMSG_NOTIFY_SUCCESS | MAILMSG_NOTIFY_FAILURE);
         },
         R"("text": "b")", "to", true},
    };
    TrustStore trust(m_postfix["ca"]);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        for (const auto& entry : fs::recursive_directory_iterator(m_postfix["mail"]))
            if (entry.is_regular_file())
                fs::remove(entry.path());
        const std::string settings = std::string(row.settings);
        Configure("--host localhost --port " + m_postfix["port"] + " " + settings +
                  (settings.find("none") == std::string::npos ? login : "") +
                  " --sender-name 'Postfix Sender' --sender-address sender@example.org");
        const std::uintmax_t offset = fs::file_size(m_postfix["log"]);
        HostMessage message;
        row.message(message);
        const MAILRESULT result = Send(message.Record());
        EXPECT_EQ(result, MAILERR_OK) << ToUtf8(Description());
        Close();
        if (result == MAILERR_OK) {  // else nothing comes, and the log says why
            EXPECT_TRUE(Matches(Delivered(row.box), "{" + row.expected + R"(, "strict": true})"));
        }
        if (result == MAILERR_OK && row.bReport) {
            const std::string report = ReadBytes(Delivered("sender"));
            EXPECT_NE(report.find("Action: delivered"), std::string::npos) << report;
        }
        std::string log;  // once the client's session has ended
        for (int i = 0; i < 100 && log.find("disconnect from") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            log = ReadBytes(m_postfix["log"]).substr(offset);
        }
        for (const char* complaint :
             {"warning:", "reject", "error", "lost connection", "improper", "non-SMTP", "timeout"})
            EXPECT_EQ(log.find(complaint), std::string::npos) << complaint << " in\n" << log;
    }
}

}  // namespace
