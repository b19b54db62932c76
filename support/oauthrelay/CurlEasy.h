// One libcurl easy handle with its error buffer.
#pragma once

#include <curl/curl.h>

#include <string>

namespace oauthrelay {

class CurlEasy {
public:
    // Initialises libcurl once per process; throws RelayError when no handle
    // can be had.
    CurlEasy();
    ~CurlEasy();
    CurlEasy(const CurlEasy&) = delete;
    CurlEasy& operator=(const CurlEasy&) = delete;

    CURL* Handle() const { return m_pCurl; }

    // libcurl's text for the code followed by the detail of the error buffer,
    // when it adds something.
    std::string Describe(CURLcode nCode) const;

private:
    CURL* m_pCurl = nullptr;
    char m_szError[CURL_ERROR_SIZE] = {};
};

}  // namespace oauthrelay
