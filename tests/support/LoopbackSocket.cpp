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

}  // namespace

TestSocket BindLoopback(int& nPort, bool bListen, bool bDatagram) {
    TestSocket s = ::WSASocketW(AF_INET, bDatagram ? SOCK_DGRAM : SOCK_STREAM, 0, nullptr, 0,
                                WSA_FLAG_NO_HANDLE_INHERIT);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<unsigned short>(nPort));
    int length = sizeof address;
    if (s == kNoSocket || ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (bListen && !bDatagram && ::listen(s, 4) != 0) ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (s != kNoSocket)
            ::closesocket(s);
        return kNoSocket;
    }
    nPort = ntohs(address.sin_port);
    return s;
}

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

void SetNoDelay(TestSocket s) {
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

TestSocket AcceptOne(TestSocket listener) {
    return ::accept(listener, nullptr, nullptr);
}

bool WaitReadable(TestSocket s, int waitMs) {
    WSAPOLLFD p{};
    p.fd = s;
    p.events = POLLRDNORM;
    return ::WSAPoll(&p, 1, waitMs) > 0;
}

long SendBytes(TestSocket s, const char* data, std::size_t size) {
    return ::send(s, data, static_cast<int>(size), 0);
}

long ReceiveBytes(TestSocket s, char* data, std::size_t size) {
    return ::recv(s, data, static_cast<int>(size), 0);
}

#else

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

TestSocket BindLoopback(int& nPort, bool bListen, bool bDatagram) {
    int fd = ::socket(AF_INET, (bDatagram ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
    const int one = 1;
    // A fixed port may still be held by an earlier connection's TIME_WAIT.
    if (fd >= 0 && nPort != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<unsigned short>(nPort));
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (bListen && !bDatagram && ::listen(fd, 4) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    nPort = ntohs(address.sin_port);
    return fd;
}

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

void SetNoDelay(TestSocket s) {
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
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

long SendBytes(TestSocket s, const char* data, std::size_t size) {
    return static_cast<long>(::send(s, data, size, MSG_NOSIGNAL));
}

long ReceiveBytes(TestSocket s, char* data, std::size_t size) {
    return static_cast<long>(::recv(s, data, size, 0));
}

#endif
