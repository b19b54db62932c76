// The few operating-system services OAuthRelay needs beyond libcurl, one
// backend per system (RelayPlatform_posix.cpp, RelayPlatform_win32.cpp).
#pragma once

#include <curl/curl.h>

#include <ctime>
#include <string>

namespace oauthrelay {

enum class SocketWait { Ready, TimedOut, Failed };

// Waits until the socket can be read (bWrite false) or written (bWrite true).
SocketWait WaitForSocket(curl_socket_t hSocket, bool bWrite, int nMilliseconds);

// The local broken-down time of t and the zone's offset from UTC in seconds.
void LocalTime(std::time_t t, std::tm& local, long& nOffsetSeconds);

// The name of this machine, or an empty string when the system gives none.
std::string LocalHostName();

// The trust settings of the system for a handle that speaks TLS: both the
// token request and the SMTP connection use them.
void ApplyTrustSettings(CURL* pCurl);

// The proxy the system's settings name for the URL, for the token request.
void ApplyProxySettings(CURL* pCurl, const std::string& strUrl);

}  // namespace oauthrelay
