// Winsock with a time limit on every wait: TCP sockets are non-blocking, and
// each call waits with select until its deadline.
#include "platform/Sockets.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

void SetWsaError(int error) {
    ::WSASetLastError(error);
}

Clock::time_point DeadlineAfter(DWORD timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

// Waits until s is readable or writable (or has failed, which the next call
// reports) or the deadline passes: 1 ready, 0 timed out (WSAETIMEDOUT),
// SOCKET_ERROR on failure.
int WaitFor(SOCKET s, bool write, Clock::time_point deadline) {
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        left = std::clamp<long long>(left, 0, INT_MAX);
        timeval tv{static_cast<long>(left / 1000), static_cast<long>((left % 1000) * 1000)};
        fd_set ready;
        fd_set failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(s, &ready);
        FD_SET(s, &failed);
        // A failed connect shows in the exception set, not as writable.
        int rc = ::select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv);
        if (rc > 0)
            return 1;
        if (rc == SOCKET_ERROR)
            return SOCKET_ERROR;
        if (Clock::now() >= deadline) {
            SetWsaError(WSAETIMEDOUT);
            return 0;
        }
    }
}

sockaddr_in ToNative(const SOCKADDR_IN4* a) {
    sockaddr_in n{};
    n.sin_family = AF_INET;
    n.sin_port = a->sin_port;
    n.sin_addr.s_addr = a->sin_addr;
    return n;
}

int g_nStartup = -1;
std::once_flag g_startupOnce;

}  // namespace

int WSAStartup(WORD version) {
    std::call_once(g_startupOnce, [version] {
        WSADATA data{};
        g_nStartup = ::WSAStartup(version, &data);
    });
    if (g_nStartup != 0)
        SetWsaError(g_nStartup);
    return g_nStartup;
}

SOCKET socket(int af, int type, int protocol) {
    if (WSAStartup(MAKEWORD(2, 2)) != 0)
        return INVALID_SOCKET;
    SOCKET s = ::socket(af == AF_INET_ ? AF_INET : af,
                        type == SOCK_STREAM_ ? SOCK_STREAM : SOCK_DGRAM, protocol);
    if (s == INVALID_SOCKET || type != SOCK_STREAM_)
        return s;
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        int error = ::WSAGetLastError();
        ::closesocket(s);
        SetWsaError(error);
        return INVALID_SOCKET;
    }
    return s;
}

int bind(SOCKET s, const SOCKADDR_IN4* addr, int /*addrLen*/) {
    if (addr == nullptr) {
        SetWsaError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    sockaddr_in n = ToNative(addr);
    return ::bind(s, reinterpret_cast<sockaddr*>(&n), sizeof n);
}

int connect(SOCKET s, const SOCKADDR_IN4* addr, int /*addrLen*/, DWORD timeoutMs) {
    if (addr == nullptr) {
        SetWsaError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    const auto deadline = DeadlineAfter(timeoutMs);
    sockaddr_in n = ToNative(addr);
    if (::connect(s, reinterpret_cast<sockaddr*>(&n), sizeof n) == 0)
        return 0;
    if (::WSAGetLastError() != WSAEWOULDBLOCK)
        return SOCKET_ERROR;
    if (WaitFor(s, true, deadline) != 1)
        return SOCKET_ERROR;
    int err = 0;
    int len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
        return SOCKET_ERROR;
    if (err != 0) {
        SetWsaError(err);
        return SOCKET_ERROR;
    }
    return 0;
}

int send(SOCKET s, const void* data, int len, DWORD timeoutMs) {
    if (len < 0 || (data == nullptr && len > 0)) {
        SetWsaError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    const auto deadline = DeadlineAfter(timeoutMs);
    const auto* p = static_cast<const char*>(data);
    int sent = 0;
    while (sent < len) {
        int n = ::send(s, p + sent, len - sent, 0);
        if (n != SOCKET_ERROR) {
            sent += n;
            continue;
        }
        if (::WSAGetLastError() != WSAEWOULDBLOCK)
            return SOCKET_ERROR;
        if (WaitFor(s, true, deadline) != 1)
            return SOCKET_ERROR;
    }
    return sent;
}

int recv(SOCKET s, void* buffer, int len, DWORD timeoutMs) {
    if (len < 0 || (buffer == nullptr && len > 0)) {
        SetWsaError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    const auto deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        int n = ::recv(s, static_cast<char*>(buffer), len, 0);
        if (n != SOCKET_ERROR)
            return n;
        if (::WSAGetLastError() != WSAEWOULDBLOCK)
            return SOCKET_ERROR;
        if (WaitFor(s, false, deadline) != 1)
            return SOCKET_ERROR;
    }
}

int sendto(SOCKET s, const void* data, int len, const SOCKADDR_IN4* to) {
    if (to == nullptr || len < 0 || (data == nullptr && len > 0)) {
        SetWsaError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    sockaddr_in n = ToNative(to);
    return ::sendto(s, static_cast<const char*>(data), len, 0, reinterpret_cast<sockaddr*>(&n),
                    sizeof n);
}

int waitReadable(SOCKET s, DWORD timeoutMs) {
    if (s == INVALID_SOCKET) {
        SetWsaError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    return WaitFor(s, false, DeadlineAfter(timeoutMs));
}

int setNoDelay(SOCKET s) {
    BOOL on = TRUE;
    return ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

int ResolveIPv4(const char* host, std::uint32_t* address) {
    if (host == nullptr || address == nullptr) {
        SetWsaError(WSAEFAULT);
        return WSAEFAULT;
    }
    if (int rc = WSAStartup(MAKEWORD(2, 2)); rc != 0)
        return rc;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int rc = ::getaddrinfo(host, nullptr, &hints, &result);
    if (rc != 0 || result == nullptr) {
        if (result != nullptr)
            ::freeaddrinfo(result);
        int error = rc != 0 ? rc : WSAHOST_NOT_FOUND;
        SetWsaError(error);
        return error;
    }
    *address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(result);
    return 0;
}

std::string AddressToText(std::uint32_t address) {
    in_addr a{};
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &a, text, sizeof text) == nullptr)
        return std::string();
    return text;
}

std::string LocalAddressText(SOCKET s) {
    sockaddr_storage address{};
    int length = sizeof address;
    char text[NI_MAXHOST] = {};
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return std::string();
    return text;
}

}  // namespace platform
