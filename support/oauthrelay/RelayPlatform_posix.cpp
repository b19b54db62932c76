#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

// The system trust store, with SSL_CERT_FILE and SSL_CERT_DIR as OpenSSL
// defines them. libcurl brings its own compiled-in CA path, which would hide
// OpenSSL's environment variables, so they are handed to it explicitly.
void ApplyTrustSettings(CURL* pCurl) {
    const char* pszFile = std::getenv("SSL_CERT_FILE");
    if (pszFile != nullptr && *pszFile != '\0') {
        curl_easy_setopt(pCurl, CURLOPT_CAINFO, pszFile);
    }
    const char* pszDir = std::getenv("SSL_CERT_DIR");
    if (pszDir != nullptr && *pszDir != '\0') {
        curl_easy_setopt(pCurl, CURLOPT_CAPATH, pszDir);
    }
}

// libcurl reads the usual variables itself (http_proxy, https_proxy,
// HTTPS_PROXY, all_proxy, no_proxy), as every program of the system does.
void ApplyProxySettings(CURL* /*pCurl*/, const std::string& /*strUrl*/) {}

}  // namespace oauthrelay
