// The Windows test programs' OAuthRelay.dll. The real one is not built for
// Windows yet; this one lets the programs that link the provider's core load,
// and refuses every OAuth2 send with a text that says so.
#define OAUTHRELAY_BUILD
#include "OAuthRelay.h"

extern "C" OAUTHRELAY_API const char16_t* SendEmailWithContent(
    const char16_t*, const char16_t*, const char16_t*, const char16_t*, const char16_t*, bool,
    const char16_t*, const char16_t*, const char16_t*, int, int, const char16_t*, bool, bool, bool,
    bool, const char16_t*, const char16_t*, const char16_t*, const char16_t*, const char16_t*,
    const char16_t*, const char16_t*) {
    return u"OAuthRelay.dll is not built for Windows yet.";
}
