// The sixteen exports as the host reaches them: the provider library loaded
// with the dynamic loader, records filled as the host fills them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "CapturingLogProvider.h"
#include "LogCapture.h"
#include "ProviderLibrary.h"
#include "hostmodule/HostModule.h"
#include "vxstring.h"

namespace {

ProviderLibrary& Library() {
    static ProviderLibrary library;
    return library;
}

std::u16string Text(const MAILWCHAR* s) { return s == nullptr ? u"<null>" : std::u16string(s); }

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Library().Loaded()) << Library().error;
        m_dir = ::testing::TempDir() + "/frame-" + std::to_string(::getpid()) + "/";
        std::filesystem::create_directories(m_dir);
        m_wdir = FromUtf8(m_dir);
        std::memset(&m_flags, 0, sizeof m_flags);
        m_flags.cbSize = sizeof m_flags;
        m_flags.logProvider = &m_log;
        m_flags.hResource = LoadTestHostModule(true);
        m_flags.pszPrimaryDir = m_wdir.c_str();
        m_flags.pszSecondaryDir = m_wdir.c_str();
    }

    HMAILPROVIDER Open() {
        HMAILPROVIDER h = Library().Initialize(&m_flags);
        EXPECT_NE(h, nullptr);
        return h;
    }

    ProviderLibrary& lib = Library();
    CapturingLogProvider m_log;
    MAILINIFLAGS m_flags{};
    std::string m_dir;
    std::u16string m_wdir;
};

}  // namespace

TEST_F(FrameTest, InitializeRefusesBadRecordsAndLeavesNothingBehind) {
    EXPECT_EQ(lib.Initialize(nullptr), nullptr);
    m_flags.cbSize = MAILINIFLAGS_MIN_SIZE - 1;
    EXPECT_EQ(lib.Initialize(&m_flags), nullptr);
    m_flags.cbSize = MAILINIFLAGS_MIN_SIZE;
    m_flags.logProvider = nullptr;
    EXPECT_EQ(lib.Initialize(&m_flags), nullptr);
    m_flags.logProvider = &m_log;
    HMAILPROVIDER h = lib.Initialize(&m_flags);
    ASSERT_NE(h, nullptr) << "the smallest accepted record is the offset of pSession plus a pointer";
    lib.Uninitialize(h);
}

TEST_F(FrameTest, NullHandlesAreRefusedWithoutALastError) {
    LogCapture capture;
    EXPECT_EQ(lib.GetLastError(nullptr), nullptr);
    EXPECT_TRUE(capture.Contains(u"handle may not be NULL")) << capture.Dump();
    EXPECT_EQ(lib.FindFirst(nullptr, nullptr), nullptr);
    EXPECT_EQ(lib.Execute(nullptr, MAILCMD_GETNAME, nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(lib.Send(nullptr, nullptr, nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(lib.Deliver(nullptr, 0), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(lib.GetProperty(nullptr, u"SupportsHTML", nullptr, 0), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(lib.SetProperty(nullptr, u"x", nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(lib.ResolveAddress(nullptr, u"x", nullptr, nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(lib.FreeBuffer(nullptr, nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(lib.FindNext(nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(lib.Receive(nullptr, nullptr, nullptr, nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(lib.AttachmentSave(nullptr, nullptr, nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(lib.Delete(nullptr), MAILERR_INVALID_PARAMS);
    lib.FindClose(nullptr);
    lib.Uninitialize(nullptr);
}

TEST_F(FrameTest, FindFirstGivesNoItemAndClearsTheLastError) {
    HMAILPROVIDER h = Open();
    MAILADDRESS address{};
    address.cbSize = 3;
    ASSERT_EQ(lib.ResolveAddress(h, u"x", &address, nullptr), MAILERR_INVALID_PARAMS);
    ASSERT_EQ(lib.GetLastError(h)->nCode, MAILERR_INVALID_PARAMS);
    EXPECT_EQ(lib.FindFirst(h, nullptr), nullptr);
    MAILERROR* error = lib.GetLastError(h);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->nCode, MAILERR_OK);
    EXPECT_EQ(Text(error->szDescription), u"");
    lib.Uninitialize(h);
}

TEST_F(FrameTest, ExecuteAndGetLastErrorKeepTheErrorWhileOtherExportsClearIt) {
    HMAILPROVIDER h = Open();
    MAILADDRESS address{};
    address.cbSize = 12;
    ASSERT_EQ(lib.ResolveAddress(h, u"x", &address, nullptr), MAILERR_INVALID_PARAMS);

    MAILFORMATERROR report{};
    report.cbSize = sizeof report;
    ASSERT_EQ(lib.Execute(h, MAILCMD_FORMATERROR, &report), MAILERR_OK);
    EXPECT_EQ(Text(report.szText), u"Invalid parameters. (505, 0x1F9)\r\n\r\n"
                                   u"CSMTPMailAPI::ResolveAddress: unsupported MAILADDRESS structure. 0x0");
    EXPECT_EQ(lib.GetLastError(h)->nCode, MAILERR_INVALID_PARAMS) << "Execute leaves the error readable";
    EXPECT_EQ(lib.Execute(h, 999, &report), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(lib.GetLastError(h)->szDescription),
              u"CSMTPMailAPI::ResolveAddress: unsupported MAILADDRESS structure.");

    int32_t supports = 0;
    ASSERT_EQ(lib.GetProperty(h, u"SupportsHTML", &supports, sizeof supports), MAILERR_OK);
    EXPECT_EQ(supports, 1);
    EXPECT_EQ(lib.GetLastError(h)->nCode, MAILERR_OK) << "GetProperty cleared the error first";
    lib.Uninitialize(h);
}

TEST_F(FrameTest, InformationCommandsAnswerThroughExecute) {
    HMAILPROVIDER h = Open();
    MAILNAME name{};
    name.cbSize = sizeof name;
    ASSERT_EQ(lib.Execute(h, MAILCMD_GETNAME, &name), MAILERR_OK);
    EXPECT_EQ(Text(name.szName), u"SMTP");
    MAILERRORTEXT text{};
    text.cbSize = sizeof text;
    text.nCode = MAILERR_INVALID_PARAMS;
    text.dwFlags = 1;
    ASSERT_EQ(lib.Execute(h, MAILCMD_GETERRORTEXT, &text), MAILERR_OK);
    EXPECT_EQ(Text(text.szText), u"Invalid parameters. (505)");
    lib.Uninitialize(h);

    m_flags.hResource = LoadTestHostModule(false);
    h = Open();
    ASSERT_EQ(lib.Execute(h, MAILCMD_GETERRORTEXT, &text), MAILERR_OK);
    EXPECT_EQ(Text(text.szText), u"505") << "a module without the text yields the code alone";
    lib.Uninitialize(h);
}

TEST_F(FrameTest, PropertiesAddressesAndTheQuietExports) {
    HMAILPROVIDER h = Open();
    EXPECT_EQ(lib.SetProperty(h, u"SupportsHTML", nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(lib.GetLastError(h)->szDescription), u"Property not supported.");
    char buffer[8] = {};
    EXPECT_EQ(lib.GetProperty(h, u"SupportsHTML", buffer, 8), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(lib.GetProperty(h, u"Anything", buffer, 0), MAILERR_INVALID_PARAMS);
    MAILADDRESS address{};
    address.cbSize = sizeof address;
    EXPECT_EQ(lib.ResolveAddress(h, u"someone", &address, nullptr), MAILERR_NOT_FOUND);
    EXPECT_EQ(lib.GetLastError(h)->nCode, MAILERR_OK);
    MAILRESOLVEADDRESSFLAGS flags{};
    flags.cbSize = 12;
    EXPECT_EQ(lib.ResolveAddress(h, u"someone", &address, &flags), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(lib.GetLastError(h)->szDescription),
              u"CSMTPMailAPI::ResolveAddress: unsupported MAILRESOLVEADDRESSFLAGS structure.");
    EXPECT_EQ(lib.Deliver(h, 7), MAILERR_OK);
    EXPECT_EQ(lib.FreeBuffer(h, nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(lib.GetLastError(h)->nCode, MAILERR_OK);
    lib.Uninitialize(h);
}

namespace {

// Moves the process into another directory while the provider is in an
// operation, as a careless component of the host's process might.
void ChangeDirectoryDuringGetProperty(const Logging::LogRecord& record, void* context) {
    if (record.message.find(u"CSMTPMailAPI::GetProperty() ==>") != std::u16string::npos) {
        if (::chdir(static_cast<const char*>(context)) != 0) ADD_FAILURE() << "chdir failed";
    }
}

}  // namespace

TEST_F(FrameTest, TheCurrentDirectoryIsBackWhenTheExportReturns) {
    HMAILPROVIDER h = Open();
    std::string before = std::filesystem::current_path().string();
    Logging::SetLogHook(&ChangeDirectoryDuringGetProperty, const_cast<char*>(m_dir.c_str()));
    int32_t value = 0;
    EXPECT_EQ(lib.GetProperty(h, u"SupportsHTML", &value, sizeof value), MAILERR_OK);
    Logging::SetLogHook(nullptr, nullptr);
    EXPECT_EQ(std::filesystem::current_path().string(), before);
    lib.Uninitialize(h);
}
