// The Windows backend: Winsock's select, the C runtime's local time, the
// machine's DNS name, Schannel with the Windows trust store, and the proxy
// WinHTTP names.
#include <winsock2.h>
// After winsock2.h, which must come before windows.h.
#include <windows.h>
#include <winhttp.h>

#include <ctime>
#include <string>

#include "ProxyList.h"
#include "RelayPlatform.h"
#include "TextConvert.h"

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

namespace {

// A string of WinHTTP's (null for none).
std::u16string Text(LPCWSTR psz) {
    return psz != nullptr ? std::u16string(reinterpret_cast<const char16_t*>(psz)) : u"";
}

// Automatic configuration (WPAD, or a script's URL) for the URL, each step
// within a few seconds: the proxy and bypass lists, empty for none.
void AutoProxy(const std::u16string& url, const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& ie,
               std::u16string& proxy, std::u16string& bypass) {
    HINTERNET hSession = ::WinHttpOpen(L"OAuthRelay/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (hSession == nullptr)
        return;
    ::WinHttpSetTimeouts(hSession, 5000, 5000, 5000, 5000);
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (ie.fAutoDetect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (ie.lpszAutoConfigUrl != nullptr) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = ie.lpszAutoConfigUrl;
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    if (::WinHttpGetProxyForUrl(hSession, reinterpret_cast<LPCWSTR>(url.c_str()), &options,
                                &info) &&
        info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
        proxy = Text(info.lpszProxy);
        bypass = Text(info.lpszProxyBypass);
    }
    ::GlobalFree(info.lpszProxy);
    ::GlobalFree(info.lpszProxyBypass);
    ::WinHttpCloseHandle(hSession);
}

}  // namespace

// The user's settings as Internet Options keep them (automatic detection, a
// configuration script, or a proxy by name), else the machine's WinHTTP
// setting (netsh winhttp set proxy), as services have it. Without a proxy
// libcurl goes directly.
void ApplyProxySettings(CURL* pCurl, const std::string& strUrl) {
    std::u16string proxy;
    std::u16string bypass;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie{};
    if (::WinHttpGetIEProxyConfigForCurrentUser(&ie)) {
        if (ie.fAutoDetect || ie.lpszAutoConfigUrl != nullptr)
            AutoProxy(Utf8ToUtf16(strUrl), ie, proxy, bypass);
        if (proxy.empty()) {
            proxy = Text(ie.lpszProxy);
            bypass = Text(ie.lpszProxyBypass);
        }
        ::GlobalFree(ie.lpszProxy);
        ::GlobalFree(ie.lpszProxyBypass);
        ::GlobalFree(ie.lpszAutoConfigUrl);
    }
    if (proxy.empty()) {
        WINHTTP_PROXY_INFO machine{};
        if (::WinHttpGetDefaultProxyConfiguration(&machine) &&
            machine.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
            proxy = Text(machine.lpszProxy);
            bypass = Text(machine.lpszProxyBypass);
        }
        ::GlobalFree(machine.lpszProxy);
        ::GlobalFree(machine.lpszProxyBypass);
    }
    const std::string strProxy = ProxyForScheme(Utf16ToUtf8(proxy), "https");
    if (strProxy.empty() || BypassesProxy(Utf16ToUtf8(bypass), HostOfUrl(strUrl)))
        return;
    curl_easy_setopt(pCurl, CURLOPT_PROXY, strProxy.c_str());
}

}  // namespace oauthrelay
