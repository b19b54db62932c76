// Name resolution within a time limit: glibc's asynchronous getaddrinfo_a,
// waited for with gai_suspend. A lookup that runs out of time is cancelled;
// one that cannot be cancelled any more is kept until it has ended, and
// released by a later lookup.
#include <netdb.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Sockets.h"
#include "platform/Utf.h"
#include "platform/posix/SocketAddress_posix.h"

namespace platform {

namespace {

struct Lookup {
    std::string host;
    addrinfo hints{};
    gaicb request{};

    ~Lookup() {
        if (request.ar_result != nullptr)
            ::freeaddrinfo(request.ar_result);
    }
};

std::mutex g_lock;  // guards g_abandoned
std::vector<std::unique_ptr<Lookup>>* g_abandoned = new std::vector<std::unique_ptr<Lookup>>();

// Releases the lookups given up earlier that have ended since.
void ReleaseEnded() {
    std::lock_guard<std::mutex> lock(g_lock);
    std::erase_if(*g_abandoned, [](const std::unique_ptr<Lookup>& l) {
        return ::gai_error(&l->request) != EAI_INPROGRESS;
    });
}

void Abandon(std::unique_ptr<Lookup> lookup) {
    if (::gai_cancel(&lookup->request) != EAI_NOTCANCELED ||
        ::gai_error(&lookup->request) != EAI_INPROGRESS)
        return;  // ended: released here
    std::lock_guard<std::mutex> lock(g_lock);
    g_abandoned->push_back(std::move(lookup));
}

int Failed(DWORD dwError) {
    SetSocketError(dwError);
    return static_cast<int>(dwError);
}

}  // namespace

int ResolveHost(const char16_t* host, std::uint16_t port, DWORD timeoutMs,
                std::vector<SocketAddress>& addresses) {
    addresses.clear();
    if (host == nullptr)
        return Failed(WSAEFAULT);
    ReleaseEnded();
    auto lookup = std::make_unique<Lookup>();
    lookup->host = Utf16ToUtf8(host);
    lookup->hints.ai_family = AF_UNSPEC;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->request.ar_name = lookup->host.c_str();
    lookup->request.ar_request = &lookup->hints;
    gaicb* list[1] = {&lookup->request};
    if (int rc = ::getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr); rc != 0)
        return Failed(WsaErrorFromEai(rc));

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        const timespec wait{static_cast<time_t>(left > 0 ? left / 1000000000 : 0),
                            static_cast<long>(left > 0 ? left % 1000000000 : 0)};
        const int rc = ::gai_suspend(list, 1, &wait);
        if (rc == 0 || rc == EAI_ALLDONE)
            break;
        if (rc == EAI_AGAIN || left <= 0) {
            Abandon(std::move(lookup));
            return Failed(WSAETIMEDOUT);
        }
        // EAI_INTR: a signal; wait for the rest of the time.
    }
    if (int rc = ::gai_error(&lookup->request); rc != 0)
        return Failed(WsaErrorFromEai(rc));
    for (const addrinfo* a = lookup->request.ar_result; a != nullptr; a = a->ai_next) {
        SocketAddress address;
        if (FromNative(a->ai_addr, address)) {
            address.nPort = port;
            addresses.push_back(address);
        }
    }
    if (addresses.empty())
        return Failed(WSAHOST_NOT_FOUND);
    return 0;
}

}  // namespace platform
