// The one exception type inside OAuthRelay. Its text is the sentence the caller
// of SendEmailWithContent receives; the kind tells the send whether a cached
// access token should be dropped and the login tried once more.
#pragma once

#include <stdexcept>
#include <string>

namespace oauthrelay {

enum class RelayFailure {
    General,       // anything else: bad input, network, TLS, refusals
    LoginRefused,  // the mail server refused AUTH XOAUTH2 with the token
};

class RelayError : public std::runtime_error {
public:
    explicit RelayError(const std::string& strText, RelayFailure nKind = RelayFailure::General)
        : std::runtime_error(strText), m_nKind(nKind) {}

    RelayFailure Kind() const { return m_nKind; }

private:
    RelayFailure m_nKind;
};

}  // namespace oauthrelay
