#include "TokenClient.h"

#include <nlohmann/json.hpp>

#include <climits>
#include <optional>

#include "CurlEasy.h"
#include "RelayError.h"
#include "RelayPlatform.h"
#include "TextConvert.h"

namespace oauthrelay {

namespace {

constexpr const char* kDefaultAuthority = "https://login.microsoftonline.com";
constexpr const char* kDefaultScope = "https://outlook.office365.com/.default";
// A token answer is a few kilobytes; anything far larger is not one.
constexpr size_t kMaxAnswer = 1024 * 1024;

// Besides letters and digits, the unreserved characters of a URI stay as they are.
constexpr std::string_view kUnreserved = "-._~";

// Runs of blanks and line breaks (the identity platform puts trace lines into
// its descriptions) become one blank.
std::string OneLine(std::string_view text) {
    std::string out;
    bool blank = false;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            blank = true;
            continue;
        }
        if (blank && !out.empty()) {
            out += ' ';
        }
        blank = false;
        out += c;
    }
    return out;
}

struct Answer {
    std::string strBody;
    bool bTooLarge = false;
};

size_t CollectAnswer(char* pData, size_t nSize, size_t nCount, void* pContext) {
    auto* answer = static_cast<Answer*>(pContext);
    const size_t n = nSize * nCount;
    if (answer->strBody.size() + n > kMaxAnswer) {
        answer->bTooLarge = true;
        return 0;
    }
    try {
        answer->strBody.append(pData, n);
    } catch (...) {
        return 0;  // out of memory: libcurl ends the transfer (nothing may unwind through it)
    }
    return n;
}

}  // namespace

TokenRequest CompleteTokenRequest(const TokenRequest& request) {
    TokenRequest out = request;
    out.strAuthority = Trim(out.strAuthority);
    out.strTenant = Trim(out.strTenant);
    out.strClientId = Trim(out.strClientId);
    out.strScope = Trim(out.strScope);
    if (out.strClientId.empty()) {
        throw RelayError("No OAuth2 client id was given.");
    }
    if (out.strClientSecret.empty()) {
        throw RelayError("No OAuth2 client secret was given.");
    }
    if (out.strTenant.empty()) {
        throw RelayError("No OAuth2 tenant id was given.");
    }
    if (out.strAuthority.empty()) {
        out.strAuthority = kDefaultAuthority;
    }
    while (!out.strAuthority.empty() && out.strAuthority.back() == '/') {
        out.strAuthority.pop_back();
    }
    if (AsciiLower(out.strAuthority.substr(0, 8)) != "https://" || out.strAuthority.size() <= 8) {
        throw RelayError("The OAuth2 authority \"" + request.strAuthority +
                         "\" is not an https:// address; the client secret is only sent over "
                         "HTTPS.");
    }
    if (out.strScope.empty()) {
        out.strScope = kDefaultScope;
    }
    return out;
}

std::string TokenEndpointUrl(const TokenRequest& request) {
    return request.strAuthority + "/" + PercentEncode(request.strTenant, kUnreserved) +
           "/oauth2/v2.0/token";
}

std::string TokenRequestBody(const TokenRequest& request) {
    return "grant_type=client_credentials&client_id=" +
           PercentEncode(request.strClientId, kUnreserved) +
           "&client_secret=" + PercentEncode(request.strClientSecret, kUnreserved) +
           "&scope=" + PercentEncode(request.strScope, kUnreserved);
}

namespace {

// The members of a token endpoint's answer: a JSON object's strings, and its
// integers given as a number or as a string of digits (some endpoints send
// "expires_in": "3599").
class TokenAnswer {
public:
    explicit TokenAnswer(std::string_view body)
        : m_json(nlohmann::json::parse(body, nullptr, false)) {}
    explicit operator bool() const { return m_json.is_object(); }

    std::optional<std::string> GetString(const char* name) const {
        const auto it = m_json.find(name);
        if (it == m_json.end() || !it->is_string())
            return std::nullopt;
        return it->get<std::string>();
    }
    std::optional<long long> GetInteger(const char* name) const {
        const auto it = m_json.find(name);
        if (it != m_json.end() && it->is_number_integer() &&
            (it->is_number_unsigned() ? it->get<unsigned long long>() <= LLONG_MAX : true))
            return it->get<long long>();
        const std::optional<std::string> digits = GetString(name);
        if (!digits || digits->empty() || digits->size() > 18 ||
            digits->find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        return std::stoll(*digits);
    }

private:
    nlohmann::json m_json;  // discarded when the answer is no JSON
};

}  // namespace

TokenResponse InterpretTokenResponse(long nHttpStatus, std::string_view body,
                                     const std::string& strUrl) {
    const TokenAnswer json(body);
    const std::string status = "HTTP " + std::to_string(nHttpStatus);
    if (json) {
        const std::optional<std::string> token = json.GetString("access_token");
        if (nHttpStatus == 200 && token && !token->empty()) {
            TokenResponse response;
            response.strAccessToken = *token;
            response.nExpiresIn = json.GetInteger("expires_in").value_or(0);
            return response;
        }
        const std::optional<std::string> error = json.GetString("error");
        if (error) {
            const std::string description =
                OneLine(json.GetString("error_description").value_or(""));
            throw RelayError("The token endpoint " + strUrl + " refused the request (" + status +
                             ", " + *error + ")" +
                             (description.empty() ? "." : ": " + description));
        }
        if (nHttpStatus == 200) {
            throw RelayError("The token endpoint " + strUrl + " answered without an access token.");
        }
    }
    std::string text = OneLine(body);
    if (text.size() > 200) {
        text = text.substr(0, 200) + "...";
    }
    throw RelayError("The token endpoint " + strUrl + " answered " + status +
                     (json ? " without an OAuth2 error" : " with no OAuth2 answer") +
                     (text.empty() ? "." : ": " + text));
}

TokenKey TokenClient::KeyOf(const TokenRequest& request) {
    return TokenKey{request.strAuthority, request.strTenant, request.strClientId, request.strScope,
                    request.strClientSecret};
}

std::string TokenClient::GetToken(const TokenRequest& request, bool bFresh, bool& bFromCache) {
    const TokenKey key = KeyOf(request);
    if (!bFresh) {
        if (std::optional<std::string> cached = m_Cache.Find(key, TokenCache::Clock::now())) {
            bFromCache = true;
            return *cached;
        }
    }
    bFromCache = false;
    const TokenResponse response = RequestToken(request);
    m_Cache.Store(key, response.strAccessToken, response.nExpiresIn, TokenCache::Clock::now());
    return response.strAccessToken;
}

void TokenClient::Reject(const TokenRequest& request, const std::string& strToken) {
    m_Cache.Forget(KeyOf(request), strToken);
}

TokenResponse TokenClient::RequestToken(const TokenRequest& request) {
    const std::string url = TokenEndpointUrl(request);
    const std::string body = TokenRequestBody(request);
    CurlEasy curl;
    CURL* h = curl.Handle();
    Answer answer;
    curl_slist* headers = curl_slist_append(nullptr, "Accept: application/json");
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "OAuthRelay/1.0");
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, CollectAnswer);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, 60L);
    ApplyTrustSettings(h);
    ApplyProxySettings(h, url);
    const CURLcode result = curl_easy_perform(h);
    curl_slist_free_all(headers);
    if (answer.bTooLarge) {
        throw RelayError("The token endpoint " + url + " sent an answer of more than 1 MiB.");
    }
    if (result != CURLE_OK) {
        throw RelayError("Could not reach the token endpoint " + url + ": " +
                         curl.Describe(result));
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    return InterpretTokenResponse(status, answer.strBody, url);
}

}  // namespace oauthrelay
