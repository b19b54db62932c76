// Winsock with a time limit on every wait: TCP sockets are non-blocking, and
// each call waits with select until its deadline.
#include "platform/Sockets.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>

#include "platform/win32/SocketAddress_win32.h"
#include "platform/win32/WideText_win32.h"

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

int g_nStartup = -1;
std::once_flag g_startupOnce;

int NativeFamily(int af) {
    return af == AF_INET_ ? AF_INET : af == AF_INET6_ ? AF_INET6 : af;
}

}  // namespace

void SetSocketError(DWORD dwError) {
    SetWsaError(static_cast<int>(dwError));
}

int ToNative(const SocketAddress& address, sockaddr_storage& native) {
    native = sockaddr_storage{};
    if (address.nFamily == AF_INET6_) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&native);
        a->sin6_family = AF_INET6;
        a->sin6_port = ::htons(address.nPort);
        std::memcpy(&a->sin6_addr, address.bytes, 16);
        a->sin6_scope_id = address.nScopeId;
        return sizeof(sockaddr_in6);
    }
    auto* a = reinterpret_cast<sockaddr_in*>(&native);
    a->sin_family = AF_INET;
    a->sin_port = ::htons(address.nPort);
    std::memcpy(&a->sin_addr, address.bytes, 4);
    return sizeof(sockaddr_in);
}

bool FromNative(const sockaddr* native, SocketAddress& address) {
    address = SocketAddress{};
    if (native == nullptr)
        return false;
    if (native->sa_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(native);
        address.nFamily = AF_INET6_;
        address.nPort = ::ntohs(a->sin6_port);
        std::memcpy(address.bytes, &a->sin6_addr, 16);
        address.nScopeId = a->sin6_scope_id;
        return true;
    }
    if (native->sa_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(native);
        address.nFamily = AF_INET_;
        address.nPort = ::ntohs(a->sin_port);
        std::memcpy(address.bytes, &a->sin_addr, 4);
        return true;
    }
    return false;
}

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
    SOCKET s =
        ::socket(NativeFamily(af), type == SOCK_STREAM_ ? SOCK_STREAM : SOCK_DGRAM, protocol);
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

int sendto(SOCKET s, const void* data, int len, const SocketAddress* to) {
    if (to == nullptr || len < 0 || (data == nullptr && len > 0)) {
        SetWsaError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    sockaddr_storage native{};
    const int length = ToNative(*to, native);
    return ::sendto(s, static_cast<const char*>(data), len, 0, reinterpret_cast<sockaddr*>(&native),
                    length);
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

bool ParseAddressLiteral(const char16_t* host, std::uint16_t port, SocketAddress* address) {
    if (host == nullptr || address == nullptr)
        return false;
    std::u16string text(host);
    if (text.size() > 2 && text.front() == u'[' && text.back() == u']')
        text = text.substr(1, text.size() - 2);
    *address = SocketAddress{};
    address->nPort = port;
    sockaddr_storage native{};
    int length = sizeof native;
    if (text.find(u':') != std::u16string::npos) {
        // WSAStringToAddressW reads a zone ("%4") too, as InetPtonW does not.
        if (WSAStartup(MAKEWORD(2, 2)) != 0 ||
            ::WSAStringToAddressW(SysText(text.data()), AF_INET6, nullptr,
                                  reinterpret_cast<sockaddr*>(&native), &length) != 0)
            return false;
        FromNative(reinterpret_cast<sockaddr*>(&native), *address);
        address->nPort = port;
        return true;
    }
    // inet_addr's reading of a dotted address, as the host name has always
    // been read; only ASCII text can be one.
    std::string narrow;
    for (char16_t c : text) {
        if (c == 0 || c > 0x7F)
            return false;
        narrow.push_back(static_cast<char>(c));
    }
    const unsigned long value = ::inet_addr(narrow.c_str());
    if (value == INADDR_NONE)
        return false;
    address->nFamily = AF_INET_;
    std::memcpy(address->bytes, &value, 4);
    return true;
}

std::string AddressToText(const SocketAddress& address) {
    if (WSAStartup(MAKEWORD(2, 2)) != 0)
        return std::string();
    sockaddr_storage native{};
    const int length = ToNative(address, native);
    wchar_t text[INET6_ADDRSTRLEN + 16] = {};
    DWORD size = sizeof text / sizeof text[0];
    // Without the port: the port 0 keeps WSAAddressToStringW from writing one.
    if (address.nFamily == AF_INET6_)
        reinterpret_cast<sockaddr_in6*>(&native)->sin6_port = 0;
    else
        reinterpret_cast<sockaddr_in*>(&native)->sin_port = 0;
    if (::WSAAddressToStringW(reinterpret_cast<sockaddr*>(&native), static_cast<DWORD>(length),
                              nullptr, text, &size) != 0)
        return std::string();
    std::string out;
    for (const wchar_t* p = text; *p != 0; ++p)
        out.push_back(static_cast<char>(*p));  // digits, dots, colons, a zone number
    return out;
}

int getsockname(SOCKET s, SocketAddress* address) {
    if (address == nullptr) {
        SetWsaError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    sockaddr_storage native{};
    int length = sizeof native;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&native), &length) != 0)
        return SOCKET_ERROR;
    if (!FromNative(reinterpret_cast<sockaddr*>(&native), *address)) {
        SetWsaError(WSAEAFNOSUPPORT);
        return SOCKET_ERROR;
    }
    return 0;
}

int gethostname(char* name, int nameLen) {
    // Without Winsock started, Windows answers WSANOTINITIALISED.
    if (int rc = WSAStartup(MAKEWORD(2, 2)); rc != 0)
        return SOCKET_ERROR;
    return ::gethostname(name, nameLen);
}

namespace connect_attempt {

DWORD Start(SOCKET s, const SocketAddress& address) {
    sockaddr_storage native{};
    const int length = ToNative(address, native);
    if (::connect(s, reinterpret_cast<sockaddr*>(&native), length) == 0)
        return 0;
    return static_cast<DWORD>(::WSAGetLastError());
}

int WaitForOne(const SOCKET* sockets, std::size_t count, DWORD timeoutMs) {
    const auto deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        left = std::clamp<long long>(left, 0, INT_MAX);
        timeval tv{static_cast<long>(left / 1000), static_cast<long>((left % 1000) * 1000)};
        fd_set connected;
        fd_set failed;
        FD_ZERO(&connected);
        FD_ZERO(&failed);
        for (std::size_t i = 0; i < count; ++i) {
            FD_SET(sockets[i], &connected);
            FD_SET(sockets[i], &failed);
        }
        // A failed connect shows in the exception set, not as writable.
        const int rc = ::select(0, nullptr, &connected, &failed, &tv);
        if (rc == SOCKET_ERROR)
            return -2;
        for (std::size_t i = 0; rc > 0 && i < count; ++i) {
            if (FD_ISSET(sockets[i], &connected) || FD_ISSET(sockets[i], &failed))
                return static_cast<int>(i);
        }
        if (Clock::now() >= deadline)
            return -1;
    }
}

DWORD Result(SOCKET s) {
    int err = 0;
    int len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
        return static_cast<DWORD>(::WSAGetLastError());
    return static_cast<DWORD>(err);
}

}  // namespace connect_attempt

}  // namespace platform
