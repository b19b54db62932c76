#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "HostMessage.h"
#include "LogCapture.h"
#include "ProviderLibrary.h"
#include "ScratchDir.h"
#include "api/CMailItem.h"
#include "hostmodule/HostModule.h"

namespace {

std::u16string Text(const MAILWCHAR* s) {
    return s == nullptr ? u"<null>" : std::u16string(s);
}

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib.Loaded()) << lib.error;
        m_flags = MakeIniFlags(&m_log, LoadTestHostModule(true), m_wdir.c_str());
        m_h = lib.Initialize(&m_flags);
        ASSERT_NE(m_h, nullptr);
    }
    void TearDown() override { lib.Uninitialize(m_h); }

    void SetError() {
        MAILADDRESS bad{12};
        ASSERT_EQ(lib.ResolveAddress(m_h, u"x", &bad, nullptr), MAILERR_INVALID_PARAMS);
        ASSERT_EQ(lib.GetLastError(m_h)->nCode, MAILERR_INVALID_PARAMS);
    }

    ProviderLibrary& lib = ProviderLibrary::Get();
    CapturingLogProvider m_log;
    MAILINIFLAGS m_flags{};
    HMAILPROVIDER m_h = nullptr;
    ScratchDir m_scratch;
    const std::string m_dir = m_scratch.Path();
    const std::u16string m_wdir = FromUtf8(m_dir + "/");
};

}  // namespace

TEST_F(FrameTest, BadRecordsAndNullHandlesAreRefusedWithoutALastError) {
    EXPECT_EQ(lib.Initialize(nullptr), nullptr);
    MAILINIFLAGS flags = m_flags;
    flags.cbSize = MAILINIFLAGS_MIN_SIZE - 1;
    EXPECT_EQ(lib.Initialize(&flags), nullptr);
    flags.cbSize = MAILINIFLAGS_MIN_SIZE;
    flags.logProvider = nullptr;
    EXPECT_EQ(lib.Initialize(&flags), nullptr);
    flags.logProvider = &m_log;
    HMAILPROVIDER h = lib.Initialize(&flags);
    EXPECT_NE(h, nullptr) << "the smallest accepted record ends with pSession";
    lib.Uninitialize(h);

    EXPECT_EQ(lib.GetLastError(nullptr), nullptr);
    EXPECT_EQ(lib.FindFirst(nullptr, nullptr), nullptr);
    for (MAILRESULT rc :
         {lib.Execute(nullptr, MAILCMD_GETNAME, nullptr), lib.Send(nullptr, nullptr, nullptr),
          lib.Deliver(nullptr, 0), lib.GetProperty(nullptr, u"SupportsHTML", nullptr, 0),
          lib.SetProperty(nullptr, u"x", nullptr),
          lib.ResolveAddress(nullptr, u"x", nullptr, nullptr), lib.FreeBuffer(nullptr, nullptr),
          lib.FindNext(nullptr), lib.Receive(nullptr, nullptr, nullptr, nullptr),
          lib.AttachmentSave(nullptr, nullptr, nullptr), lib.Delete(nullptr)})
        EXPECT_EQ(rc, MAILERR_INVALID_PARAMS);
    lib.FindClose(nullptr);
    lib.Uninitialize(nullptr);
}

TEST_F(FrameTest, ExecuteAndGetLastErrorKeepTheErrorWhileOtherExportsClearIt) {
    SetError();
    MAILFORMATERROR report{sizeof report};
    ASSERT_EQ(lib.Execute(m_h, MAILCMD_FORMATERROR, &report), MAILERR_OK);
    EXPECT_EQ(Text(report.szText),
              u"Invalid parameters. (505, 0x1F9)\r\n\r\n"
              u"CSMTPMailAPI::ResolveAddress: unsupported MAILADDRESS structure. 0x0");
    EXPECT_EQ(lib.Execute(m_h, 999, &report), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(lib.GetLastError(m_h)->szDescription),
              u"CSMTPMailAPI::ResolveAddress: unsupported MAILADDRESS structure.");

    int32_t supports = 0;
    MAILADDRESS address{sizeof address};
    const std::vector<std::pair<const char*, std::function<MAILRESULT()>>> clearing = {
        {"FindFirst", [&] { return lib.FindFirst(m_h, nullptr) == nullptr ? 0 : -1; }},
        {"GetProperty",
         [&] { return lib.GetProperty(m_h, u"SupportsHTML", &supports, sizeof supports); }},
        {"ResolveAddress",
         [&] {
             return lib.ResolveAddress(m_h, u"someone", &address, nullptr) - MAILERR_NOT_FOUND;
         }},
        {"Deliver", [&] { return lib.Deliver(m_h, 7); }},
        {"FreeBuffer (a null block sets no error)",
         [&] { return lib.FreeBuffer(m_h, nullptr) - MAILERR_INVALID_PARAMS; }},
    };
    for (const auto& [name, call] : clearing) {
        SetError();
        EXPECT_EQ(call(), 0) << name;
        EXPECT_EQ(lib.GetLastError(m_h)->nCode, MAILERR_OK) << name;
        EXPECT_EQ(Text(lib.GetLastError(m_h)->szDescription), u"") << name;
    }
    EXPECT_EQ(supports, 1);
    EXPECT_EQ(lib.SetProperty(m_h, u"SupportsHTML", nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(lib.GetLastError(m_h)->szDescription), u"Property not supported.");
}

namespace {

class FakeItem final : public CMailItem {
public:
    explicit FakeItem(HMAILPROVIDER h) : provider(reinterpret_cast<CMailAPI*>(h)) {}
    virtual ~FakeItem() = default;
    void Destroy(unsigned flags) override { calls += "Destroy(" + std::to_string(flags) + ")"; }
    MAILRESULT Receive(void* a, void* b, void* c) override {
        args = {a, b, c};
        // A careless component may move the process into another directory.
        if (!directory.empty() && ::chdir(directory.c_str()) != 0)
            ADD_FAILURE() << "chdir failed";
        if (bThrow)
            throw std::runtime_error("broken item");
        return 301;
    }
    MAILRESULT AttachmentSave(void* a, void* b) override {
        args = {a, b, nullptr};
        return 302;
    }
    MAILRESULT Delete() override { return 400; }
    MAILRESULT FindNext() override { return MAILERR_NO_MORE_ITEMS; }
    void FindClose() override { calls += "FindClose,"; }
    CMailAPI* Provider() override { return provider; }
    HMAILITEM Handle() { return reinterpret_cast<HMAILITEM>(static_cast<CMailItem*>(this)); }

    std::string calls;
    std::vector<void*> args;
    std::string directory;
    bool bThrow = false;
    CMailAPI* provider;
};

}  // namespace

TEST_F(FrameTest, ItemExportsForwardClearRestoreAndContain) {
    FakeItem item(m_h);
    int a = 1, b = 2, c = 3;
    SetError();
    item.directory = m_dir;
    const std::string before = std::filesystem::current_path().string();
    EXPECT_EQ(lib.Receive(item.Handle(), &a, &b, &c), 301);
    EXPECT_EQ(item.args, (std::vector<void*>{&a, &b, &c}));
    EXPECT_EQ(lib.GetLastError(m_h)->nCode, MAILERR_OK) << "the item's provider was cleared";
    EXPECT_EQ(std::filesystem::current_path().string(), before);
    item.directory.clear();
    SetError();
    EXPECT_EQ(lib.AttachmentSave(item.Handle(), &b, &c), 302);
    EXPECT_EQ(item.args, (std::vector<void*>{&b, &c, nullptr}));
    EXPECT_EQ(lib.GetLastError(m_h)->nCode, MAILERR_OK);
    EXPECT_EQ(lib.Delete(item.Handle()), 400);
    EXPECT_EQ(lib.FindNext(item.Handle()), MAILERR_NO_MORE_ITEMS);
    lib.FindClose(item.Handle());
    EXPECT_EQ(item.calls, "FindClose,Destroy(1)");

    item.bThrow = true;
    EXPECT_EQ(lib.Receive(item.Handle(), nullptr, nullptr, nullptr), MAILERR_INTERNAL);
    EXPECT_EQ(lib.GetLastError(m_h)->nCode, MAILERR_INTERNAL);
    EXPECT_EQ(Text(lib.GetLastError(m_h)->szDescription), u"Mail export: unexpected exception.");
}
