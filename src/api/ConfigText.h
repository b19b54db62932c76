// The configuration text: the store's first string holds the settings as
// fields joined by a four-character separator, U+00C2 U+00A7 U+00C2 U+00A7.
// The provider reads it at log-in; the admin tool writes and shows it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Field positions.
enum ConfigField : size_t {
    CFG_HOST = 0,
    CFG_USER = 1,
    CFG_SENDER_NAME = 2,
    CFG_SENDER_ADDR = 3,
    CFG_UNUSED = 4,
    CFG_PORT = 5,
    CFG_AUTH_METHOD = 6,
    CFG_PRIORITY = 7,
    CFG_BODY_FORMAT = 8,
    CFG_STARTTLS = 9,
    CFG_CERT_FLAGS = 10,
    CFG_OAUTH_CLIENT_SECRET = 11,
    CFG_OAUTH_CLIENT_ID = 12,
    CFG_OAUTH_TENANT_ID = 13,
    CFG_OAUTH_SCOPE = 14,
    CFG_OAUTH_TOKEN_URL = 15,
    CFG_OAUTH_AUTHORITY = 16,
    CFG_OAUTH_RESOURCE = 17,
    CFG_FIELD_COUNT = 18,
};

// The separator; each of its characters alone also ends a field.
inline constexpr std::u16string_view kConfigSeparator = u"\u00C2\u00A7\u00C2\u00A7";
inline bool IsConfigSeparatorChar(char16_t c) {
    return c == 0x00C2 || c == 0x00A7;
}

// The fields of a text, empty ones included. A stray separator character (one
// that is not part of a whole separator) cuts the field there and shifts the
// fields that follow.
std::vector<std::u16string> SplitConfigText(const std::u16string& text);
// The fields joined by the separator.
std::u16string JoinConfigText(const std::vector<std::u16string>& fields);

// A numeric field as _wtoi reads it: blanks, an optional sign and the leading
// digits; 0 for anything else; saturated at the range of int.
int ConfigFieldToInt(const std::u16string& field);
