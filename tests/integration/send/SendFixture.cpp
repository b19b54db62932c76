#include "SendFixture.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "LogCapture.h"
#include "hostmodule/HostModule.h"

namespace {

std::u16string Text(const MAILWCHAR* s) {
    return std::u16string(s);
}

std::u16string Hex(uint32_t n) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%X", n);
    return FromUtf8(buffer);
}

}  // namespace

// ---------------------------------------------------------------- SendFixture

ProviderLibrary& SendFixture::Library() {
    static ProviderLibrary library;
    return library;
}

void SendFixture::SetUp() {
    ASSERT_TRUE(Library().Loaded()) << Library().error;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_dir = ::testing::TempDir() + "/send-" + std::to_string(::getpid()) + "-" +
            info->test_suite_name() + "-" + info->name();
    std::filesystem::remove_all(m_dir);
    std::filesystem::create_directories(m_dir);
    // The INI file name is glued to the directory text: it ends with "/".
    m_wdir = FromUtf8(m_dir + "/");
    std::memset(&m_flags, 0, sizeof m_flags);
    m_flags.cbSize = sizeof m_flags;
    m_flags.logProvider = &m_log;
    m_flags.hResource = LoadTestHostModule(true);
    m_flags.pszPrimaryDir = reinterpret_cast<const MAILWCHAR*>(m_wdir.c_str());
    m_flags.pszSecondaryDir = reinterpret_cast<const MAILWCHAR*>(m_wdir.c_str());
}

void SendFixture::TearDown() {
    if (m_h != nullptr)
        Library().Uninitialize(m_h);
    m_h = nullptr;
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

void SendFixture::WriteIni(const std::map<std::string, std::string>& keys) {
    std::string text = "[SMTP]\n";
    for (const auto& [key, value] : keys)
        text += key + "=" + value + "\n";
    WriteFile("vx.ini", text);
}

std::map<std::string, std::string> SendFixture::ServerIni(int port) const {
    return {{"smtpHost", "127.0.0.1"},
            {"smtpPort", std::to_string(port)},
            {"smtpAuth", "0"},
            {"smtpSenderName", "Configured Sender"},
            {"smtpSenderAddr", "configured@example.org"}};
}

HMAILPROVIDER SendFixture::Open() {
    m_h = Library().Initialize(&m_flags);
    EXPECT_NE(m_h, nullptr);
    return m_h;
}

MAILRESULT SendFixture::Send(const MAILMESSAGE* message, const MAILSENDFLAGS* flags) {
    if (m_h == nullptr)
        Open();
    return Library().Send(m_h, message, flags);
}

void SendFixture::CheckReport(MAILRESULT code, uint32_t native) {
    const MAILERROR* error = Library().GetLastError(m_h);
    ASSERT_NE(error, nullptr);
    MAILFORMATERROR report;
    std::memset(&report, 0, sizeof report);
    report.cbSize = sizeof report;
    ASSERT_EQ(Library().Execute(m_h, MAILCMD_FORMATERROR, &report), MAILERR_OK);
    const std::u16string sReport = Text(report.szText);
    const std::u16string sCode =
        u"(" + FromUtf8(std::to_string(code)) + u", " + Hex(static_cast<uint32_t>(code)) + u")";
    EXPECT_NE(sReport.find(sCode), std::u16string::npos) << ToUtf8(sReport);
    const std::u16string sTail = u"\r\n\r\n" + Text(error->szDescription) + u" " + Hex(native);
    EXPECT_TRUE(sReport.size() >= sTail.size() &&
                sReport.compare(sReport.size() - sTail.size(), sTail.size(), sTail) == 0)
        << ToUtf8(sReport);
    EXPECT_EQ(Library().GetLastError(m_h)->nCode, code) << "Execute keeps the error";

    int32_t supports = 0;
    ASSERT_EQ(Library().GetProperty(m_h, u"SupportsHTML", &supports, sizeof supports), MAILERR_OK);
    error = Library().GetLastError(m_h);
    EXPECT_EQ(error->nCode, MAILERR_OK) << "GetProperty clears the error";
    EXPECT_EQ(Text(error->szDescription), u"");
    EXPECT_EQ(error->dwNativeCode, 0u);
}

void SendFixture::ExpectLastError(MAILRESULT code, const std::u16string& description,
                                  uint32_t native) {
    const MAILERROR* error = Library().GetLastError(m_h);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->nCode, code);
    EXPECT_EQ(Text(error->szDescription), description);
    EXPECT_EQ(error->dwNativeCode, native);
    CheckReport(code, native);
}

void SendFixture::ExpectLastErrorStartingWith(MAILRESULT code, const std::u16string& start,
                                              uint32_t native) {
    const MAILERROR* error = Library().GetLastError(m_h);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->nCode, code);
    EXPECT_EQ(Text(error->szDescription).substr(0, start.size()), start)
        << ToUtf8(Text(error->szDescription));
    EXPECT_EQ(error->dwNativeCode, native);
    CheckReport(code, native);
}

HostMessage SendFixture::SimpleText() {
    HostMessage m;
    m.Subject(u"s").Body(u"b").To(nullptr, u"to@example.org");
    return m;
}

std::string SendFixture::WriteFile(const std::string& name, const std::string& bytes) const {
    const std::string path = Path(name);
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

::testing::AssertionResult SendFixture::MessageMatches(const std::string& eml,
                                                       const std::string& envelope,
                                                       const std::string& expected) {
    const std::string expectedPath = WriteFile("expected.json", expected);
    const std::string command = std::string(SMTPMAIL_TEST_PYTHON) + " '" + SMTPMAIL_SEND_TEST_DIR +
                                "/check_message.py' '" + eml + "' '" + envelope + "' '" +
                                expectedPath + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return ::testing::AssertionFailure() << "cannot run " << command;
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    const int status = ::pclose(pipe);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "check_message.py:\n" << output;
}

// ---------------------------------------------------------------- helpers

std::string Json(const std::string& utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Json(const std::u16string& text) {
    return Json(ToUtf8(text));
}

int UnusedLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}
