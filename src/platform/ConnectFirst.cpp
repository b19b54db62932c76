// Connecting to the first address of a name that accepts, as RFC 8305
// ("Happy Eyeballs") suggests: the addresses in the resolver's order, the
// next one started when an attempt fails, or beside it when it has neither
// succeeded nor failed after 250 ms. And the connection's own address.
#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/Sockets.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// RFC 8305's recommended Connection Attempt Delay.
constexpr auto kAttemptDelay = std::chrono::milliseconds(250);
// Attempts under way at once; the next waits for one of them to end.
constexpr std::size_t kMostPending = 16;

struct Attempt {
    SOCKET s;
    std::size_t nIndex;
};

DWORD MillisecondsUntil(Clock::time_point when) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

void CloseAll(std::vector<Attempt>& pending) {
    for (const Attempt& a : pending)
        closesocket(a.s);
    pending.clear();
}

SOCKET Failed(DWORD dwError) {
    SetSocketError(dwError);
    return INVALID_SOCKET;
}

}  // namespace

SOCKET ConnectFirst(const SocketAddress* addresses, std::size_t count, DWORD timeoutMs,
                    std::size_t* pnUsed) {
    if (addresses == nullptr || count == 0)
        return Failed(WSAHOST_NOT_FOUND);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<Attempt> pending;
    std::size_t nNext = 0;
    Clock::time_point nextStart = Clock::now();
    DWORD dwLastError = WSAECONNREFUSED;

    for (;;) {
        const bool bMayStart = nNext < count && pending.size() < kMostPending &&
                               (pending.empty() || Clock::now() >= nextStart);
        if (bMayStart) {
            const std::size_t nIndex = nNext++;
            SOCKET s = socket(addresses[nIndex].nFamily, SOCK_STREAM_, 0);
            if (s == INVALID_SOCKET) {
                dwLastError = WSAGetLastError();
                continue;
            }
            const DWORD dwStart = connect_attempt::Start(s, addresses[nIndex]);
            if (dwStart == 0) {
                CloseAll(pending);
                *pnUsed = nIndex;
                return s;
            }
            if (dwStart != WSAEWOULDBLOCK) {
                dwLastError = dwStart;
                closesocket(s);
                continue;
            }
            pending.push_back({s, nIndex});
            nextStart = Clock::now() + kAttemptDelay;
            continue;
        }
        if (pending.empty())
            return Failed(dwLastError);
        if (Clock::now() >= deadline) {
            CloseAll(pending);
            return Failed(WSAETIMEDOUT);
        }

        std::vector<SOCKET> sockets;
        for (const Attempt& a : pending)
            sockets.push_back(a.s);
        const bool bMoreToStart = nNext < count && pending.size() < kMostPending;
        const DWORD dwWait =
            MillisecondsUntil(bMoreToStart ? std::min(deadline, nextStart) : deadline);
        const int nEnded = connect_attempt::WaitForOne(sockets.data(), sockets.size(), dwWait);
        if (nEnded == -2) {
            const DWORD dwError = WSAGetLastError();
            CloseAll(pending);
            return Failed(dwError);
        }
        if (nEnded < 0)
            continue;  // time to start the next attempt, or to give up
        const Attempt ended = pending[static_cast<std::size_t>(nEnded)];
        pending.erase(pending.begin() + nEnded);
        const DWORD dwResult = connect_attempt::Result(ended.s);
        if (dwResult == 0) {
            CloseAll(pending);
            *pnUsed = ended.nIndex;
            return ended.s;
        }
        dwLastError = dwResult;
        closesocket(ended.s);
        nextStart = Clock::now();
    }
}

std::string LocalAddressText(SOCKET s) {
    SocketAddress address;
    return getsockname(s, &address) == 0 ? AddressToText(address) : std::string();
}

}  // namespace platform
