// The socket layer's Winsock, through substitutes for this program's imports.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come before windows.h.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ImportPatch.h"
#include "platform/Sockets.h"

namespace {

struct Winsock {
    static inline std::vector<std::string> calls;
    static inline decltype(&::WSAStartup) startup = nullptr;
    static inline decltype(&::gethostname) hostname = nullptr;
    static inline decltype(&::GetAddrInfoW) lookup = nullptr;

    static int WSAAPI Startup(WORD v, LPWSADATA d) {
        return calls.push_back("WSAStartup"), startup(v, d);
    }
    static int WSAAPI Hostname(char* n, int l) {
        return calls.push_back("gethostname"), hostname(n, l);
    }
    static INT WSAAPI SlowLookup(PCWSTR n, PCWSTR s, const ADDRINFOW* h, PADDRINFOW* r) {
        return ::Sleep(3000), lookup(n, s, h, r);
    }
};

// Winsock answers WSANOTINITIALISED to a gethostname before WSAStartup. The
// layer starts it once per process: the check needs one of its own (CTest's).
TEST(WinsockTest, StartedBeforeTheFirstCall) {
    if (::testing::UnitTest::GetInstance()->test_to_run_count() != 1)
        GTEST_SKIP() << "other tests of this process may have started Winsock";
    ImportPatch startup(::GetModuleHandleW(nullptr), "WS2_32.dll", "WSAStartup",
                        reinterpret_cast<const void*>(&Winsock::Startup));
    ImportPatch hostname(::GetModuleHandleW(nullptr), "WS2_32.dll", "gethostname",
                         reinterpret_cast<const void*>(&Winsock::Hostname));
    ASSERT_EQ(startup.Error() + hostname.Error(), "");
    Winsock::startup = startup.Original<decltype(&::WSAStartup)>();
    Winsock::hostname = hostname.Original<decltype(&::gethostname)>();
    char name[256] = {};
    EXPECT_EQ(platform::gethostname(name, sizeof name), 0);
    EXPECT_NE(name[0], '\0');
    EXPECT_EQ(Winsock::calls, (std::vector<std::string>{"WSAStartup", "gethostname"}));
}

TEST(WinsockTest, NameLookupEndsAtItsTimeLimit) {
    ImportPatch lookup(::GetModuleHandleW(nullptr), "WS2_32.dll", "GetAddrInfoW",
                       reinterpret_cast<const void*>(&Winsock::SlowLookup));
    ASSERT_EQ(lookup.Error(), "");
    Winsock::lookup = lookup.Original<decltype(&::GetAddrInfoW)>();
    std::vector<platform::SocketAddress> addresses;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::ResolveHost(u"localhost", 25, 300, addresses), WSAETIMEDOUT);
    EXPECT_EQ(::WSAGetLastError(), WSAETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_TRUE(addresses.empty());
}

}  // namespace
