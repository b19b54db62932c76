#include "TokenCache.h"

namespace oauthrelay {

std::chrono::seconds TokenCache::UsableLifetime(long long nExpiresIn) {
    constexpr long long kMargin = 300;
    if (nExpiresIn <= 0) {
        return std::chrono::seconds(0);
    }
    if (nExpiresIn > 2 * kMargin) {
        return std::chrono::seconds(nExpiresIn - kMargin);
    }
    return std::chrono::seconds(nExpiresIn / 2);
}

std::optional<std::string> TokenCache::Find(const TokenKey& key, Clock::time_point now) {
    std::lock_guard<std::mutex> guard(m_Lock);
    const auto it = m_Entries.find(key);
    if (it == m_Entries.end()) {
        return std::nullopt;
    }
    if (now >= it->second.UseUntil) {
        m_Entries.erase(it);
        return std::nullopt;
    }
    return it->second.strToken;
}

void TokenCache::Store(const TokenKey& key, const std::string& strToken, long long nExpiresIn,
                       Clock::time_point now) {
    const std::chrono::seconds lifetime = UsableLifetime(nExpiresIn);
    std::lock_guard<std::mutex> guard(m_Lock);
    // Old entries of other keys go as well, so the cache never grows without
    // bound in a long-running host.
    for (auto it = m_Entries.begin(); it != m_Entries.end();) {
        it = now >= it->second.UseUntil ? m_Entries.erase(it) : std::next(it);
    }
    if (lifetime.count() == 0) {
        m_Entries.erase(key);
        return;
    }
    m_Entries[key] = Entry{strToken, now + lifetime};
}

void TokenCache::Forget(const TokenKey& key, const std::string& strToken) {
    std::lock_guard<std::mutex> guard(m_Lock);
    const auto it = m_Entries.find(key);
    if (it != m_Entries.end() && it->second.strToken == strToken) {
        m_Entries.erase(it);
    }
}

TokenCache& TokenCache::Instance() {
    static TokenCache cache;
    return cache;
}

}  // namespace oauthrelay
