#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "diag/NetworkLog.h"
#include "platform/Registry.h"

namespace {

constexpr const char16_t* kKey = u"Software\\Veltrana\\Orbisuite\\log\\default";

// A UDP listener on a loopback port of its own.
class UdpListener {
public:
    UdpListener() {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
    }
    ~UdpListener() { ::close(m_fd); }
    UdpListener(const UdpListener&) = delete;
    UdpListener& operator=(const UdpListener&) = delete;

    int Port() const { return m_port; }

    // The next datagram, or an empty string when none comes within the wait.
    std::string Next(int waitMs = 2000) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, waitMs) <= 0)
            return std::string();
        char buffer[4096];
        ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }

private:
    int m_fd = -1;
    int m_port = 0;
};

class NetworkLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = ::testing::TempDir() + "/netlog-registry-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(m_root);
        platform::SetRegistryRoot(m_root);
    }
    void TearDown() override {
        NetworkLogReset();
        std::filesystem::remove_all(m_root);
    }

    void WriteSettings(platform::HKEY root, DWORD level, int port,
                       const char16_t* host = u"127.0.0.1") {
        platform::HKEY h = nullptr;
        ASSERT_EQ(platform::RegCreateKeyExW(root, kKey, KEY_ALL_ACCESS, &h), ERROR_SUCCESS);
        platform::RegSetValueExW(h, u"loglevel", REG_DWORD, reinterpret_cast<const BYTE*>(&level),
                                 4);
        DWORD dwPort = static_cast<DWORD>(port);
        platform::RegSetValueExW(h, u"port", REG_DWORD, reinterpret_cast<const BYTE*>(&dwPort), 4);
        std::u16string value(host);
        platform::RegSetValueExW(h, u"host", REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
        platform::RegCloseKey(h);
    }

    std::string m_root;
};

}  // namespace

TEST_F(NetworkLogTest, SendsWhatPassesTheThresholdWithTheLevelPrefixAndCopiesItToTheDebugger) {
    UdpListener listener;
    WriteSettings(HKEY_LOCAL_MACHINE, 4, listener.Port());
    ASSERT_TRUE(NetworkLogSetup());
    EXPECT_EQ(NetworkLogThreshold(), 4);
    setenv("SMTPMAIL_DEBUG_OUTPUT", "1", 1);
    ::testing::internal::CaptureStderr();
    NetworkLogWrite(5, u"too detailed");
    NetworkLogWrite(3, u"Code=%d, Description '%s'", 509, u"refused");
    NetworkLogWrite(4, u"last");
    std::string debugger = ::testing::internal::GetCapturedStderr();
    unsetenv("SMTPMAIL_DEBUG_OUTPUT");
    NetworkLogWrite(4, u"");
    EXPECT_EQ(debugger, "Code=509, Description 'refused'\nlast\n");
    EXPECT_EQ(listener.Next(), "<3>Code=509, Description 'refused'")
        << "level 5 must not have been sent";
    EXPECT_EQ(listener.Next(), "<4>last");
    EXPECT_EQ(listener.Next(300), "") << "an empty message sends nothing";
}

TEST_F(NetworkLogTest, CutsLongMessagesIntoPiecesOfNineHundredCharacters) {
    UdpListener listener;
    WriteSettings(HKEY_LOCAL_MACHINE, 4, listener.Port());
    ASSERT_TRUE(NetworkLogSetup());
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

TEST_F(NetworkLogTest, TheFirstWriteSetsTheLogUpWithTheUsersSettingsWhenTheMachineHasNone) {
    UdpListener listener;
    WriteSettings(HKEY_CURRENT_USER, 6, listener.Port());
    NetworkLogReset();
    ASSERT_EQ(NetworkLogThreshold(), -1);
    NetworkLogWrite(6, u"first %d", 1);
    EXPECT_EQ(NetworkLogThreshold(), 6);
    EXPECT_EQ(listener.Next(), "<6>first 1");
}

TEST_F(NetworkLogTest, ALogHostThatCannotBeResolvedLeavesTheLogOff) {
    UdpListener listener;
    // An IPv6 literal: the IPv4-only resolution refuses it without asking a name server.
    WriteSettings(HKEY_LOCAL_MACHINE, 4, listener.Port(), u"::1");
    NetworkLogReset();
    NetworkLogWrite(3, u"lost");
    EXPECT_EQ(NetworkLogThreshold(), -99);
    // Good settings later change nothing: the log stays off.
    WriteSettings(HKEY_LOCAL_MACHINE, 4, listener.Port());
    NetworkLogWrite(3, u"lost too");
    EXPECT_EQ(NetworkLogThreshold(), -99);
    EXPECT_EQ(listener.Next(300), "");
}

TEST_F(NetworkLogTest, WithoutSettingsTheDefaultLevelIsWrittenForTheMachine) {
    ASSERT_TRUE(NetworkLogSetup());
    EXPECT_EQ(NetworkLogThreshold(), 4);
    platform::HKEY h = nullptr;
    ASSERT_EQ(platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &h),
              ERROR_SUCCESS);
    DWORD level = 0;
    DWORD cb = sizeof level;
    DWORD type = 0;
    ASSERT_EQ(
        platform::RegQueryValueExW(h, u"loglevel", &type, reinterpret_cast<BYTE*>(&level), &cb),
        ERROR_SUCCESS);
    platform::RegCloseKey(h);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(level, 4u);
}
