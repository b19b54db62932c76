#include "ProxyList.h"

#include <cctype>
#include <vector>

namespace oauthrelay {

namespace {

std::vector<std::string> Entries(const std::string& list) {
    std::vector<std::string> entries;
    std::string entry;
    for (char c : list + ";") {
        if (c == ';' || std::isspace(static_cast<unsigned char>(c))) {
            if (!entry.empty())
                entries.push_back(entry);
            entry.clear();
        } else {
            entry.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
    }
    return entries;
}

// A pattern with "*" for any run of characters.
bool Matches(const char* pattern, const char* text) {
    if (*pattern == '\0')
        return *text == '\0';
    if (*pattern == '*')
        return Matches(pattern + 1, text) || (*text != '\0' && Matches(pattern, text + 1));
    return *pattern == *text && Matches(pattern + 1, text + 1);
}

}  // namespace

std::string ProxyForScheme(const std::string& list, const std::string& scheme) {
    std::string anyScheme;
    for (const std::string& entry : Entries(list)) {
        const size_t equals = entry.find('=');
        std::string proxy = equals == std::string::npos ? entry : entry.substr(equals + 1);
        if (proxy.empty())
            continue;
        // A proxy without a scheme of its own is spoken to in plain HTTP.
        if (proxy.find("://") == std::string::npos)
            proxy = "http://" + proxy;
        if (equals != std::string::npos && entry.compare(0, equals, scheme) == 0)
            return proxy;
        if (equals == std::string::npos && anyScheme.empty())
            anyScheme = proxy;
    }
    return anyScheme;
}

bool BypassesProxy(const std::string& bypass, const std::string& host) {
    std::string lower;
    for (char c : host)
        lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    for (const std::string& entry : Entries(bypass)) {
        if (entry == "<local>" ? lower.find_first_of(".:") == std::string::npos
                               : Matches(entry.c_str(), lower.c_str()))
            return true;
    }
    return false;
}

std::string HostOfUrl(const std::string& url) {
    size_t start = url.find("://");
    start = start == std::string::npos ? 0 : start + 3;
    const size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
    authority =
        authority.substr(authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
    if (!authority.empty() && authority.front() == '[')
        return authority.substr(1, authority.find(']') - 1);
    return authority.substr(0, authority.find(':'));
}

}  // namespace oauthrelay
