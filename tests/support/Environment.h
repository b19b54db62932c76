#pragma once

#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

inline void SetEnv(const char* name, const char* value) {
#if defined(_WIN32)
    ::_putenv_s(name, value != nullptr ? value : "");
#else
    if (value != nullptr)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
#endif
}

// Sets variables (null: removes one) while it lives.
class ScopedEnv {
public:
    ScopedEnv(std::initializer_list<std::pair<std::string, const char*>> values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name.c_str());
            m_saved.emplace_back(name,
                                 old != nullptr ? std::optional<std::string>(old) : std::nullopt);
            SetEnv(name.c_str(), value);
        }
    }
    ~ScopedEnv() {
        for (const auto& [name, value] : m_saved)
            SetEnv(name.c_str(), value ? value->c_str() : nullptr);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

// A file the test_certificates fixture made (peers.py certificates).
inline std::string TestCertificate(const std::string& name) {
    return SMTPMAIL_TEST_CERTS_DIR "/" + name;
}
// OpenSSL's default trust store (the POSIX backend's) is the test CA alone.
inline void TrustTestCa() {
    SetEnv("SSL_CERT_FILE", TestCertificate("ca.pem").c_str());
    SetEnv("SSL_CERT_DIR", TestCertificate("empty").c_str());
}
