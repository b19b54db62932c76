// Winsock over BSD sockets. Every failure sets the thread's last error to the
// Winsock number of the errno (or resolver error) behind it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "platform/LastError.h"
#include "platform/Sockets.h"

namespace platform {

namespace {

thread_local DWORD t_dwWsaError = 0;

DWORD WsaErrorFromErrno(int err) {
    switch (err) {
        case EINTR:
            return WSAEINTR;
        case EBADF:
            return WSAEBADF;
        case EACCES:
        case EPERM:
            return WSAEACCES;
        case EFAULT:
            return WSAEFAULT;
        case EINVAL:
            return WSAEINVAL;
        case EMFILE:
        case ENFILE:
            return WSAEMFILE;
        case EAGAIN:
            return WSAEWOULDBLOCK;
        case ENOTSOCK:
            return WSAENOTSOCK;
        case EMSGSIZE:
            return WSAEMSGSIZE;
        case EAFNOSUPPORT:
            return WSAEAFNOSUPPORT;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return WSAENETDOWN;
        case ENETUNREACH:
            return WSAENETUNREACH;
        case ECONNABORTED:
            return WSAECONNABORTED;
        case ECONNRESET:
        case EPIPE:
            return WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM:
            return WSAENOBUFS;
        case EISCONN:
            return WSAEISCONN;
        case ENOTCONN:
            return WSAENOTCONN;
        case ESHUTDOWN:
            return WSAESHUTDOWN;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case EHOSTUNREACH:
        case EHOSTDOWN:
            return WSAEHOSTUNREACH;
        default:
            return WSAEINVAL;
    }
}

void SetWsaError(DWORD dwError) {
    t_dwWsaError = dwError;
    SetLastError(dwError);
}

int Fail() {
    SetWsaError(WsaErrorFromErrno(errno));
    return SOCKET_ERROR;
}

int Fd(SOCKET s) {
    return static_cast<int>(s);
}

using Clock = std::chrono::steady_clock;

Clock::time_point DeadlineAfter(DWORD timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

// Waits until fd has one of the events (or an error or hang-up, which the
// next call reports) or the deadline passes: 1 ready, 0 timed out (last error
// WSAETIMEDOUT), SOCKET_ERROR on failure.
int WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, events, 0};
        int rc = ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
        if (rc > 0) {
            if ((p.revents & POLLNVAL) != 0) {
                SetWsaError(WSAENOTSOCK);
                return SOCKET_ERROR;
            }
            return 1;
        }
        if (rc == 0 && Clock::now() >= deadline) {
            SetWsaError(WSAETIMEDOUT);
            return 0;
        }
        if (rc < 0 && errno != EINTR)
            return Fail();
    }
}

sockaddr_in ToNative(const SOCKADDR_IN4* a) {
    sockaddr_in n{};
    n.sin_family = AF_INET;
    n.sin_port = a->sin_port;
    n.sin_addr.s_addr = a->sin_addr;
    return n;
}

}  // namespace

// The BSD socket layer needs no start-up.
int WSAStartup(WORD /*version*/) {
    return 0;
}

DWORD WSAGetLastError() {
    return t_dwWsaError;
}

SOCKET socket(int af, int type, int protocol) {
    int nativeType = type == SOCK_STREAM_ ? SOCK_STREAM | SOCK_NONBLOCK : SOCK_DGRAM;
    int fd = ::socket(af == AF_INET_ ? AF_INET : af, nativeType | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        Fail();
        return INVALID_SOCKET;
    }
    return static_cast<SOCKET>(fd);
}

int bind(SOCKET s, const SOCKADDR_IN4* addr, int /*addrLen*/) {
    if (addr == nullptr) {
        SetWsaError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    sockaddr_in n = ToNative(addr);
    return ::bind(Fd(s), reinterpret_cast<sockaddr*>(&n), sizeof n) == 0 ? 0 : Fail();
}

int connect(SOCKET s, const SOCKADDR_IN4* addr, int /*addrLen*/, DWORD timeoutMs) {
    if (addr == nullptr) {
        SetWsaError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    const auto deadline = DeadlineAfter(timeoutMs);
    sockaddr_in n = ToNative(addr);
    if (::connect(Fd(s), reinterpret_cast<sockaddr*>(&n), sizeof n) == 0)
        return 0;
    // A connect interrupted by a signal goes on in the background, as one
    // that is in progress does.
    if (errno != EINPROGRESS && errno != EINTR)
        return Fail();
    int rc = WaitFor(Fd(s), POLLOUT, deadline);
    if (rc != 1)
        return SOCKET_ERROR;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return Fail();
    if (err != 0) {
        SetWsaError(WsaErrorFromErrno(err));
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
        // MSG_NOSIGNAL: a peer that went away must not end the host's process.
        ssize_t n =
            ::send(Fd(s), p + sent, static_cast<size_t>(len - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return Fail();
        if (WaitFor(Fd(s), POLLOUT, deadline) != 1)
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
        ssize_t n = ::recv(Fd(s), buffer, static_cast<size_t>(len), MSG_DONTWAIT);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return Fail();
        if (WaitFor(Fd(s), POLLIN, deadline) != 1)
            return SOCKET_ERROR;
    }
}

int sendto(SOCKET s, const void* data, int len, const SOCKADDR_IN4* to) {
    if (to == nullptr || len < 0) {
        SetWsaError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    sockaddr_in n = ToNative(to);
    ssize_t sent = ::sendto(Fd(s), data, static_cast<size_t>(len), MSG_NOSIGNAL,
                            reinterpret_cast<sockaddr*>(&n), sizeof n);
    return sent < 0 ? Fail() : static_cast<int>(sent);
}

int waitReadable(SOCKET s, DWORD timeoutMs) {
    if (Fd(s) < 0) {
        SetWsaError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    return WaitFor(Fd(s), POLLIN, DeadlineAfter(timeoutMs));
}

int setNoDelay(SOCKET s) {
    int on = 1;
    return ::setsockopt(Fd(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 ? 0 : Fail();
}

int closesocket(SOCKET s) {
    return ::close(Fd(s)) == 0 ? 0 : Fail();
}

std::uint32_t inet_addr(const char* text) {
    if (text == nullptr)
        return INADDR_NONE_;
    in_addr a{};
    if (::inet_pton(AF_INET, text, &a) != 1)
        return INADDR_NONE_;
    return a.s_addr;
}

int ResolveIPv4(const char* host, std::uint32_t* address) {
    if (host == nullptr || address == nullptr) {
        SetWsaError(WSAEFAULT);
        return static_cast<int>(WSAEFAULT);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int rc = ::getaddrinfo(host, nullptr, &hints, &result);
    if (rc != 0 || result == nullptr) {
        DWORD err;
        switch (rc) {
            case EAI_AGAIN:
                err = WSATRY_AGAIN;
                break;
            case EAI_FAIL:
                err = WSANO_RECOVERY;
                break;
#ifdef EAI_NODATA
            case EAI_NODATA:
                err = WSANO_DATA;
                break;
#endif
            case EAI_MEMORY:
                err = WSAENOBUFS;
                break;
            default:
                err = WSAHOST_NOT_FOUND;
                break;
        }
        if (result != nullptr)
            ::freeaddrinfo(result);
        SetWsaError(err);
        return static_cast<int>(err);
    }
    *address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(result);
    return 0;
}

// In parentheses: the C library defines htons as a macro when optimising.
std::uint16_t(htons)(std::uint16_t value) {
    return ::htons(value);
}

std::string AddressToText(std::uint32_t address) {
    in_addr a{};
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

std::string LocalAddressText(SOCKET s) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char text[NI_MAXHOST] = {};
    if (::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return std::string();
    return text;
}

int gethostname(char* name, int nameLen) {
    if (name == nullptr || nameLen <= 0) {
        SetWsaError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    if (::gethostname(name, static_cast<size_t>(nameLen)) != 0)
        return Fail();
    name[nameLen - 1] = '\0';
    return 0;
}

}  // namespace platform
