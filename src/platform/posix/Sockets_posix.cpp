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
#include <vector>

#include "platform/LastError.h"
#include "platform/Sockets.h"
#include "platform/Utf.h"
#include "platform/posix/SocketAddress_posix.h"

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

int NativeFamily(int af) {
    return af == AF_INET_ ? AF_INET : af == AF_INET6_ ? AF_INET6 : af;
}

}  // namespace

void SetSocketError(DWORD dwError) {
    SetWsaError(dwError);
}

socklen_t ToNative(const SocketAddress& address, sockaddr_storage& native) {
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

DWORD WsaErrorFromEai(int rc) {
    switch (rc) {
        case EAI_AGAIN:
            return WSATRY_AGAIN;
        case EAI_FAIL:
            return WSANO_RECOVERY;
#ifdef EAI_NODATA
        case EAI_NODATA:
            return WSANO_DATA;
#endif
        case EAI_MEMORY:
            return WSAENOBUFS;
        case EAI_SYSTEM:
            return WsaErrorFromErrno(errno);
        default:
            return WSAHOST_NOT_FOUND;
    }
}

// The BSD socket layer needs no start-up.
int WSAStartup(WORD /*version*/) {
    return 0;
}

DWORD WSAGetLastError() {
    return t_dwWsaError;
}

SOCKET socket(int af, int type, int protocol) {
    int nativeType = type == SOCK_STREAM_ ? SOCK_STREAM | SOCK_NONBLOCK : SOCK_DGRAM;
    int fd = ::socket(NativeFamily(af), nativeType | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        Fail();
        return INVALID_SOCKET;
    }
    return static_cast<SOCKET>(fd);
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

int sendto(SOCKET s, const void* data, int len, const SocketAddress* to) {
    if (to == nullptr || len < 0) {
        SetWsaError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    sockaddr_storage native{};
    const socklen_t length = ToNative(*to, native);
    ssize_t sent = ::sendto(Fd(s), data, static_cast<size_t>(len), MSG_NOSIGNAL,
                            reinterpret_cast<sockaddr*>(&native), length);
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

bool ParseAddressLiteral(const char16_t* host, std::uint16_t port, SocketAddress* address) {
    if (host == nullptr || address == nullptr)
        return false;
    std::string text = Utf16ToUtf8(host);
    if (text.size() > 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    else if (in_addr a{}; text.find(':') == std::string::npos &&
                          (::inet_pton(AF_INET, text.c_str(), &a) != 1 || a.s_addr == INADDR_NONE))
        return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* result = nullptr;
    if (::getaddrinfo(text.c_str(), nullptr, &hints, &result) != 0 || result == nullptr)
        return false;
    const bool bParsed = FromNative(result->ai_addr, *address);
    ::freeaddrinfo(result);
    address->nPort = port;
    return bParsed;
}

std::string AddressToText(const SocketAddress& address) {
    sockaddr_storage native{};
    const socklen_t length = ToNative(address, native);
    char text[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&native), length, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return std::string();
    return text;
}

int getsockname(SOCKET s, SocketAddress* address) {
    sockaddr_storage native{};
    socklen_t length = sizeof native;
    if (address == nullptr) {
        SetWsaError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&native), &length) != 0)
        return Fail();
    if (!FromNative(reinterpret_cast<sockaddr*>(&native), *address)) {
        SetWsaError(WSAEAFNOSUPPORT);
        return SOCKET_ERROR;
    }
    return 0;
}

namespace connect_attempt {

DWORD Start(SOCKET s, const SocketAddress& address) {
    sockaddr_storage native{};
    const socklen_t length = ToNative(address, native);
    if (::connect(Fd(s), reinterpret_cast<sockaddr*>(&native), length) == 0)
        return 0;
    // A connect interrupted by a signal goes on in the background, as one
    // that is in progress does.
    if (errno == EINPROGRESS || errno == EINTR)
        return WSAEWOULDBLOCK;
    return WsaErrorFromErrno(errno);
}

int WaitForOne(const SOCKET* sockets, std::size_t count, DWORD timeoutMs) {
    std::vector<pollfd> polled;
    for (std::size_t i = 0; i < count; ++i)
        polled.push_back(pollfd{Fd(sockets[i]), POLLOUT, 0});
    const auto deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        int rc = ::poll(polled.data(), polled.size(),
                        static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
        if (rc > 0) {
            for (std::size_t i = 0; i < polled.size(); ++i) {
                if (polled[i].revents != 0)
                    return static_cast<int>(i);
            }
        }
        if (rc == 0 && Clock::now() >= deadline)
            return -1;
        if (rc < 0 && errno != EINTR) {
            Fail();
            return -2;
        }
    }
}

DWORD Result(SOCKET s) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return WsaErrorFromErrno(errno);
    return err == 0 ? 0 : WsaErrorFromErrno(err);
}

}  // namespace connect_attempt

// In parentheses: the C library defines htons as a macro when optimising.
std::uint16_t(htons)(std::uint16_t value) {
    return ::htons(value);
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
