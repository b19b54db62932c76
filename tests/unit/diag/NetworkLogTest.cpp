#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "Environment.h"
#include "LoopbackSocket.h"
#include "ScratchDir.h"
#include "ScratchRegistry.h"
#include "diag/NetworkLog.h"
#include "platform/Registry.h"

namespace {

constexpr const char16_t* kKey = u"Software\\Veltrana\\Orbisuite\\log\\default";

// The receiving end of the network log, a UDP socket on a loopback port. The
// log reads its settings once per process, at its first line.
class NetworkLogListener {
public:
    explicit NetworkLogListener(bool bIPv6 = false)
        : m_fd(BindLoopback(m_port, false, true, bIPv6)) {}
    ~NetworkLogListener() { CloseSocket(m_fd); }

    void PointTheLogHere(platform::HKEY root, DWORD level,
                         const std::u16string& host = u"127.0.0.1") const {
        platform::HKEY h = nullptr;
        ASSERT_EQ(platform::RegCreateKeyExW(root, kKey, KEY_ALL_ACCESS, &h), ERROR_SUCCESS);
        const DWORD port = static_cast<DWORD>(m_port);
        platform::RegSetValueExW(h, u"loglevel", REG_DWORD, reinterpret_cast<const BYTE*>(&level),
                                 4);
        platform::RegSetValueExW(h, u"port", REG_DWORD, reinterpret_cast<const BYTE*>(&port), 4);
        platform::RegSetValueExW(h, u"host", REG_SZ, reinterpret_cast<const BYTE*>(host.c_str()),
                                 static_cast<DWORD>((host.size() + 1) * sizeof(char16_t)));
        platform::RegCloseKey(h);
    }

    std::string Next(int waitMs = 2000) const {
        char buffer[4096];
        const long n = WaitReadable(m_fd, waitMs) ? ReceiveBytes(m_fd, buffer, sizeof buffer) : 0;
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }

private:
    int m_port = 0;
    TestSocket m_fd;
};

class NetworkLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = std::make_unique<ScratchDir>();
        m_registry = std::make_unique<ScratchRegistry>(*m_dir);
    }
    void TearDown() override {
        NetworkLogClose();
        m_registry.reset();
        m_dir.reset();
    }

    std::unique_ptr<ScratchDir> m_dir;
    std::unique_ptr<ScratchRegistry> m_registry;
};

}  // namespace

TEST_F(NetworkLogTest, SendsWhatPassesTheThresholdInPiecesAndCopiesItToTheDebugger) {
    NetworkLogListener listener(true);  // the log host may be an IPv6 address
    listener.PointTheLogHere(HKEY_LOCAL_MACHINE, 4, u"::1");
    ASSERT_TRUE(NetworkLogSetup());
    EXPECT_EQ(NetworkLogThreshold(), 4);
    // The POSIX debugger stand-in writes to standard error.
    std::string debugger;
    {
        ScopedEnv copy({{"SMTPMAIL_DEBUG_OUTPUT", "1"}});
        ::testing::internal::CaptureStderr();
        NetworkLogWrite(5, u"too detailed");
        NetworkLogWrite(3, u"Code=%d, Description '%s'", 509, u"refused");
        NetworkLogWrite(4, u"last");
        debugger = ::testing::internal::GetCapturedStderr();
    }
    NetworkLogWrite(4, u"");
#if defined(_WIN32)
    static_cast<void>(debugger);
#else
    EXPECT_EQ(debugger, "Code=509, Description 'refused'\nlast\n");
#endif
    EXPECT_EQ(listener.Next(), "<3>Code=509, Description 'refused'")
        << "level 5 must not have been sent";
    EXPECT_EQ(listener.Next(), "<4>last");
    EXPECT_EQ(listener.Next(300), "") << "an empty message sends nothing";

    std::string message;
    for (int i = 0; i < 2000; ++i)
        message.push_back(static_cast<char>('a' + i % 26));
    NetworkLogWrite(3, u"%hs", message.c_str());
    std::string all;
    for (size_t expected : {900u, 900u, 3u + 2000u - 2u * 897u}) {
        std::string datagram = listener.Next();
        ASSERT_EQ(datagram.size(), expected)
            << "each piece is filled up to 900 characters, prefix included";
        ASSERT_EQ(datagram.substr(0, 3), "<3>");
        all += datagram.substr(3);
    }
    EXPECT_EQ(listener.Next(300), "") << "exactly three datagrams";
    EXPECT_EQ(all, message);
}

TEST_F(NetworkLogTest, ALogHostThatCannotBeResolvedLeavesTheLogOff) {
    NetworkLogListener listener;
    // Blanks make no host name: refused without asking a name server.
    listener.PointTheLogHere(HKEY_LOCAL_MACHINE, 4, u"no such host");
    NetworkLogClose();
    NetworkLogWrite(3, u"lost");
    EXPECT_EQ(NetworkLogThreshold(), -99);
    // Good settings later change nothing.
    listener.PointTheLogHere(HKEY_LOCAL_MACHINE, 4);
    NetworkLogWrite(3, u"lost too");
    EXPECT_EQ(NetworkLogThreshold(), -99);
    EXPECT_EQ(listener.Next(300), "");
}

// The first write takes the machine's settings, else the user's, else writes
// the default level for the machine.
TEST_F(NetworkLogTest, TheFirstWriteSetsTheLogUp) {
    {
        NetworkLogListener listener;
        listener.PointTheLogHere(HKEY_CURRENT_USER, 6);
        NetworkLogClose();
        ASSERT_EQ(NetworkLogThreshold(), -1);
        NetworkLogWrite(6, u"first %d", 1);
        EXPECT_EQ(NetworkLogThreshold(), 6);
        EXPECT_EQ(listener.Next(), "<6>first 1");
    }
    TearDown();
    SetUp();
    ASSERT_TRUE(NetworkLogSetup());
    EXPECT_EQ(NetworkLogThreshold(), 4);
    platform::HKEY h = nullptr;
    ASSERT_EQ(platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &h),
              ERROR_SUCCESS);
    DWORD level = 0, cb = sizeof level, type = 0;
    ASSERT_EQ(
        platform::RegQueryValueExW(h, u"loglevel", &type, reinterpret_cast<BYTE*>(&level), &cb),
        ERROR_SUCCESS);
    platform::RegCloseKey(h);
    EXPECT_EQ(std::pair(type, level), (std::pair<DWORD, DWORD>(REG_DWORD, 4)));
}
