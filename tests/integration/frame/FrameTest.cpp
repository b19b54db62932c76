// The sixteen exports as the host reaches them: the provider library loaded
// with the dynamic loader, records filled as the host fills them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "CapturingLogProvider.h"
#include "LogCapture.h"
#include "ProviderLibrary.h"
#include "api/CMailItem.h"
#include "hostmodule/HostModule.h"
#include "vxstring.h"

namespace {

ProviderLibrary& Library() {
    static ProviderLibrary library;
    return library;
}

std::u16string Text(const MAILWCHAR* s) {
    return s == nullptr ? u"<null>" : std::u16string(s);
}

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
    ASSERT_NE(h, nullptr)
        << "the smallest accepted record is the offset of pSession plus a pointer";
    lib.Uninitialize(h);
}

TEST_F(FrameTest, NullHandlesAreRefusedWithoutALastError) {
    LogCapture capture;
    EXPECT_EQ(lib.GetLastError(nullptr), nullptr);
    EXPECT_EQ(lib.FindFirst(nullptr, nullptr), nullptr);
    int lines = 0;
    for (const auto& r : capture.Records())
        lines += r.message == u"handle may not be NULL" ? 1 : 0;
    EXPECT_EQ(lines, 2) << "one diagnostic line from each\n" << capture.Dump();
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

// GetLastError and Execute leave the last error readable; every other export
// clears it first.
TEST_F(FrameTest, ExecuteAndGetLastErrorKeepTheErrorWhileOtherExportsClearIt) {
    HMAILPROVIDER h = Open();
    auto setError = [&] {
        MAILADDRESS bad{};
        bad.cbSize = 12;
        ASSERT_EQ(lib.ResolveAddress(h, u"x", &bad, nullptr), MAILERR_INVALID_PARAMS);
        ASSERT_EQ(lib.GetLastError(h)->nCode, MAILERR_INVALID_PARAMS);
    };
    setError();
    MAILFORMATERROR report{};
    report.cbSize = sizeof report;
    ASSERT_EQ(lib.Execute(h, MAILCMD_FORMATERROR, &report), MAILERR_OK);
    EXPECT_EQ(Text(report.szText),
              u"Invalid parameters. (505, 0x1F9)\r\n\r\n"
              u"CSMTPMailAPI::ResolveAddress: unsupported MAILADDRESS structure. 0x0");
    MAILERRORTEXT text{};
    text.cbSize = sizeof text;
    text.nCode = MAILERR_INVALID_PARAMS;
    text.dwFlags = 1;
    ASSERT_EQ(lib.Execute(h, MAILCMD_GETERRORTEXT, &text), MAILERR_OK);
    EXPECT_EQ(Text(text.szText), u"Invalid parameters. (505)");
    MAILNAME name{};
    name.cbSize = sizeof name;
    ASSERT_EQ(lib.Execute(h, MAILCMD_GETNAME, &name), MAILERR_OK);
    EXPECT_EQ(Text(name.szName), u"SMTP");
    EXPECT_EQ(lib.Execute(h, 999, &report), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(lib.GetLastError(h)->szDescription),
              u"CSMTPMailAPI::ResolveAddress: unsupported MAILADDRESS structure.");

    EXPECT_EQ(lib.FindFirst(h, nullptr), nullptr) << "no item to find";
    EXPECT_EQ(lib.GetLastError(h)->nCode, MAILERR_OK);
    EXPECT_EQ(Text(lib.GetLastError(h)->szDescription), u"");
    setError();
    int32_t supports = 0;
    ASSERT_EQ(lib.GetProperty(h, u"SupportsHTML", &supports, sizeof supports), MAILERR_OK);
    EXPECT_EQ(supports, 1);
    EXPECT_EQ(lib.GetLastError(h)->nCode, MAILERR_OK);
    setError();
    MAILADDRESS address{};
    address.cbSize = sizeof address;
    EXPECT_EQ(lib.ResolveAddress(h, u"someone", &address, nullptr), MAILERR_NOT_FOUND);
    EXPECT_EQ(lib.GetLastError(h)->nCode, MAILERR_OK);
    setError();
    EXPECT_EQ(lib.Deliver(h, 7), MAILERR_OK);
    EXPECT_EQ(lib.GetLastError(h)->nCode, MAILERR_OK);
    EXPECT_EQ(lib.FreeBuffer(h, nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(lib.GetLastError(h)->nCode, MAILERR_OK) << "a null block sets no error";
    EXPECT_EQ(lib.SetProperty(h, u"SupportsHTML", nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(lib.GetLastError(h)->szDescription), u"Property not supported.");
    lib.Uninitialize(h);

    // A host module without the display texts yields the code alone.
    m_flags.hResource = LoadTestHostModule(false);
    h = Open();
    ASSERT_EQ(lib.Execute(h, MAILCMD_GETERRORTEXT, &text), MAILERR_OK);
    EXPECT_EQ(Text(text.szText), u"505");
    lib.Uninitialize(h);
}

namespace {

// Moves the process into another directory while the provider is in an
// operation, as a careless component of the host's process might.
void ChangeDirectoryDuringGetProperty(const Logging::LogRecord& record, void* context) {
    if (record.message.find(u"CSMTPMailAPI::GetProperty() ==>") != std::u16string::npos) {
        if (::chdir(static_cast<const char*>(context)) != 0)
            ADD_FAILURE() << "chdir failed";
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

TEST_F(FrameTest, TwoHandlesCountTwiceInTheApplicationObject) {
    LogCapture capture;
    HMAILPROVIDER first = Open();
    HMAILPROVIDER second = Open();
    // The second handle's count shows in the trace: "(use-count N)".
    const std::u16string counted = u"CSMTPMailApp::InitializeSMTP()\n <== return true; (use-count ";
    unsigned count = 0;
    for (const auto& r : capture.Records()) {
        if (r.message.rfind(counted, 0) == 0)
            count = static_cast<unsigned>(std::stoul(ToUtf8(r.message.substr(counted.size()))));
    }
    ASSERT_GE(count, 2u) << capture.Dump();
    auto released = [&capture](unsigned n) {
        return capture.Contains(u"CSMTPMailApp::UninitializeSMTP() <== (use-count=" +
                                FromUtf8(std::to_string(n)) + u")");
    };
    lib.Uninitialize(first);
    EXPECT_TRUE(released(count - 1)) << capture.Dump();
    lib.Uninitialize(second);
    EXPECT_TRUE(released(count - 2)) << capture.Dump();
}

namespace {

// An item as a mail-reading provider would hand it out; it records what the
// item exports ask of it.
class FakeItem final : public CMailItem {
public:
    explicit FakeItem(HMAILPROVIDER hProvider)
        : m_pProvider(reinterpret_cast<CMailAPI*>(hProvider)) {}
    virtual ~FakeItem() = default;

    void Destroy(unsigned flags) override { calls += "Destroy(" + std::to_string(flags) + ")"; }
    MAILRESULT Receive(void* pArg1, void* pArg2, void* pArg3) override {
        calls += "Receive";
        args = {pArg1, pArg2, pArg3};
        if (!directory.empty() && ::chdir(directory.c_str()) != 0)
            ADD_FAILURE() << "chdir failed";
        if (bThrow)
            throw std::runtime_error("broken item");
        return 301;
    }
    MAILRESULT AttachmentSave(void* pArg1, void* pArg2) override {
        calls += "AttachmentSave";
        args = {pArg1, pArg2, nullptr};
        return 302;
    }
    MAILRESULT Delete() override {
        calls += "Delete";
        return 400;
    }
    MAILRESULT FindNext() override {
        calls += "FindNext";
        return MAILERR_NO_MORE_ITEMS;
    }
    void FindClose() override { calls += "FindClose,"; }
    CMailAPI* Provider() override { return m_pProvider; }

    HMAILITEM Handle() { return reinterpret_cast<HMAILITEM>(static_cast<CMailItem*>(this)); }

    std::string calls;
    std::vector<void*> args;
    std::string directory;
    bool bThrow = false;

private:
    CMailAPI* m_pProvider;
};

}  // namespace

TEST_F(FrameTest, ItemExportsClearTheProvidersErrorAndForwardTheirArguments) {
    HMAILPROVIDER h = Open();
    FakeItem item(h);
    auto setError = [&] {
        MAILADDRESS address{};
        ASSERT_EQ(lib.ResolveAddress(h, u"x", &address, nullptr), MAILERR_INVALID_PARAMS);
    };
    int a = 1, b = 2, c = 3;

    setError();
    item.directory = m_dir;
    std::string before = std::filesystem::current_path().string();
    EXPECT_EQ(lib.Receive(item.Handle(), &a, &b, &c), 301);
    EXPECT_EQ(item.args, (std::vector<void*>{&a, &b, &c}));
    EXPECT_EQ(lib.GetLastError(h)->nCode, MAILERR_OK) << "the item's provider was cleared";
    EXPECT_EQ(std::filesystem::current_path().string(), before);
    item.directory.clear();

    setError();
    EXPECT_EQ(lib.AttachmentSave(item.Handle(), &b, &c), 302);
    EXPECT_EQ(item.args, (std::vector<void*>{&b, &c, nullptr}));
    EXPECT_EQ(lib.GetLastError(h)->nCode, MAILERR_OK);
    EXPECT_EQ(lib.Delete(item.Handle()), 400);
    EXPECT_EQ(lib.FindNext(item.Handle()), MAILERR_NO_MORE_ITEMS);
    item.calls.clear();
    lib.FindClose(item.Handle());
    EXPECT_EQ(item.calls, "FindClose,Destroy(1)");
    lib.Uninitialize(h);
}

TEST_F(FrameTest, AnExceptionNeverReachesTheHost) {
    HMAILPROVIDER h = Open();
    FakeItem item(h);
    item.bThrow = true;
    EXPECT_EQ(lib.Receive(item.Handle(), nullptr, nullptr, nullptr), MAILERR_INTERNAL);
    const MAILERROR* error = lib.GetLastError(h);
    EXPECT_EQ(error->nCode, MAILERR_INTERNAL);
    EXPECT_EQ(Text(error->szDescription), u"Mail export: unexpected exception.");
    lib.Uninitialize(h);
}
