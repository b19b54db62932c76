// The OAuth2 client-credentials grant against the identity platform's token
// endpoint {authority}/{tenant}/oauth2/v2.0/token, with the process-wide token
// cache in front of it.
#pragma once

#include <string>
#include <string_view>

#include "TokenCache.h"

namespace oauthrelay {

struct TokenRequest {
    std::string strAuthority;  // empty: the hosted service's public authority
    std::string strTenant;
    std::string strClientId;
    std::string strClientSecret;
    std::string strScope;  // empty: the hosted mail service's default scope
};

struct TokenResponse {
    std::string strAccessToken;
    long long nExpiresIn = 0;  // seconds; 0 when the endpoint did not say
};

// The request with the defaults filled in. Throws RelayError when the client
// id, the secret or the tenant is missing, or the authority is not https.
TokenRequest CompleteTokenRequest(const TokenRequest& request);

// The endpoint's address for a completed request.
std::string TokenEndpointUrl(const TokenRequest& request);

// The application/x-www-form-urlencoded body of the grant.
std::string TokenRequestBody(const TokenRequest& request);

// The access token out of the endpoint's answer, or a RelayError that carries
// the endpoint's own reason (error and error_description).
TokenResponse InterpretTokenResponse(long nHttpStatus, std::string_view body,
                                     const std::string& strUrl);

class TokenClient {
public:
    explicit TokenClient(TokenCache& cache) : m_Cache(cache) {}

    // A usable access token: from the cache unless bFresh, else from the
    // endpoint (and then cached). bFromCache tells which.
    std::string GetToken(const TokenRequest& request, bool bFresh, bool& bFromCache);

    // The mail server refused this token: do not hand it out again.
    void Reject(const TokenRequest& request, const std::string& strToken);

private:
    TokenCache& m_Cache;

    static TokenKey KeyOf(const TokenRequest& request);
    static TokenResponse RequestToken(const TokenRequest& request);
};

}  // namespace oauthrelay
