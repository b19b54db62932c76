// OpenSSL's error queue as text, emptied: the reason a test server's TLS failed.
#pragma once

#include <openssl/err.h>

#include <string>

inline std::string OpenSslErrors() {
    std::string text;
    while (unsigned long e = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(e, buffer, sizeof buffer);
        text += (text.empty() ? "" : "; ") + std::string(buffer);
    }
    return text.empty() ? "no OpenSSL error queued" : text;
}
