// The provider in a host that holds the shared GCC runtime (libgcc_s) of the
// same toolchain, loaded before the provider or after it. Each order runs in
// a process of its own (CTest runs every case alone). In both, a refused
// connection, which the provider reports by a C++ exception inside itself,
// must end as 509 with its text rather than std::terminate; a delivery
// follows in the same process; and both modules unload without an abort.
#include <windows.h>
// After windows.h, whose types they use.
#include <gtest/gtest.h>

#include <string>

#include "HostMessage.h"
#include "LogCapture.h"
#include "LoopbackSocket.h"
#include "ScratchDir.h"
#include "ScriptedSmtpServer.h"
#include "hostmodule/HostModule.h"
#include "mailapi.h"

namespace {

// The runtime as a host that ships it loads it: from the host's folder
// (bin/hostruntime), its winpthread beside it.
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

    // Loads the provider (not kept for the process, as ProviderLibrary keeps
    // it, so that the test can unload it).
    void LoadProvider() {
        m_provider = ::LoadLibraryW(L"smtpmail.dll");
        ASSERT_NE(m_provider, nullptr) << ::GetLastError();
        Resolve(m_initialize, "Mail_Initialize");
        Resolve(m_uninitialize, "Mail_Uninitialize");
        Resolve(m_send, "Mail_Send");
        Resolve(m_lastError, "Mail_GetLastError");
    }

    // A send to a closed port, then one that a server accepts.
    void ExpectRefusedThenDelivered() {
        const int closed = [] {
            int port = 0;
            CloseSocket(BindLoopback(port, false));
            return port;
        }();
        EXPECT_EQ(SendTo(closed), MAILERR_ACCESS_DENIED);
        const MAILERROR* error = m_lastError(m_h);
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

    // The host's FreeLibrary of both. The provider is then gone; the runtime
    // may stay, since its own start-up code takes a reference to itself.
    void UnloadProvider() {
        if (m_h != nullptr)
            m_uninitialize(std::exchange(m_h, nullptr));
        EXPECT_TRUE(::FreeLibrary(std::exchange(m_provider, nullptr)));
        EXPECT_EQ(::GetModuleHandleW(L"smtpmail.dll"), nullptr) << "still loaded";
    }
    void UnloadRuntime() { EXPECT_TRUE(::FreeLibrary(std::exchange(m_runtime, nullptr))); }

    HMODULE m_provider = nullptr;
    HMODULE m_runtime = nullptr;

private:
    template <typename Function>
    void Resolve(Function& f, const char* name) {
        f = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(m_provider, name)));
        ASSERT_NE(f, nullptr) << name;
    }

    MAILRESULT SendTo(int port) {
        WriteBytes(m_dir.File("vx.ini"),
                   "[SMTP]\nsmtpHost=127.0.0.1\nsmtpPort=" + std::to_string(port) +
                       "\nsmtpAuth=0\nsmtpSenderAddr=host@example.org\n");
        if (m_h != nullptr)
            m_uninitialize(m_h);
        m_wdir = FromUtf8(m_dir.Path() + "\\");
        MAILINIFLAGS flags{};
        flags.cbSize = sizeof flags;
        flags.logProvider = &m_log;
        flags.hResource = m_hResource;
        flags.pszPrimaryDir = flags.pszSecondaryDir = Host(m_wdir);
        m_h = m_initialize(&flags);
        if (m_h == nullptr)
            return MAILERR_INTERNAL;
        HostMessage message;
        message.Subject(u"s").Body(u"b").To(nullptr, u"to@example.org");
        return m_send(m_h, message.Record(), nullptr);
    }
    static const MAILWCHAR* Host(const std::u16string& s) {
        return reinterpret_cast<const MAILWCHAR*>(s.c_str());
    }

    decltype(&Mail_Initialize) m_initialize = nullptr;
    decltype(&Mail_Uninitialize) m_uninitialize = nullptr;
    decltype(&Mail_Send) m_send = nullptr;
    decltype(&Mail_GetLastError) m_lastError = nullptr;
    void* m_hResource = nullptr;
    ScratchDir m_dir;
    std::u16string m_wdir;
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
