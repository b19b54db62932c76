#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "RelayPlatform.h"

namespace oauthrelay {

SocketWait WaitForSocket(curl_socket_t hSocket, bool bWrite, int nMilliseconds) {
    pollfd entry{};
    entry.fd = hSocket;
    entry.events = bWrite ? POLLOUT : POLLIN;
    for (;;) {
        const int n = ::poll(&entry, 1, nMilliseconds);
        if (n > 0) {
            // Errors and hang-ups are "ready" too: the next read or write
            // reports them properly.
            return SocketWait::Ready;
        }
        if (n == 0) {
            return SocketWait::TimedOut;
        }
        if (errno != EINTR) {
            return SocketWait::Failed;
        }
    }
}

void LocalTime(std::time_t t, std::tm& local, long& nOffsetSeconds) {
    if (::localtime_r(&t, &local) == nullptr) {
        ::gmtime_r(&t, &local);
        nOffsetSeconds = 0;
        return;
    }
    nOffsetSeconds = local.tm_gmtoff;
}

std::string LocalHostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return std::string();
    }
    return name;
}

}  // namespace oauthrelay
