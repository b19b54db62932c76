// Access tokens of the client-credentials grant, kept per process until
// shortly before they expire, so that a run of messages costs one token
// request.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace oauthrelay {

// Everything that decides which token the endpoint would issue. The secret is
// part of it so that a corrected secret never reuses a token of an old one.
struct TokenKey {
    std::string strAuthority;
    std::string strTenant;
    std::string strClientId;
    std::string strScope;
    std::string strSecret;

    auto operator<=>(const TokenKey&) const = default;
};

class TokenCache {
public:
    using Clock = std::chrono::steady_clock;

    // How long a token with this expires_in is used: its lifetime less five
    // minutes, so that it never expires during a slow send; short-lived tokens
    // are used for half their lifetime; a token without a lifetime (0) is not
    // kept at all.
    static std::chrono::seconds UsableLifetime(long long nExpiresIn);

    std::optional<std::string> Find(const TokenKey& key, Clock::time_point now);
    void Store(const TokenKey& key, const std::string& strToken, long long nExpiresIn,
               Clock::time_point now);
    // Drops the entry when it still holds this token (the mail server refused
    // it); a newer token that another thread stored meanwhile stays.
    void Forget(const TokenKey& key, const std::string& strToken);

    // The process-wide cache of SendEmailWithContent.
    static TokenCache& Instance();

private:
    struct Entry {
        std::string strToken;
        Clock::time_point UseUntil;
    };
    std::mutex m_Lock;
    std::map<TokenKey, Entry> m_Entries;
};

}  // namespace oauthrelay
