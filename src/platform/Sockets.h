// Winsock, as the library uses it: IPv4 TCP and UDP sockets and name
// resolution restricted to IPv4. A TCP socket never blocks the caller for
// longer than the time limit each call takes: connecting, sending all bytes,
// one receive and waiting for input each give up with WSAETIMEDOUT when the
// limit runs out. Every failure sets the thread's last error (and
// WSAGetLastError) to the Winsock number (10061 refused, 10060 timed out,
// 11001 host not found, ...), so native codes match the home platform.
//
// On Windows the types, the error numbers and the calls without a time limit
// are Winsock's own; WSAStartup runs once for the process.
#pragma once

#include <cstdint>
#include <string>

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
constexpr int SOCK_STREAM_ = 1;
constexpr int SOCK_DGRAM_ = 2;
constexpr std::uint32_t INADDR_ANY_ = 0;
constexpr std::uint32_t INADDR_NONE_ = 0xFFFFFFFFu;

// An IPv4 socket address in the layout of sockaddr_in (16 bytes).
struct SOCKADDR_IN4 {
    std::uint16_t sin_family;
    std::uint16_t sin_port;  // network byte order
    std::uint32_t sin_addr;  // network byte order
    std::uint8_t sin_zero[8];
};
static_assert(sizeof(SOCKADDR_IN4) == 16);

// Starts Winsock for the process once; later calls return 0 at once.
int WSAStartup(WORD version);

#if defined(_WIN32)
using ::closesocket;
using ::gethostname;
using ::htons;
using ::inet_addr;
using ::WSAGetLastError;
#else
DWORD WSAGetLastError();
#endif
// A TCP socket is made non-blocking here; the calls below do the waiting. On
// Windows the first socket starts Winsock.
SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const SOCKADDR_IN4* addr, int addrLen);
// Connects within timeoutMs; returns 0 or SOCKET_ERROR.
int connect(SOCKET s, const SOCKADDR_IN4* addr, int addrLen, DWORD timeoutMs);
// Sends all len bytes within timeoutMs; returns len or SOCKET_ERROR.
int send(SOCKET s, const void* data, int len, DWORD timeoutMs);
// One receive of at most len bytes, waiting at most timeoutMs for the first;
// 0 when the peer closed; SOCKET_ERROR on failure.
int recv(SOCKET s, void* buffer, int len, DWORD timeoutMs);
int sendto(SOCKET s, const void* data, int len, const SOCKADDR_IN4* to);
// Waits for input on s; returns 1 readable (or closed), 0 timed out, SOCKET_ERROR.
// Any descriptor number works.
int waitReadable(SOCKET s, DWORD timeoutMs);
// Sends small writes at once instead of waiting for the peer's acknowledgement.
int setNoDelay(SOCKET s);

#if !defined(_WIN32)
int closesocket(SOCKET s);
// Dotted IPv4 literal to an address in network byte order, INADDR_NONE_ when
// the text is not one (255.255.255.255 also gives INADDR_NONE_).
std::uint32_t inet_addr(const char* text);
#endif
// getaddrinfo restricted to IPv4: the first address in network byte order.
// Returns 0, or the Winsock error (also set as the last error).
int ResolveIPv4(const char* host, std::uint32_t* address);
std::string AddressToText(std::uint32_t address);
// The local address of a connected socket as numeric text ("192.0.2.7",
// "2001:db8::7"); "" when the socket has none.
std::string LocalAddressText(SOCKET s);

#if !defined(_WIN32)
std::uint16_t htons(std::uint16_t value);
int gethostname(char* name, int nameLen);
#endif

}  // namespace platform
