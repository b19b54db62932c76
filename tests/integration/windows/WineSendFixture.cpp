#include "WineSendFixture.h"

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <vector>

#include "LogCapture.h"
#include "UnixPath.h"
#include "api/ConfigText.h"
#include "config/CMailCfg.h"
#include "hostmodule/HostModule.h"

namespace {

std::u16string HostText(const MAILWCHAR* text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text));
}

}  // namespace

void WineSendTest::SetUp() {
    ASSERT_TRUE(Library().Loaded()) << Library().error;
    ASSERT_EQ(Peers().Error(), "");
    m_folder = Peers().TestFolder();
    m_wfolder = FromUtf8(WindowsPathOf(m_folder) + "\\");
    m_scratch = std::make_unique<ScratchDir>();
    m_registry = std::make_unique<ScratchRegistry>(*m_scratch);
    m_flags = MAILINIFLAGS{};
    m_flags.cbSize = sizeof m_flags;
    m_flags.logProvider = &m_log;
    m_flags.hResource = LoadTestHostModule(true);
    m_flags.pszPrimaryDir = reinterpret_cast<const MAILWCHAR*>(m_wfolder.c_str());
    m_flags.pszSecondaryDir = m_flags.pszPrimaryDir;
}

void WineSendTest::TearDown() {
    Close();
    m_registry.reset();
    m_scratch.reset();
}

StoreSettings WineSendTest::Peer(const std::string& name, int auth) {
    StoreSettings s;
    s.port = Peers().Port(name);
    s.auth = auth;
    s.bStartTls = true;
    s.user = Peers().Value("account", "user");
    s.password = Peers().Value("account", "password");
    return s;
}

void WineSendTest::Configure(const StoreSettings& s) {
    std::vector<std::u16string> fields(CFG_FIELD_COUNT);
    fields[CFG_HOST] = FromUtf8(s.host);
    fields[CFG_USER] = FromUtf8(s.user);
    fields[CFG_SENDER_NAME] = u"Wine Sender";
    fields[CFG_SENDER_ADDR] = FromUtf8(s.sender);
    fields[CFG_PORT] = FromUtf8(std::to_string(s.port));
    fields[CFG_AUTH_METHOD] = FromUtf8(std::to_string(s.auth));
    fields[CFG_STARTTLS] = s.bStartTls ? u"1" : u"0";
    fields[CFG_CERT_FLAGS] = FromUtf8(std::to_string(s.certFlags));
    CMailCfg cfg;
    cfg.m_strText1 = JoinConfigText(fields);
    cfg.m_strText2 = FromUtf8(s.password);
    ASSERT_TRUE(cfg.save((m_wfolder + u"smtp.cfg").c_str()));
    Close();
}

std::string WineSendTest::NewMarker() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string marker = std::string("wine-") + info->test_suite_name() + "-" + info->name() + "-" +
                         std::to_string(++m_nMarkers);
    for (char& c : marker)
        c = std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '-';
    return marker;
}

HostMessage WineSendTest::Simple(const std::string& marker) {
    HostMessage m;
    m.Subject(u"Wine " + FromUtf8(marker))
        .Body(u"b")
        .To(nullptr, FromUtf8(marker + "@example.org").c_str());
    return m;
}

MAILRESULT WineSendTest::Send(const MAILMESSAGE* message) {
    if (m_h == nullptr)
        m_h = Library().Initialize(&m_flags);
    if (m_h == nullptr) {
        ADD_FAILURE() << "Mail_Initialize failed";
        return MAILERR_INTERNAL;
    }
    return Library().Send(m_h, message, nullptr);
}

std::u16string WineSendTest::Description() {
    const MAILERROR* error = Library().GetLastError(m_h);
    return error == nullptr ? std::u16string() : HostText(error->szDescription);
}

void WineSendTest::ExpectLastError(MAILRESULT code, const std::u16string& start, uint32_t native) {
    const MAILERROR* error = Library().GetLastError(m_h);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->nCode, code);
    const std::u16string text = HostText(error->szDescription);
    EXPECT_EQ(text.substr(0, start.size()), start) << ToUtf8(text);
    EXPECT_EQ(error->dwNativeCode, native) << ToUtf8(text);

    MAILFORMATERROR report{};
    report.cbSize = sizeof report;
    ASSERT_EQ(Library().Execute(m_h, MAILCMD_FORMATERROR, &report), MAILERR_OK);
    char tail[32];
    std::snprintf(tail, sizeof tail, " 0x%X", native);
    EXPECT_TRUE(ToUtf8(HostText(report.szText)).ends_with(ToUtf8(text) + tail))
        << ToUtf8(HostText(report.szText));
}

void WineSendTest::Close() {
    if (m_h != nullptr)
        Library().Uninitialize(m_h);
    m_h = nullptr;
}

std::string WineSendTest::WriteFile(const std::string& name, const std::string& bytes) const {
    std::ofstream f(WindowsPathOf(Path(name)), std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return Path(name);
}
