// What Windows alone shows of the socket layer, through substitutes for
// Winsock imports of this program (the platform layer is linked into it):
// Winsock is started before the layer's first call of it, and a name lookup
// ends at its time limit however long the system's resolver takes.
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
    static inline decltype(&::WSAStartup) realStartup = nullptr;
    static inline decltype(&::gethostname) realGethostname = nullptr;
    static inline decltype(&::GetAddrInfoW) realGetAddrInfoW = nullptr;

    static int WSAAPI Startup(WORD version, LPWSADATA data) {
        calls.push_back("WSAStartup");
        return realStartup(version, data);
    }
    static int WSAAPI Gethostname(char* name, int length) {
        calls.push_back("gethostname");
        return realGethostname(name, length);
    }
    // A resolver that takes its time.
    static INT WSAAPI SlowGetAddrInfoW(PCWSTR name, PCWSTR service, const ADDRINFOW* hints,
                                       PADDRINFOW* result) {
        ::Sleep(3000);
        return realGetAddrInfoW(name, service, hints, result);
    }
};

// Winsock answers WSANOTINITIALISED to a gethostname before WSAStartup. The
// layer starts it once per process, so the check needs a process of its own,
// as CTest runs each test.
TEST(WinsockTest, StartedBeforeTheFirstCall) {
    if (::testing::UnitTest::GetInstance()->test_to_run_count() != 1)
        GTEST_SKIP() << "other tests of this process may have started Winsock";
    ImportPatch startup(::GetModuleHandleW(nullptr), "WS2_32.dll", "WSAStartup",
                        reinterpret_cast<const void*>(&Winsock::Startup));
    ImportPatch gethostname(::GetModuleHandleW(nullptr), "WS2_32.dll", "gethostname",
                            reinterpret_cast<const void*>(&Winsock::Gethostname));
    ASSERT_EQ(startup.Error(), "");
    ASSERT_EQ(gethostname.Error(), "");
    Winsock::realStartup = startup.Original<decltype(&::WSAStartup)>();
    Winsock::realGethostname = gethostname.Original<decltype(&::gethostname)>();
    char name[256] = {};
    EXPECT_EQ(platform::gethostname(name, sizeof name), 0);
    EXPECT_NE(name[0], '\0');
    EXPECT_EQ(Winsock::calls, (std::vector<std::string>{"WSAStartup", "gethostname"}));
}

TEST(WinsockTest, NameLookupEndsAtItsTimeLimit) {
    ImportPatch lookup(::GetModuleHandleW(nullptr), "WS2_32.dll", "GetAddrInfoW",
                       reinterpret_cast<const void*>(&Winsock::SlowGetAddrInfoW));
    ASSERT_EQ(lookup.Error(), "");
    Winsock::realGetAddrInfoW = lookup.Original<decltype(&::GetAddrInfoW)>();
    std::vector<platform::SocketAddress> addresses;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::ResolveHost(u"localhost", 25, 300, addresses), WSAETIMEDOUT);
    EXPECT_EQ(::WSAGetLastError(), WSAETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_TRUE(addresses.empty());
}

}  // namespace
