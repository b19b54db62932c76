// The Windows backend: Winsock's select, the C runtime's local time, the
// machine's DNS name, and Schannel with the Windows trust store.
#include <windows.h>
#include <winsock2.h>

#include <ctime>
#include <string>

#include "RelayPlatform.h"

namespace oauthrelay {

SocketWait WaitForSocket(curl_socket_t hSocket, bool bWrite, int nMilliseconds) {
    // select rather than WSAPoll: older Windows' WSAPoll misses some errors.
    fd_set set;
    FD_ZERO(&set);
    FD_SET(hSocket, &set);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(hSocket, &failed);
    timeval limit{};
    limit.tv_sec = nMilliseconds / 1000;
    limit.tv_usec = (nMilliseconds % 1000) * 1000;
    const int n = ::select(0, bWrite ? nullptr : &set, bWrite ? &set : nullptr, &failed, &limit);
    if (n > 0) {
        // Errors are "ready" too: the next read or write reports them properly.
        return SocketWait::Ready;
    }
    return n == 0 ? SocketWait::TimedOut : SocketWait::Failed;
}

void LocalTime(std::time_t t, std::tm& local, long& nOffsetSeconds) {
    if (::localtime_s(&local, &t) != 0) {
        ::gmtime_s(&local, &t);
        nOffsetSeconds = 0;
        return;
    }
    // The local wall-clock time read as if it were UTC, less the true UTC
    // time: the zone's offset at that moment, daylight saving included.
    std::tm copy = local;
    const std::time_t asUtc = ::_mkgmtime(&copy);
    nOffsetSeconds = asUtc == static_cast<std::time_t>(-1) ? 0 : static_cast<long>(asUtc - t);
}

std::string LocalHostName() {
    wchar_t name[256] = {};
    DWORD n = static_cast<DWORD>(sizeof name / sizeof name[0]);
    if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &n) || n == 0) {
        return std::string();
    }
    const int bytes =
        ::WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(n), out.data(), bytes, nullptr,
                              nullptr);
    }
    return out;
}

// The Windows trust store, as every Windows program uses it: Schannel checks
// the chain and the server's name. Revocation is checked where the
// certificates say how; a certificate whose revocation list cannot be had
// (an internal CA without one, a server without internet access) is not
// refused for that alone, while a revoked one still is.
void ApplyTrustSettings(CURL* pCurl) {
    curl_easy_setopt(pCurl, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
}

}  // namespace oauthrelay
