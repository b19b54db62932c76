// A host that holds the shared GCC runtime (libgcc_s), loaded before or after
// the provider: an exception inside the provider must end as 509, not
// std::terminate. Each order needs a process of its own (CTest's).
#include <windows.h>
// After windows.h, whose types they use.
#include <gtest/gtest.h>

#include <string>

#include "HostMessage.h"
#include "LogCapture.h"
#include "LoopbackSocket.h"
#include "ProviderLibrary.h"
#include "ScratchDir.h"
#include "ScriptedSmtpServer.h"
#include "hostmodule/HostModule.h"

namespace {

// From the host's folder (bin/hostruntime), its winpthread beside it.
HMODULE LoadSharedRuntime() {
    wchar_t exe[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path(exe, n);
    path = path.substr(0, path.rfind(L'\\') + 1) + L"hostruntime\\" SMTPMAIL_HOST_RUNTIME;
    return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

class SharedRuntimeTest : public ::testing::Test {
protected:
    // The host's string module before the runtime: built with the same
    // toolchain, it would take a reference of its own on a runtime already there.
    void SetUp() override { m_hResource = LoadTestHostModule(true); }

    void LoadProvider() {
        m_lib = ProviderLibrary::Load();
        ASSERT_TRUE(m_lib.Loaded()) << m_lib.error;
    }

    void ExpectRefusedThenDelivered() {
        int closed = 0;  // a port nobody listens on
        CloseSocket(BindLoopback(closed, false));
        EXPECT_EQ(SendTo(closed), MAILERR_ACCESS_DENIED);
        const MAILERROR* error = m_lib.GetLastError(m_h);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(error->szDescription))
                      .rfind(u"CSMTPMailAPI::Send() - An error occured connecting to server. ", 0),
                  0u);
        EXPECT_EQ(error->dwNativeCode, static_cast<uint32_t>(WSAECONNREFUSED));

        ScriptedSmtpServer server;
        UpToData(Helo(server)).ExpectData().Send("250 queued\r\n").Exchange("QUIT", "221 bye\r\n");
        const int port = server.Start();
        ASSERT_GT(port, 0);
        EXPECT_EQ(SendTo(port), MAILERR_OK);
        EXPECT_TRUE(server.Finish());
        EXPECT_TRUE(server.Errors().empty()) << server.Errors().front();
    }

    // The runtime may stay: its start-up code takes a reference to itself.
    void UnloadProvider() {
        if (m_h != nullptr)
            m_lib.Uninitialize(std::exchange(m_h, nullptr));
        EXPECT_TRUE(::FreeLibrary(static_cast<HMODULE>(std::exchange(m_lib.handle, nullptr))));
        EXPECT_EQ(::GetModuleHandleW(L"smtpmail.dll"), nullptr) << "still loaded";
    }
    void UnloadRuntime() { EXPECT_TRUE(::FreeLibrary(std::exchange(m_runtime, nullptr))); }

    HMODULE m_runtime = nullptr;

private:
    MAILRESULT SendTo(int port) {
        WriteBytes(m_dir.File("vx.ini"),
                   "[SMTP]\nsmtpHost=127.0.0.1\nsmtpPort=" + std::to_string(port) +
                       "\nsmtpAuth=0\nsmtpSenderAddr=host@example.org\n");
        if (m_h != nullptr)
            m_lib.Uninitialize(m_h);
        MAILINIFLAGS flags = MakeIniFlags(&m_log, m_hResource, m_wdir.c_str());
        m_h = m_lib.Initialize(&flags);
        if (m_h == nullptr)
            return MAILERR_INTERNAL;
        HostMessage message;
        message.Subject(u"s").Body(u"b").To(nullptr, u"to@example.org");
        return m_lib.Send(m_h, message.Record(), nullptr);
    }

    ProviderLibrary m_lib;
    void* m_hResource = nullptr;
    ScratchDir m_dir;
    const std::u16string m_wdir = FromUtf8(m_dir.Path() + "\\");
    CapturingLogProvider m_log;
    HMAILPROVIDER m_h = nullptr;
};

TEST_F(SharedRuntimeTest, LoadedBeforeTheProvider) {
    m_runtime = LoadSharedRuntime();
    ASSERT_NE(m_runtime, nullptr) << ::GetLastError();
    LoadProvider();
    ExpectRefusedThenDelivered();
    UnloadProvider();
    UnloadRuntime();
}

TEST_F(SharedRuntimeTest, LoadedAfterTheProvider) {
    LoadProvider();
    m_runtime = LoadSharedRuntime();
    ASSERT_NE(m_runtime, nullptr) << ::GetLastError();
    ExpectRefusedThenDelivered();
    UnloadRuntime();
    UnloadProvider();
}

}  // namespace
