// Windows' proxy settings as text, read the way WinHTTP writes them: a proxy
// list ("proxy:8080", "http=p1:80;https=p2:443", "https=https://p3:8443") and
// a bypass list ("<local>;*.example.org;10.*"), entries apart by ";" or blanks.
#pragma once

#include <string>

namespace oauthrelay {

// The proxy the list names for the scheme as a URL for libcurl
// ("http://p2:443"): the entry for that scheme, else one for every scheme;
// empty when there is none.
std::string ProxyForScheme(const std::string& list, const std::string& scheme);

// Whether the bypass list sends the host directly: "<local>" stands for a
// name without a dot, other entries are patterns with "*", in any case.
bool BypassesProxy(const std::string& bypass, const std::string& host);

// The host of a URL, without port or brackets.
std::string HostOfUrl(const std::string& url);

}  // namespace oauthrelay
