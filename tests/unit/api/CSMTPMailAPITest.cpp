#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ApiTestSupport.h"
#include "LogCapture.h"
#include "api/CMailApp.h"
#include "api/CSMTPMailApp.h"
#include "platform/WideFormat.h"

class SmtpMailApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        MAILINIFLAGS flags = MakeIniFlags(&m_log, LoadTestHostModule(true));
        ASSERT_TRUE(m_api.Initialize(&flags));
    }

    CapturingLogProvider m_log;
    CSMTPMailAPI m_api;
};

TEST_F(SmtpMailApiTest, SupportsHtmlIsTheOneProperty) {
    BOOL value = 0;
    EXPECT_EQ(m_api.GetProperty(u"SupportsHTML", &value, sizeof value), MAILERR_OK);
    EXPECT_EQ(value, 1);
    char wide[8] = {};
    EXPECT_EQ(m_api.GetProperty(u"SupportsHTML", wide, 8), MAILERR_INVALID_PARAMS);
    EXPECT_NE(Text(m_api.GetLastError()->szDescription).find(u"sizeof(BOOL)"),
              std::u16string::npos);
    EXPECT_EQ(m_api.GetProperty(u"Other", wide, 0), MAILERR_INVALID_PARAMS);
    EXPECT_NE(Text(m_api.GetLastError()->szDescription).find(u"may not be 0"),
              std::u16string::npos);
    EXPECT_EQ(m_api.GetProperty(nullptr, wide, 8), MAILERR_INVALID_PARAMS);
    EXPECT_NE(Text(m_api.GetLastError()->szDescription).find(u"pszPropertyName"),
              std::u16string::npos);
    EXPECT_EQ(m_api.GetProperty(u"SupportsHTML", nullptr, 4), MAILERR_INVALID_PARAMS);
    EXPECT_NE(Text(m_api.GetLastError()->szDescription).find(u"pszPropertyValue"),
              std::u16string::npos);
    // Another name is answered with success and an untouched buffer; the name is case-sensitive.
    int untouched = 77;
    EXPECT_EQ(m_api.GetProperty(u"supportshtml", &untouched, 4), MAILERR_OK);
    EXPECT_EQ(untouched, 77);
}

TEST_F(SmtpMailApiTest, ResolveAddressChecksItsRecordsAndFindsNothing) {
    MAILADDRESS address{};
    address.cbSize = sizeof address;
    MAILRESOLVEADDRESSFLAGS flags{};
    flags.cbSize = sizeof flags;
    m_api.ClearLastError();
    EXPECT_EQ(m_api.ResolveAddress(u"someone", &address, nullptr), MAILERR_NOT_FOUND);
    EXPECT_EQ(m_api.GetLastError()->nCode, 0) << "the regular answer sets no error";
    EXPECT_EQ(m_api.ResolveAddress(u"someone", &address, &flags), MAILERR_NOT_FOUND);
    EXPECT_EQ(m_api.ResolveAddress(nullptr, &address, nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription),
              u"CSMTPMailAPI::ResolveAddress: pszAddress may not be NULL.");
    EXPECT_EQ(m_api.ResolveAddress(u"x", nullptr, nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription),
              u"CSMTPMailAPI::ResolveAddress: pResolvedAddress may not be NULL.");
    address.cbSize = 12;
    EXPECT_EQ(m_api.ResolveAddress(u"x", &address, nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription),
              u"CSMTPMailAPI::ResolveAddress: unsupported MAILADDRESS structure.");
    address.cbSize = 16;
    flags.cbSize = 12;
    EXPECT_EQ(m_api.ResolveAddress(u"x", &address, &flags), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription),
              u"CSMTPMailAPI::ResolveAddress: unsupported MAILRESOLVEADDRESSFLAGS structure.");
}

TEST_F(SmtpMailApiTest, NameOperationsAndTheQuietOperations) {
    EXPECT_EQ(m_api.GetCfgFileName(), u"smtp.cfg");
    EXPECT_EQ(m_api.GetCfgValueName(), u"smtp.cfg");
    EXPECT_EQ(m_api.GetRegistryKey(), u"Software\\Veltrana\\Orbisuite\\mail");
    EXPECT_EQ(m_api.GetProviderName(), u"SMTP");
    EXPECT_EQ(m_api.FindFirst(nullptr), nullptr);
    EXPECT_EQ(m_api.Deliver(123), MAILERR_OK);
    m_api.ClearLastError();
    EXPECT_EQ(m_api.FreeBuffer(nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(m_api.GetLastError()->nCode, 0) << "a null block sets no description";
}

namespace {

// The messages the logging library received, in order.
std::vector<std::u16string> Messages(const LogCapture& capture) {
    std::vector<std::u16string> out;
    for (const auto& r : capture.Records())
        out.push_back(r.action.empty() ? r.message : r.function + u" " + r.action);
    return out;
}

// True when the lines appear in this order (others may come between them).
::testing::AssertionResult InOrder(const LogCapture& capture,
                                   const std::vector<std::u16string>& lines) {
    std::vector<std::u16string> got = Messages(capture);
    size_t at = 0;
    for (const std::u16string& line : lines) {
        while (at < got.size() && got[at] != line)
            ++at;
        if (at == got.size())
            return ::testing::AssertionFailure()
                   << "missing or out of order: " << ToUtf8(line) << "\n"
                   << capture.Dump();
        ++at;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST_F(SmtpMailApiTest, OperationsWriteTheirTraceLines) {
    LogCapture capture;
    MAILNAME name{};
    name.cbSize = sizeof name;
    m_api.Execute(MAILCMD_GETNAME, &name);
    m_api.Execute(999, &name);
    EXPECT_TRUE(InOrder(capture, {u"CSMTPMailAPI::Execute() ==>", u"CMailAPI::Execute() ==>",
                                  u"CMailAPI::Execute() <== return MAILERR_OK;",
                                  u"CSMTPMailAPI::Execute() <== return MAILERR_OK;",
                                  u"CSMTPMailAPI::Execute() ==>", u"CMailAPI::Execute() ==>",
                                  u"CMailAPI::Execute() <== return MAILERR_INVALID_PARAMS;",
                                  u"CSMTPMailAPI::Execute() <== return MAILERR_INVALID_PARAMS;"}));
    capture.Clear();
    m_api.Deliver(0);
    BOOL value = 0;
    m_api.GetProperty(u"SupportsHTML", &value, 2);
    MAILADDRESS address{};
    address.cbSize = sizeof address;
    m_api.ResolveAddress(u"x", &address, nullptr);
    EXPECT_TRUE(InOrder(
        capture, {u"CSMTPMailAPI::Deliver() ==>", u"CSMTPMailAPI::Deliver() <== return MAILERR_OK;",
                  u"CSMTPMailAPI::GetProperty() ==>",
                  u"CMailAPI::SetLastError(nCode='MAILERR_INVALID_PARAMS' (=505)) ==>",
                  u"CMailAPI::SetLastError() <==",
                  u"CSMTPMailAPI::GetProperty() <== return MAILERR_INVALID_PARAMS;",
                  u"CSMTPMailAPI::ResolveName() ==>",
                  u"CSMTPMailAPI::ResolveName() <== return MAILERR_NOT_FOUND;"}));
    // A refused address has no exit line.
    capture.Clear();
    m_api.ResolveAddress(nullptr, &address, nullptr);
    EXPECT_FALSE(capture.Contains(u"CSMTPMailAPI::ResolveName() <=="));
}

TEST_F(SmtpMailApiTest, InitializeAndUninitializeWriteTheirTraceLines) {
    LogCapture capture;
    CSMTPMailAPI api;
    MAILINIFLAGS flags = MakeIniFlags(&m_log, nullptr);
    ASSERT_TRUE(api.Initialize(&flags));
    std::u16string entry = platform::WFormat(u"CSMTPMailAPI::Initialize(%p) ==>", &flags);
    EXPECT_TRUE(InOrder(
        capture, {entry, u"CSMTPMailApp::Initialize(0x0)", u"CSMTPMailApp::InitializeSMTP enter",
                  u"CSMTPMailApp::InitializeSMTP exit", u"CSMTPMailAPI::Login enter",
                  u"CMailAPI::LoadCfg() ==>", u"CSMTPMailAPI::Login exit",
                  u"CSMTPMailAPI::Initialize() <== return true;"}));
    capture.Clear();
    api.Uninitialize();
    api.Uninitialize();
    EXPECT_TRUE(
        InOrder(capture, {u"CSMTPMailAPI::Uninitialize enter",
                          u"CSMTPMailApp::UninitializeSMTP() ==> (use-count=" +
                              platform::WFormat(u"%u", theApp.m_nUseCount + 1) + u")",
                          u"CSMTPMailAPI::Uninitialize exit", u"CSMTPMailAPI::Uninitialize enter",
                          u"CSMTPMailAPI::Uninitialize exit"}));
    EXPECT_EQ(Messages(capture).size(), 6u) << "the second release does nothing\n"
                                            << capture.Dump();

    capture.Clear();
    MAILINIFLAGS bad = MakeIniFlags(nullptr, nullptr);
    EXPECT_FALSE(api.Initialize(&bad));
    EXPECT_TRUE(InOrder(
        capture, {u"CSMTPMailAPI::Initialize() <== return false; (CMailAPI::Initialize failed)"}));
}

TEST(CSMTPMailApp, CreatesTheSharedApplicationObjectOnce) {
    LogCapture capture;
    CSMTPMailApp app;
    HMODULE hModule = reinterpret_cast<HMODULE>(0x1234);
    EXPECT_TRUE(app.Initialize(hModule));
    ASSERT_NE(app.m_pApp, nullptr);
    EXPECT_EQ(app.m_pApp->m_hInstance, hModule);
    EXPECT_EQ(CMailApp::Current(), app.m_pApp);
    CMailApp* first = app.m_pApp;
    EXPECT_TRUE(app.Initialize(reinterpret_cast<HMODULE>(0x5678)));
    EXPECT_EQ(app.m_pApp, first) << "later providers reuse it";
    EXPECT_EQ(app.m_pApp->m_hInstance, hModule) << "the first handle is the one kept";
    EXPECT_TRUE(InOrder(
        capture,
        {u"CSMTPMailApp::Initialize(0x1234)", u"CMailApp::Initialize(0x1234) ==>",
         u"CMailApp::Initialize() <== return true;", u"CSMTPMailApp::Initialize() <== return true;",
         u"CSMTPMailApp::Initialize(0x5678)"}));
    EXPECT_FALSE(capture.Contains(u"CMailApp::Initialize(0x5678)"));
    app.Uninitialize();
    EXPECT_EQ(app.m_pApp, nullptr);
    EXPECT_EQ(CMailApp::Current(), nullptr);
}
