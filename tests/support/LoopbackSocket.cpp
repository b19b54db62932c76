#include "LoopbackSocket.h"

#if defined(_WIN32)

#include <ws2tcpip.h>

#include <cstdlib>

namespace {

// Winsock once per test program, before any test peer needs it.
struct Winsock {
    Winsock() {
        WSADATA data;
        if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
            std::abort();
    }
    ~Winsock() { ::WSACleanup(); }
};
const Winsock g_winsock;

using Length = int;
constexpr int kSendFlags = 0;

TestSocket NewSocket(int family, int type) {
    return ::WSASocketW(family, type, 0, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
}

}  // namespace

void CloseSocket(TestSocket s) {
    ::closesocket(s);
}

void ShutdownSocket(TestSocket s) {
    ::shutdown(s, SD_BOTH);
}

void SetIoTimeouts(TestSocket s, int seconds) {
    const DWORD ms = static_cast<DWORD>(seconds) * 1000;
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}

TestSocket AcceptOne(TestSocket listener) {
    return ::accept(listener, nullptr, nullptr);
}

bool WaitReadable(TestSocket s, int waitMs) {
    WSAPOLLFD p{s, POLLRDNORM, 0};
    return ::WSAPoll(&p, 1, waitMs) > 0;
}

#else

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

using Length = std::size_t;
constexpr int kSendFlags = MSG_NOSIGNAL;

TestSocket NewSocket(int family, int type) {
    return ::socket(family, type | SOCK_CLOEXEC, 0);
}

}  // namespace

void CloseSocket(TestSocket s) {
    ::close(s);
}

void ShutdownSocket(TestSocket s) {
    ::shutdown(s, SHUT_RDWR);
}

void SetIoTimeouts(TestSocket s, int seconds) {
    timeval tv{};
    tv.tv_sec = seconds;
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

TestSocket AcceptOne(TestSocket listener) {
    // A signal that reaches this thread (a child of the test ending) must not
    // pass for a client that never came.
    int fd;
    do {
        fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool WaitReadable(TestSocket s, int waitMs) {
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, waitMs) > 0;
}

#endif

TestSocket BindLoopback(int& nPort, bool bListen, bool bDatagram, bool bIPv6) {
    const TestSocket s =
        NewSocket(bIPv6 ? AF_INET6 : AF_INET, bDatagram ? SOCK_DGRAM : SOCK_STREAM);
#if !defined(_WIN32)
    // A fixed port may still be held by an earlier connection's TIME_WAIT.
    const int one = 1;
    if (s != kNoSocket && nPort != 0)
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
    sockaddr_storage address{};
    socklen_t length = bIPv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (bIPv6) {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
        a6->sin6_family = AF_INET6;
        a6->sin6_addr = in6addr_loopback;
        a6->sin6_port = htons(static_cast<unsigned short>(nPort));
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
        a4->sin_family = AF_INET;
        a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a4->sin_port = htons(static_cast<unsigned short>(nPort));
    }
    if (s == kNoSocket || ::bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        (bListen && !bDatagram && ::listen(s, 4) != 0) ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (s != kNoSocket)
            CloseSocket(s);
        return kNoSocket;
    }
    nPort = ntohs(bIPv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                        : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return s;
}

TestSocket ConnectLoopback(int nPort) {
    TestSocket s = NewSocket(AF_INET, SOCK_STREAM);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<unsigned short>(nPort));
    if (s != kNoSocket &&
        ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        CloseSocket(s);
        s = kNoSocket;
    }
    return s;
}

bool ListenWithoutRoom(TestSocket s) {
    return ::listen(s, 0) == 0;
}

void SetNoDelay(TestSocket s) {
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

long SendBytes(TestSocket s, const char* data, std::size_t size) {
    return static_cast<long>(::send(s, data, static_cast<Length>(size), kSendFlags));
}

long ReceiveBytes(TestSocket s, char* data, std::size_t size) {
    return static_cast<long>(::recv(s, data, static_cast<Length>(size), 0));
}
