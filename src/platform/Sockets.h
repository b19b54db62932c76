// Winsock, as the library uses it: TCP and UDP sockets over IPv4 and IPv6,
// and name resolution for both. Nothing blocks the caller for longer than the
// time limit each call takes: resolving a name, connecting, sending all
// bytes, one receive and waiting for input each give up with WSAETIMEDOUT
// when the limit runs out. Every failure sets the thread's last error (and
// WSAGetLastError) to the Winsock number (10061 refused, 10060 timed out,
// 11001 host not found, ...), so native codes match the home platform.
//
// On Windows the types, the error numbers and the calls without a time limit
// are Winsock's own; the layer starts Winsock (WSAStartup, once for the
// process) before its first Winsock call of any kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

#if defined(_WIN32)

#include <winsock2.h>

namespace platform {
using ::SOCKET;
}  // namespace platform

#else

namespace platform {
using SOCKET = std::uintptr_t;
}  // namespace platform

constexpr platform::SOCKET INVALID_SOCKET = ~static_cast<platform::SOCKET>(0);
constexpr int SOCKET_ERROR = -1;

constexpr DWORD WSAEINTR = 10004;
constexpr DWORD WSAEBADF = 10009;
constexpr DWORD WSAEACCES = 10013;
constexpr DWORD WSAEFAULT = 10014;
constexpr DWORD WSAEINVAL = 10022;
constexpr DWORD WSAEMFILE = 10024;
constexpr DWORD WSAEWOULDBLOCK = 10035;
constexpr DWORD WSAEINPROGRESS = 10036;
constexpr DWORD WSAENOTSOCK = 10038;
constexpr DWORD WSAEMSGSIZE = 10040;
constexpr DWORD WSAEAFNOSUPPORT = 10047;
constexpr DWORD WSAEADDRINUSE = 10048;
constexpr DWORD WSAEADDRNOTAVAIL = 10049;
constexpr DWORD WSAENETDOWN = 10050;
constexpr DWORD WSAENETUNREACH = 10051;
constexpr DWORD WSAECONNABORTED = 10053;
constexpr DWORD WSAECONNRESET = 10054;
constexpr DWORD WSAENOBUFS = 10055;
constexpr DWORD WSAEISCONN = 10056;
constexpr DWORD WSAENOTCONN = 10057;
constexpr DWORD WSAESHUTDOWN = 10058;
constexpr DWORD WSAETIMEDOUT = 10060;
constexpr DWORD WSAECONNREFUSED = 10061;
constexpr DWORD WSAEHOSTUNREACH = 10065;
constexpr DWORD WSANOTINITIALISED = 10093;
constexpr DWORD WSAHOST_NOT_FOUND = 11001;
constexpr DWORD WSATRY_AGAIN = 11002;
constexpr DWORD WSANO_RECOVERY = 11003;
constexpr DWORD WSANO_DATA = 11004;

#endif

namespace platform {

constexpr int AF_INET_ = 2;
constexpr int AF_INET6_ = 23;  // Winsock's number
constexpr int SOCK_STREAM_ = 1;
constexpr int SOCK_DGRAM_ = 2;
// An IPv4 or IPv6 address with its port, as the resolver hands them out.
struct SocketAddress {
    int nFamily = 0;              // AF_INET_ or AF_INET6_
    std::uint16_t nPort = 0;      // host byte order
    std::uint8_t bytes[16] = {};  // network byte order; IPv4 uses the first four
    std::uint32_t nScopeId = 0;   // the zone of a link-local IPv6 address
};

// Starts Winsock for the process once; later calls return 0 at once.
int WSAStartup(WORD version);

// Sets WSAGetLastError and the thread's last error.
void SetSocketError(DWORD dwError);

#if defined(_WIN32)
using ::closesocket;
using ::htons;
using ::WSAGetLastError;
#else
DWORD WSAGetLastError();
#endif
// A TCP socket is made non-blocking here; the calls below do the waiting. On
// Windows the first socket starts Winsock.
SOCKET socket(int af, int type, int protocol);
// Sends all len bytes within timeoutMs; returns len or SOCKET_ERROR.
int send(SOCKET s, const void* data, int len, DWORD timeoutMs);
// One receive of at most len bytes, waiting at most timeoutMs for the first;
// 0 when the peer closed; SOCKET_ERROR on failure.
int recv(SOCKET s, void* buffer, int len, DWORD timeoutMs);
int sendto(SOCKET s, const void* data, int len, const SocketAddress* to);
// Waits for input on s; returns 1 readable (or closed), 0 timed out, SOCKET_ERROR.
// Any descriptor number works.
int waitReadable(SOCKET s, DWORD timeoutMs);
// Sends small writes at once instead of waiting for the peer's acknowledgement.
int setNoDelay(SOCKET s);

#if !defined(_WIN32)
int closesocket(SOCKET s);
#endif
// The host as an address literal, with the port: a dotted IPv4 address, or
// an IPv6 address with or without brackets ("::1", "[2001:db8::1]"). False
// when the text is a name (or 255.255.255.255, which names no host).
bool ParseAddressLiteral(const char16_t* host, std::uint16_t port, SocketAddress* address);
// Every TCP address of a name, IPv6 and IPv4 alike, in the resolver's order,
// within timeoutMs. Returns 0, or the Winsock error (also the last error).
int ResolveHost(const char16_t* host, std::uint16_t port, DWORD timeoutMs,
                std::vector<SocketAddress>& addresses);
// "192.0.2.1", "2001:db8::1" or "fe80::1%4": IPv6 text always holds a colon,
// IPv4 text never.
std::string AddressToText(const SocketAddress& address);
// A new TCP socket connected to the first of the addresses that accepts, all
// within timeoutMs. The addresses are tried in their order; when an attempt
// has not succeeded or failed after 250 ms, the next one starts beside it
// (RFC 8305), and a failure starts the next at once. *pnUsed is the index of
// the address connected. INVALID_SOCKET when none accepted, with the last
// error of the attempt that failed last, or WSAETIMEDOUT when time ran out.
SOCKET ConnectFirst(const SocketAddress* addresses, std::size_t count, DWORD timeoutMs,
                    std::size_t* pnUsed);
// The local address of a connected socket (the address literal of EHLO).
int getsockname(SOCKET s, SocketAddress* address);
// The local address of a connected socket as text (as AddressToText); empty
// when the socket has none.
std::string LocalAddressText(SOCKET s);

// The computer's name; Winsock is started first on Windows.
int gethostname(char* name, int nameLen);

#if !defined(_WIN32)
std::uint16_t(htons)(std::uint16_t value);  // in parentheses: it may be a macro
#endif

// What ConnectFirst asks of each backend.
namespace connect_attempt {
// Starts connecting the non-blocking socket: 0 when it is connected already,
// WSAEWOULDBLOCK while under way, or the Winsock error of the failure.
DWORD Start(SOCKET s, const SocketAddress& address);
// Waits at most timeoutMs until a connect of one of the sockets has ended
// (in success or failure): its index, -1 when the time ran out first, -2
// when the wait itself failed (with the Winsock error set).
int WaitForOne(const SOCKET* sockets, std::size_t count, DWORD timeoutMs);
// 0, or the Winsock error of a connect that has ended.
DWORD Result(SOCKET s);
}  // namespace connect_attempt

}  // namespace platform
