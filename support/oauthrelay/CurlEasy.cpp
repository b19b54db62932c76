#include "CurlEasy.h"

#include <mutex>

#include "RelayError.h"

namespace oauthrelay {

namespace {

CURLcode g_nGlobalInit = CURLE_OK;

void InitialiseCurl() {
    static std::once_flag once;
    // Never undone: the library may be unloaded while another module of the
    // process still uses libcurl.
    std::call_once(once, [] { g_nGlobalInit = curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

CurlEasy::CurlEasy() {
    InitialiseCurl();
    if (g_nGlobalInit != CURLE_OK) {
        throw RelayError(std::string("libcurl could not be initialised: ") +
                         curl_easy_strerror(g_nGlobalInit));
    }
    m_pCurl = curl_easy_init();
    if (m_pCurl == nullptr) {
        throw RelayError("libcurl could not create a transfer handle.");
    }
    curl_easy_setopt(m_pCurl, CURLOPT_ERRORBUFFER, m_szError);
    // Signals are the host's business; name resolution must not use them.
    curl_easy_setopt(m_pCurl, CURLOPT_NOSIGNAL, 1L);
}

CurlEasy::~CurlEasy() {
    curl_easy_cleanup(m_pCurl);
}

std::string CurlEasy::Describe(CURLcode nCode) const {
    std::string text = curl_easy_strerror(nCode);
    const std::string detail = m_szError;
    if (!detail.empty() && detail != text) {
        text += " (" + detail + ")";
    }
    return text;
}

}  // namespace oauthrelay
