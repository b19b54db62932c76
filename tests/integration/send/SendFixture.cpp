#include "SendFixture.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <utility>

#include "LoopbackSocket.h"
#include "api/ConfigText.h"
#include "config/CMailCfg.h"
#include "hostmodule/HostModule.h"

std::string PeerValue(const std::string& key) {
    static const std::map<std::string, std::string> values = [] {
        std::map<std::string, std::string> read;
        std::ifstream in(HostPath(SMTPMAIL_PEERS_DIR "/peers.txt"));
        for (std::string k, v; std::getline(in, k, '=') && std::getline(in, v);)
            read[k] = v;
        return read;
    }();
    const auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

int PeerPort(const std::string& name) {
    return std::stoi("0" + PeerValue("port." + name));
}

std::vector<std::string> AskPeers(const std::string& request) {
    const TestSocket s = ConnectLoopback(PeerPort("control"));
    std::string answer = "cannot reach the peers' control port\n.\n";
    if (s != kNoSocket) {
        SetIoTimeouts(s, 90);
        const std::string line = request + "\n";
        SendBytes(s, line.data(), line.size());
        answer = "\n";  // so that the last line of every answer is "\n.\n"
        char buffer[4096];
        for (long n;
             !answer.ends_with("\n.\n") && (n = ReceiveBytes(s, buffer, sizeof buffer)) > 0;)
            answer.append(buffer, static_cast<size_t>(n));
        answer = answer.substr(1);
        CloseSocket(s);
    }
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = answer.find('\n', at)) != std::string::npos; at = end + 1) {
        if (answer.compare(at, end - at, ".") == 0)
            return lines;
        lines.push_back(answer.substr(at, end - at));
    }
    lines.push_back("the answer ended early");
    return lines;
}

int UnusedLoopbackPort() {
    int port = 0;
    CloseSocket(BindLoopback(port, false));
    return port;
}

void SendFixture::SetUp() {
    ASSERT_TRUE(Library().Loaded()) << Library().error;
    ASSERT_NE(PeerValue("port.control"), "") << "no peers.txt: the send_peers fixture did not run?";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_folder = PeerValue("path.scratch") + "/" + info->test_suite_name() + "-" + info->name();
    std::filesystem::remove_all(HostPath(m_folder));
    std::filesystem::create_directories(HostPath(m_folder));
    // The INI file name is glued to the folder's name: it ends with the separator.
    m_hostDir = FromUtf8(HostPath(m_folder) + kHostSeparator);
    // After the provider is loaded (on Windows secur32 reads its packages from HKLM then).
    m_scratch = std::make_unique<ScratchDir>();
    m_registry = std::make_unique<ScratchRegistry>(*m_scratch);
    m_trust = HoldTestCaTrust();
    m_flags = MakeIniFlags(&m_log, LoadTestHostModule(true), m_hostDir.c_str());
}

void SendFixture::TearDown() {
    Close();  // the trust, registry and scratch folder go with the fixture, in that order
    std::error_code ec;
    std::filesystem::remove_all(HostPath(m_folder), ec);
}

StoreSettings SendFixture::Peer(const std::string& name, int auth, bool bStartTls) {
    StoreSettings s{"localhost", PeerPort(name), auth, bStartTls};
    s.user = PeerValue("account.user");
    s.password = PeerValue("account.password");
    return s;
}

void SendFixture::Configure(const StoreSettings& s) {
    std::vector<std::u16string> fields(CFG_FIELD_COUNT);
    fields[CFG_HOST] = FromUtf8(s.host);
    fields[CFG_USER] = FromUtf8(s.user);
    fields[CFG_SENDER_NAME] = u"Configured Sender";
    fields[CFG_SENDER_ADDR] = u"configured@example.org";
    fields[CFG_PORT] = FromUtf8(std::to_string(s.port));
    fields[CFG_AUTH_METHOD] = FromUtf8(std::to_string(s.auth));
    fields[CFG_STARTTLS] = s.bStartTls ? u"1" : u"0";
    fields[CFG_CERT_FLAGS] = FromUtf8(std::to_string(s.certFlags));
    for (const auto& [field, value] : s.more)
        fields[field] = FromUtf8(value);
    CMailCfg cfg;
    cfg.m_strText1 = JoinConfigText(fields);
    cfg.m_strText2 = FromUtf8(s.password);
    std::filesystem::remove(HostPath(Path("vx.ini")));
    ASSERT_TRUE(cfg.save((m_hostDir + u"smtp.cfg").c_str()));
    Close();
}

void SendFixture::WriteIni(const Keys& keys) {
    std::string text = "[SMTP]\n";
    for (const auto& [key, value] : keys)
        text += key + "=" + value + "\n";
    std::filesystem::remove(HostPath(Path("smtp.cfg")));
    WriteFile("vx.ini", text);
}

SendFixture::Keys SendFixture::ServerIni(int port) {
    return {{"smtpHost", "127.0.0.1"},
            {"smtpPort", std::to_string(port)},
            {"smtpAuth", "0"},
            {"smtpSenderName", "Configured Sender"},
            {"smtpSenderAddr", "configured@example.org"}};
}

MAILRESULT SendFixture::Send(const MAILMESSAGE* message, const MAILSENDFLAGS* flags) {
    if (m_h == nullptr)
        m_h = Library().Initialize(&m_flags);
    if (m_h == nullptr) {
        ADD_FAILURE() << "Mail_Initialize failed";
        return MAILERR_INTERNAL;
    }
    return Library().Send(m_h, message, flags);
}

void SendFixture::Close() {
    Library().Uninitialize(std::exchange(m_h, nullptr));  // a null handle is ignored
}

std::u16string SendFixture::Description() {
    const MAILERROR* error = Library().GetLastError(m_h);
    return error == nullptr
               ? std::u16string()
               : std::u16string(reinterpret_cast<const char16_t*>(error->szDescription));
}

bool SendFixture::Logged(int level) {
    std::u16string text = Description();
    if (text.ends_with(u"..."))
        text.resize(text.size() - 3);
    return m_log.Contains(text, level);
}

void SendFixture::ExpectLastError(MAILRESULT code, const std::u16string& description,
                                  int64_t native, bool bWhole) {
    const MAILERROR* error = Library().GetLastError(m_h);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->nCode, code);
    const std::u16string text = Description();
    EXPECT_EQ(bWhole ? text : text.substr(0, description.size()), description) << ToUtf8(text);
    EXPECT_TRUE(native < 0 || error->dwNativeCode == native)
        << "native code " << error->dwNativeCode << ", not " << native << ": " << ToUtf8(text);
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

std::string SendFixture::Mark(HostMessage& message) {
    // The test's name, short enough for an address's local part.
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    char marker[64];
    std::snprintf(marker, sizeof marker, "%016llx-%d@marker.example.org",
                  static_cast<unsigned long long>(std::hash<std::string>()(
                      std::string(info->test_suite_name()) + "." + info->name())),
                  ++m_nMarkers);
    message.Bcc(nullptr, FromUtf8(marker).c_str());
    return marker;
}

::testing::AssertionResult SendFixture::Stored(const std::string& marker,
                                               const std::string& expected) {
    WriteFile("expected.json", expected);
    const std::vector<std::string> answer =
        AskPeers("check " + marker + " " + Path("expected.json"));
    if (!answer.empty() && answer.front() == "ok")
        return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << "read back of " << marker << ":";
    for (const std::string& l : answer)
        failure << "\n  " << l;
    return failure;
}

void SendFixture::ExpectCertificateRows(const std::vector<CertificateRow>& rows) {
    for (const CertificateRow& row : rows) {
        SCOPED_TRACE(std::string(row.peer) + " as " + row.host + " flags " +
                     std::to_string(row.flags));
        StoreSettings settings = Peer(row.peer);
        settings.host = row.host;
        settings.certFlags = row.flags;
        Configure(settings);
        HostMessage message = SimpleText();
        const std::string marker = Mark(message);
        if (row.policyError == 0) {
            EXPECT_EQ(Send(message.Record()), MAILERR_OK) << ToUtf8(Description());
            ExpectSystemCertificateCheck(row.host, row.flags, true);
            EXPECT_TRUE(Stored(marker, R"({"envelope": {"tls": true, "auth_user": ")" +
                                           PeerValue("account.user") + R"("}})"));
            continue;
        }
        EXPECT_EQ(Send(message.Record()), MAILERR_ACCESS_DENIED);
        ExpectSystemCertificateCheck(row.host, row.flags, false);
        char code[16];
        std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(row.policyError));
        ExpectLastError(MAILERR_ACCESS_DENIED,
                        kConnecting + u"PolicyStatus error code = " + FromUtf8(code) + u".",
                        row.policyError, false);
        EXPECT_TRUE(Logged(3)) << "the host log at the exception's level";
    }
}

std::string SendFixture::WriteFile(const std::string& name, const std::string& bytes) const {
    WriteBytes(HostFile(name), bytes);
    return HostFile(name);
}
