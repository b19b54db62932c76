#include "SendFixture.h"

#include <unistd.h>

#include <filesystem>

#include "ChildProcess.h"
#include "LoopbackSocket.h"
#include "ScratchDir.h"
#include "TestCertificates.h"
#include "hostmodule/HostModule.h"

void SendFixture::SetUp() {
    ASSERT_TRUE(Library().Loaded()) << Library().error;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_dir = ::testing::TempDir() + "/send-" + std::to_string(::getpid()) + "-" +
            info->test_suite_name() + "-" + info->name();
    std::filesystem::remove_all(m_dir);
    std::filesystem::create_directories(m_dir);
    // The INI file name is glued to the directory text: it ends with "/".
    m_wdir = FromUtf8(m_dir + "/");
    m_flags.cbSize = sizeof m_flags;
    m_flags.logProvider = &m_log;
    m_flags.hResource = LoadTestHostModule(true);
    m_flags.pszPrimaryDir = m_flags.pszSecondaryDir = m_wdir.c_str();
}

void SendFixture::TearDown() {
    Close();
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

void SendFixture::Close() {
    if (m_h != nullptr)
        Library().Uninitialize(m_h);
    m_h = nullptr;
}

void SendFixture::WriteIni(const Keys& keys) {
    std::string text = "[SMTP]\n";
    for (const auto& [key, value] : keys)
        text += key + "=" + value + "\n";
    WriteFile("vx.ini", text);
}

SendFixture::Keys SendFixture::ServerIni(int port) {
    return {{"smtpHost", "127.0.0.1"},
            {"smtpPort", std::to_string(port)},
            {"smtpAuth", "0"},
            {"smtpSenderName", "Configured Sender"},
            {"smtpSenderAddr", "configured@example.org"}};
}

void SendFixture::Configure(const std::string& options) {
    std::string output;
    ASSERT_EQ(RunProgram({"/bin/sh", "-c",
                          SMTPMAIL_BIN_DIR "/smtpmail-cfg --dir '" + m_dir + "' " + options},
                         &output),
              0)
        << output;
}

MAILRESULT SendFixture::Send(const MAILMESSAGE* message, const MAILSENDFLAGS* flags) {
    if (m_h == nullptr)
        m_h = Library().Initialize(&m_flags);
    EXPECT_NE(m_h, nullptr);
    return Library().Send(m_h, message, flags);
}

void SendFixture::ExpectLastError(MAILRESULT code, const std::u16string& description,
                                  uint32_t native, bool bWhole) {
    const MAILERROR* error = Library().GetLastError(m_h);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->nCode, code);
    const std::u16string text(error->szDescription);
    EXPECT_EQ(bWhole ? text : text.substr(0, description.size()), description) << ToUtf8(text);
    EXPECT_EQ(error->dwNativeCode, native);
}

HostMessage SendFixture::SimpleText() {
    HostMessage m;
    m.Subject(u"s").Body(u"b").To(nullptr, u"to@example.org");
    return m;
}

namespace {

const char16_t* const kLongName =
    u"\u00c6r\u00f8sk\u00f8bing Kommune \u2013 Afdeling for Teknik og Milj\u00f8, Havnevej 12";

std::u16string LongSubject() {
    std::u16string subject;
    while (subject.size() < 500)
        subject += u"Gr\u00fc\u00dfe aus K\u00f6ln \u2013 \u00dcbersicht \u2713 = ? _ ";
    return subject.substr(0, 500);
}

}  // namespace

HostMessage SendFixture::LongHeaderTexts() {
    const std::u16string sender = std::u16string(kLongName) + u" " + kLongName;
    HostMessage m;
    m.Subject(LongSubject())
        .Body(u"b")
        .Originator(sender.c_str(), u"teknik@example.org")
        .To(kLongName, u"miljoe@example.org")
        .To(nullptr, u"to@example.org");
    return m;
}

std::string SendFixture::LongHeaderTextsRead(bool bRecipientNames) {
    const std::string name = ToUtf8(kLongName);
    return R"({"subject": ")" + ToUtf8(LongSubject()) + R"(", "from": [")" + name + " " + name +
           R"(", "teknik@example.org"], "to": [[")" + (bRecipientNames ? name : "") +
           R"(", "miljoe@example.org"], ["", "to@example.org"]],
               "message_id": "example.org", "header_lines": 78})";
}

std::string SendFixture::WriteFile(const std::string& name, const std::string& bytes) const {
    WriteBytes(Path(name), bytes);
    return Path(name);
}

::testing::AssertionResult SendFixture::Matches(const std::string& eml,
                                                const std::string& expected) {
    std::string output;
    if (eml.empty())
        return ::testing::AssertionFailure() << "no message arrived";
    if (RunProgram({SMTPMAIL_TEST_PYTHON, SMTPMAIL_SEND_TEST_DIR "/check_message.py", eml,
                    WriteFile("expected.json", expected)},
                   &output) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "check_message.py:\n" << output;
}

TrustStore::TrustStore(const std::string& file)
    : ScopedEnv({{"SSL_CERT_FILE", file.c_str()}, {"SSL_CERT_DIR", [] {
                                                       static const std::string dir =
                                                           testcerts::Path("empty");
                                                       return dir.c_str();
                                                   }()}}) {}

int UnusedLoopbackPort() {
    int port = 0;
    CloseSocket(BindLoopback(port, false));
    return port;
}
