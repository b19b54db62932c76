// Addresses of both families: literals, names, connecting to the first
// address that accepts (RFC 8305) and the connection's own address.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "LoopbackSocket.h"
#include "platform/Sockets.h"

using namespace platform;

namespace {

TEST(SocketsTest, AddressLiteralsOfBothFamilies) {
    const struct {
        const char16_t* host;
        int nFamily;  // 0: a name, not a literal
        const char* text;
    } rows[] = {
        {u"127.0.0.1", AF_INET_, "127.0.0.1"},
        {u"::1", AF_INET6_, "::1"},
        {u"[::1]", AF_INET6_, "::1"},
        {u"[2001:DB8::1]", AF_INET6_, "2001:db8::1"},
        {u"localhost", 0, ""},
        {u"255.255.255.255", 0, ""},
        {u"[::1", 0, ""},
        {u"2001:db8::g", 0, ""},
        {u"mail.example.org", 0, ""},
    };
    for (const auto& row : rows) {
        SocketAddress address;
        const bool bLiteral = ParseAddressLiteral(row.host, 587, &address);
        EXPECT_EQ(bLiteral, row.nFamily != 0) << ToUtf8(row.host);
        if (!bLiteral)
            continue;
        EXPECT_EQ(address.nFamily, row.nFamily);
        EXPECT_EQ(address.nPort, 587);
        EXPECT_EQ(AddressToText(address), row.text);
    }
}

TEST(SocketsTest, NamesResolveToAddressesOfEitherFamily) {
    std::vector<SocketAddress> addresses;
    ASSERT_EQ(ResolveHost(u"localhost", 25, 10000, addresses), 0);
    ASSERT_FALSE(addresses.empty());
    for (const SocketAddress& a : addresses) {
        const std::string text = AddressToText(a);
        EXPECT_TRUE(text == "127.0.0.1" || text == "::1") << text;
        EXPECT_EQ(a.nPort, 25);
    }
    // Blanks make no host name: refused without asking a name server.
    const int rc = ResolveHost(u"no such host", 25, 10000, addresses);
    EXPECT_NE(rc, 0);
    EXPECT_EQ(static_cast<DWORD>(rc), static_cast<DWORD>(WSAGetLastError()));
    EXPECT_TRUE(addresses.empty());
}

// A peer of each kind on loopback, and its address.
enum Peer { Accepts4, Accepts6, Refuses4, Refuses6, Stalls4 };

struct Peers {
    std::vector<TestSocket> held;
    std::vector<SocketAddress> addresses;

    void Add(Peer peer) {
        const bool bIPv6 = peer == Accepts6 || peer == Refuses6;
        const bool bListen = peer == Accepts4 || peer == Accepts6;
        int port = 0;
        const TestSocket s = BindLoopback(port, bListen, false, bIPv6);
        ASSERT_NE(s, kNoSocket);
        held.push_back(s);
        SocketAddress a;
        ASSERT_TRUE(ParseAddressLiteral(bIPv6 ? u"::1" : u"127.0.0.1",
                                        static_cast<std::uint16_t>(port), &a));
        if (peer == Stalls4) {
            // The one connection it has room for is taken before the test.
            std::size_t used = 0;
            ASSERT_TRUE(ListenWithoutRoom(s));
            const SOCKET first = ConnectFirst(&a, 1, 5000, &used);
            ASSERT_NE(first, INVALID_SOCKET);
            held.push_back(static_cast<TestSocket>(first));
        }
        addresses.push_back(a);
    }
    ~Peers() {
        for (TestSocket s : held)
            CloseSocket(s);
    }
};

TEST(SocketsTest, ConnectTakesTheFirstAddressThatAccepts) {
    using std::chrono::milliseconds;
    const struct {
        const char* what;
        std::vector<Peer> peers;
        int nUsed;  // -1: no connection, with dwError
        DWORD dwError;
        milliseconds least;  // the shortest time it may take
    } rows[] = {
        {"IPv4 alone", {Accepts4}, 0, 0, milliseconds(0)},
        {"IPv6 alone", {Accepts6}, 0, 0, milliseconds(0)},
        {"the first refuses, the second accepts", {Refuses6, Accepts4}, 1, 0, milliseconds(0)},
        {"an unanswered attempt has the next beside it after 250 ms",
         {Stalls4, Accepts6},
         1,
         0,
         milliseconds(240)},
        {"every one refuses: the last attempt's error",
         {Refuses4, Refuses6},
         -1,
         WSAECONNREFUSED,
         milliseconds(0)},
        {"unanswered until the time runs out", {Stalls4}, -1, WSAETIMEDOUT, milliseconds(390)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Peers peers;
        for (Peer p : row.peers)
            peers.Add(p);
        std::size_t nUsed = 99;
        const auto start = std::chrono::steady_clock::now();
        const SOCKET s = ConnectFirst(peers.addresses.data(), peers.addresses.size(), 400, &nUsed);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, row.least);
        EXPECT_LT(took, milliseconds(3000));
        if (row.nUsed < 0) {
            EXPECT_EQ(s, INVALID_SOCKET);
            EXPECT_EQ(static_cast<DWORD>(WSAGetLastError()), row.dwError);
            continue;
        }
        ASSERT_NE(s, INVALID_SOCKET);
        EXPECT_EQ(nUsed, static_cast<std::size_t>(row.nUsed));
        // The connection's own address is of the family it took.
        const SocketAddress& used = peers.addresses[nUsed];
        EXPECT_EQ(LocalAddressText(s), used.nFamily == AF_INET6_ ? "::1" : "127.0.0.1");
        closesocket(s);
    }
}

}  // namespace
