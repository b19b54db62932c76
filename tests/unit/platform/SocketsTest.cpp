#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "LoopbackSocket.h"
#include "platform/Sockets.h"

using namespace platform;

namespace {

TEST(SocketsTest, LiteralsAndNamesOfBothFamilies) {
    // "" for a name.
    const std::pair<const char16_t*, std::string> literals[] = {{u"127.0.0.1", "127.0.0.1"},
                                                                {u"::1", "::1"},
                                                                {u"[::1]", "::1"},
                                                                {u"[2001:DB8::1]", "2001:db8::1"},
                                                                {u"localhost", ""},
                                                                {u"255.255.255.255", ""},
                                                                {u"[::1", ""},
                                                                {u"2001:db8::g", ""}};
    for (const auto& [host, text] : literals) {
        SocketAddress a;
        EXPECT_EQ(ParseAddressLiteral(host, 587, &a) ? AddressToText(a) : "", text);
        EXPECT_TRUE(text.empty() || a.nPort == 587);
    }
    std::vector<SocketAddress> addresses;
    ASSERT_EQ(ResolveHost(u"localhost", 25, 10000, addresses), 0);
    for (const SocketAddress& a : addresses) {
        EXPECT_TRUE(AddressToText(a) == "127.0.0.1" || AddressToText(a) == "::1");
        EXPECT_EQ(a.nPort, 25);
    }
    // Blanks make no host name: refused without asking a name server.
    const int rc = ResolveHost(u"no such host", 25, 10000, addresses);
    EXPECT_NE(rc, 0);
    EXPECT_EQ(static_cast<DWORD>(rc), static_cast<DWORD>(WSAGetLastError()));
    EXPECT_TRUE(addresses.empty());
}

enum Peer { Accepts4, Accepts6, Refuses4, Refuses6, Stalls4 };

struct Peers {
    std::vector<TestSocket> held;
    std::vector<SocketAddress> addresses;

    void Add(Peer peer) {
        const bool bIPv6 = peer == Accepts6 || peer == Refuses6;
        int port = 0;
        held.push_back(BindLoopback(port, peer == Accepts4 || peer == Accepts6, false, bIPv6));
        SocketAddress a;
        ParseAddressLiteral(bIPv6 ? u"::1" : u"127.0.0.1", static_cast<std::uint16_t>(port), &a);
        std::size_t used = 0;
        // Its one waiting connection taken, it answers no other.
        if (peer == Stalls4 && ListenWithoutRoom(held.back()))
            held.push_back(static_cast<TestSocket>(ConnectFirst(&a, 1, 5000, &used)));
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
        int nUsed;      // -1: no connection, with dwError
        DWORD dwError;  // after the last attempt
        milliseconds least;
    } rows[] = {
        {"IPv4", {Accepts4}, 0, 0, milliseconds(0)},
        {"IPv6", {Accepts6}, 0, 0, milliseconds(0)},
        {"the first refuses", {Refuses6, Accepts4}, 1, 0, milliseconds(0)},
        {"the next beside one unanswered", {Stalls4, Accepts6}, 1, 0, milliseconds(240)},
        {"all refuse", {Refuses4, Refuses6}, -1, WSAECONNREFUSED, milliseconds(0)},
        {"unanswered to the end", {Stalls4}, -1, WSAETIMEDOUT, milliseconds(390)},
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
        EXPECT_EQ(LocalAddressText(s), row.peers[nUsed] == Accepts6 ? "::1" : "127.0.0.1");
        closesocket(s);
    }
}

}  // namespace
