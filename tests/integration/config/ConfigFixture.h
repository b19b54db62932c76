// A provider set-up for the settings tests: two scratch directories, the
// host's record, and helpers that write stores and INI files into them.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "CapturingLogProvider.h"
#include "LogCapture.h"
#include "api/CSMTPMailAPI.h"
#include "api/ConfigText.h"
#include "config/CMailCfg.h"
#include "mailapi.h"

inline const std::u16string kSep(kConfigSeparator);

// Every setting of a provider, so that a test compares them all at once. The
// initial values are the provider's defaults.
struct Settings {
    std::u16string host, user, password, senderName, senderAddr;
    int port = 25;
    int authMethod = 0;
    int priority = 2;
    int bodyFormat = 0;
    bool startTls = false;
    DWORD certFlags = 0;
    std::u16string oauthClientSecret, oauthClientId, oauthTenantId, oauthScope, oauthTokenUrl,
        oauthAuthority, oauthResource;
    std::u16string charset = u"utf-8";

    bool operator==(const Settings&) const = default;
};

// Settings with every value away from its default.
inline Settings SampleSettings() {
    Settings s;
    s.host = u"smtp.example.com";
    s.user = u"bob";
    s.password = u"pa ss";
    s.senderName = u"Bob B";
    s.senderAddr = u"bob@example.com";
    s.port = 587;
    s.authMethod = 2;
    s.priority = 3;
    s.bodyFormat = 1;
    s.startTls = true;
    s.certFlags = 0x1000;
    s.oauthClientSecret = u"cs";
    s.oauthClientId = u"cid";
    s.oauthTenantId = u"tid";
    s.oauthScope = u"sc";
    s.oauthTokenUrl = u"tu";
    s.oauthAuthority = u"au";
    s.oauthResource = u"rs";
    return s;
}

inline Settings SettingsOf(const CSMTPMailAPI& api) {
    return Settings{api.m_strHost,          api.m_strUser,           api.m_strPassword,
                    api.m_strSenderName,    api.m_strSenderAddr,     api.m_nPort,
                    api.m_nAuthMethod,      api.m_nDefaultPriority,  api.m_nBodyFormat,
                    api.m_bStartTLS,        api.m_dwCertCheckFlags,  api.m_strOAuthClientSecret,
                    api.m_strOAuthClientId, api.m_strOAuthTenantId,  api.m_strOAuthScope,
                    api.m_strOAuthTokenUrl, api.m_strOAuthAuthority, api.m_strOAuthResource,
                    api.m_strCharset};
}

inline void PrintTo(const Settings& s, std::ostream* os) {
    *os << "{port " << s.port << ", auth " << s.authMethod << ", priority " << s.priority
        << ", body format " << s.bodyFormat << ", starttls " << s.startTls << ", cert flags "
        << s.certFlags;
    for (const std::u16string* text :
         {&s.host, &s.user, &s.password, &s.senderName, &s.senderAddr, &s.oauthClientSecret,
          &s.oauthClientId, &s.oauthTenantId, &s.oauthScope, &s.oauthTokenUrl, &s.oauthAuthority,
          &s.oauthResource, &s.charset})
        *os << ", '" << ToUtf8(*text) << "'";
    *os << "}";
}

class ConfigFixture : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_root = ::testing::TempDir() + "/cfgint-" + std::to_string(::getpid()) + "-" +
                 info->test_suite_name() + "-" + info->name();
        std::filesystem::remove_all(m_root);
        std::filesystem::create_directories(m_root + "/primary");
        std::filesystem::create_directories(m_root + "/secondary");
        m_primary = FromUtf8(m_root + "/primary/");
        m_secondary = FromUtf8(m_root + "/secondary/");
        std::memset(&m_flags, 0, sizeof m_flags);
        m_flags.cbSize = sizeof m_flags;
        m_flags.logProvider = &m_log;
        m_flags.pszPrimaryDir = HostText(m_primary);
        m_flags.pszSecondaryDir = HostText(m_secondary);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
    }

    static const MAILWCHAR* HostText(const std::u16string& s) {
        return reinterpret_cast<const MAILWCHAR*>(s.c_str());
    }

    std::string Dir(bool primary) const { return m_root + (primary ? "/primary/" : "/secondary/"); }

    void WriteStore(bool primary, const std::u16string& text1, const std::u16string& text2) {
        CMailCfg cfg;
        cfg.m_strText1 = text1;
        cfg.m_strText2 = text2;
        ASSERT_TRUE(cfg.save(FromUtf8(Dir(primary) + "smtp.cfg").c_str()));
    }

    void WriteIni(bool primary, const std::string& text) {
        std::ofstream f(Dir(primary) + "vx.ini", std::ios::binary | std::ios::trunc);
        f << text;
    }

    std::u16string ContentType() const {
        return std::u16string(reinterpret_cast<const char16_t*>(m_flags.szContentType));
    }

    std::string m_root;
    std::u16string m_primary, m_secondary;
    CapturingLogProvider m_log;
    MAILINIFLAGS m_flags{};
};
