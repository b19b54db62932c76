#include <gtest/gtest.h>

#include <string>

#include "RelayError.h"
#include "TokenCache.h"
#include "TokenClient.h"

using namespace oauthrelay;

namespace {

std::string FailureText(long status, const std::string& body) {
    try {
        InterpretTokenResponse(status, body, "https://login.example/t/oauth2/v2.0/token");
    } catch (const RelayError& e) {
        return e.what();
    }
    ADD_FAILURE() << "no error for " << body;
    return {};
}

TokenRequest Request() {
    TokenRequest r;
    r.strTenant = "contoso";
    r.strClientId = "client";
    r.strClientSecret = "secret";
    return r;
}

}  // namespace

TEST(TokenClientTest, TokenFromAGoodAnswer) {
    const TokenResponse r = InterpretTokenResponse(
        200, R"({"token_type":"Bearer","expires_in":"3599","access_token":"abc.def"})", "u");
    EXPECT_EQ(r.strAccessToken, "abc.def");
    EXPECT_EQ(r.nExpiresIn, 3599);
    EXPECT_EQ(InterpretTokenResponse(200, R"({"access_token":"t"})", "u").nExpiresIn, 0);
}

TEST(TokenClientTest, RefusalsCarryTheEndpointReason) {
    EXPECT_EQ(FailureText(401, R"({"error":"invalid_client","error_description":)"
                               R"("AADSTS7000215: Invalid client secret provided.\r\n)"
                               R"(Trace ID: 1\r\nCorrelation ID: 2"})"),
              "The token endpoint https://login.example/t/oauth2/v2.0/token refused the request "
              "(HTTP 401, invalid_client): AADSTS7000215: Invalid client secret provided. "
              "Trace ID: 1 Correlation ID: 2");
    EXPECT_EQ(FailureText(400, R"({"error":"invalid_scope"})"),
              "The token endpoint https://login.example/t/oauth2/v2.0/token refused the request "
              "(HTTP 400, invalid_scope).");
    // An error wins even with status 200, and a token without status 200 is no token.
    EXPECT_NE(FailureText(200, R"({"error":"x","error_description":"y"})").find(": y"),
              std::string::npos);
    EXPECT_NE(FailureText(500, R"({"access_token":"t"})").find("HTTP 500 without an OAuth2 error"),
              std::string::npos);
    EXPECT_NE(FailureText(200, R"({"access_token":""})").find("without an access token"),
              std::string::npos);
    EXPECT_NE(FailureText(200, R"({"token_type":"Bearer"})").find("without an access token"),
              std::string::npos);
    const std::string html =
        FailureText(502, "<html>\n<body>Bad   Gateway</body></html>" + std::string(500, 'x'));
    EXPECT_NE(html.find("HTTP 502 with no OAuth2 answer: <html> <body>Bad Gateway</body>"),
              std::string::npos);
    EXPECT_LT(html.size(), 400u);
}

TEST(TokenClientTest, RequestsAreCompletedAndChecked) {
    const TokenRequest r = CompleteTokenRequest(Request());
    EXPECT_EQ(r.strAuthority, "https://login.microsoftonline.com");
    EXPECT_EQ(r.strScope, "https://outlook.office365.com/.default");
    EXPECT_EQ(TokenEndpointUrl(r), "https://login.microsoftonline.com/contoso/oauth2/v2.0/token");

    TokenRequest custom = Request();
    custom.strAuthority = " HTTPS://127.0.0.1:8443// ";
    custom.strTenant = "a b/c";
    EXPECT_EQ(TokenEndpointUrl(CompleteTokenRequest(custom)),
              "HTTPS://127.0.0.1:8443/a%20b%2Fc/oauth2/v2.0/token");

    for (const char* authority : {"http://login.example", "login.example", "https://", "ftp://x"}) {
        TokenRequest bad = Request();
        bad.strAuthority = authority;
        EXPECT_THROW(CompleteTokenRequest(bad), RelayError) << authority;
    }
    TokenRequest noId = Request();
    noId.strClientId = " ";
    EXPECT_THROW(CompleteTokenRequest(noId), RelayError);
}

TEST(TokenClientTest, FormBodyIsEncoded) {
    TokenRequest r = Request();
    r.strClientSecret = "a+b&c=d e~f%";
    r.strScope = "api://x/.default";
    EXPECT_EQ(TokenRequestBody(r),
              "grant_type=client_credentials&client_id=client&client_secret=a%2Bb%26c%3Dd%20e~f%25"
              "&scope=api%3A%2F%2Fx%2F.default");
}

TEST(TokenCacheTest, UsableLifetimeKeepsAMargin) {
    const int lifetimes[][2] = {{3599, 3299}, {601, 301}, {600, 300}, {60, 30},
                                {1, 0},       {0, 0},     {-5, 0}};
    for (const auto& [given, usable] : lifetimes)
        EXPECT_EQ(TokenCache::UsableLifetime(given), std::chrono::seconds(usable)) << given;
}

TEST(TokenCacheTest, EntriesLiveUntilTheirTimeAndPerKey) {
    TokenCache cache;
    const auto t0 = TokenCache::Clock::time_point() + std::chrono::hours(1);
    const TokenKey key{"https://a", "t", "c", "s", "secret"};
    TokenKey otherSecret = key;
    otherSecret.strSecret = "new secret";

    cache.Store(key, "tok1", 3599, t0);
    EXPECT_EQ(cache.Find(key, t0), "tok1");
    EXPECT_EQ(cache.Find(key, t0 + std::chrono::seconds(3298)), "tok1");
    EXPECT_FALSE(cache.Find(otherSecret, t0));
    EXPECT_FALSE(cache.Find(key, t0 + std::chrono::seconds(3299)));
    // Expired entries are gone for good.
    EXPECT_FALSE(cache.Find(key, t0));

    cache.Store(key, "tok2", 1, t0);
    EXPECT_FALSE(cache.Find(key, t0));
}

TEST(TokenCacheTest, ForgetDropsOnlyTheRefusedToken) {
    TokenCache cache;
    const auto t0 = TokenCache::Clock::time_point() + std::chrono::hours(1);
    const TokenKey key{"https://a", "t", "c", "s", "secret"};
    cache.Store(key, "old", 3599, t0);
    cache.Store(key, "new", 3599, t0);
    cache.Forget(key, "old");
    EXPECT_EQ(cache.Find(key, t0), "new");
    cache.Forget(key, "new");
    EXPECT_FALSE(cache.Find(key, t0));
}
