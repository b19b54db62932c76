#include <cstdlib>
#include <string>
#include <vector>

#include "api/CSMTPMailAPI.h"
#include "api/ConfigText.h"
#include "api/WideText.h"
#include "config/CIniSection.h"
#include "config/CMailCfg.h"
#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "platform/DebugOutput.h"

namespace {

constexpr int kMostKeepAliveSeconds = 3600;

// KeepAliveSeconds of the first vx.ini with an [SMTP] section, unless
// SMTPMAIL_KEEPALIVE_S sets it (as SMTPMAIL_TIMEOUT_MS sets the step limit).
// A value outside 0 to 3600 keeps nothing open.
int KeepAliveSeconds(const MAILINIFLAGS& flags) {
    const char* pszValue = std::getenv("SMTPMAIL_KEEPALIVE_S");
    if (pszValue != nullptr && *pszValue != '\0') {
        char* pszEnd = nullptr;
        const unsigned long nValue = std::strtoul(pszValue, &pszEnd, 10);
        if (*pszEnd == '\0' && nValue <= kMostKeepAliveSeconds)
            return static_cast<int>(nValue);
        DiagPrint(u"SMTPMAIL_KEEPALIVE_S is not a number of seconds from 0 to 3600.\n");
    }
    for (const MAILWCHAR* dir : {flags.pszPrimaryDir, flags.pszSecondaryDir}) {
        CIniSection ini;
        if (dir == nullptr || !ini.Read(FromHost(dir) + u"vx.ini", u"SMTP"))
            continue;
        const int nSeconds = ini.GetInt(u"KeepAliveSeconds", 0);
        if (nSeconds >= 0 && nSeconds <= kMostKeepAliveSeconds)
            return nSeconds;
        DiagPrint(u"KeepAliveSeconds %d is outside 0 to 3600: no connection is kept.\n", nSeconds);
        return 0;
    }
    return 0;
}

}  // namespace

bool CSMTPMailAPI::Login(MAILINIFLAGS* pFlags) {
    // The result only tells Initialize that the log-in ran; it is always false.
    const bool bResult = false;
    TFunctionTrace trace(u"CSMTPMailAPI::Login");
    trace.Bind(&bResult);
    m_bAborted = false;
    if (pFlags == nullptr)
        return bResult;

    if (pFlags->dwKeyCheck != 0) {
        // Sampled as the host expects; a held Shift key does not abort anything.
        if ((platform::GetAsyncKeyState(VK_LSHIFT) & 0x8000) == 0)
            static_cast<void>(platform::GetAsyncKeyState(VK_RSHIFT));
    }

    if (pFlags->pszPassword != nullptr)
        m_strPassword = FromHost(pFlags->pszPassword);
    pFlags->dwCfgSource |= MAILCFG_SOURCE_FILE;

    CMailCfg cfg;
    if (LoadCfg(cfg, pFlags)) {
        if (m_strHost.empty()) {
            std::vector<std::u16string> f = SplitConfigText(cfg.m_strText1);
            // A text field is taken even when empty; a number only when given.
            auto text = [&f](size_t i, std::u16string& setting) {
                if (i < f.size())
                    setting = f[i];
            };
            auto number = [&f](size_t i, auto apply) {
                if (i < f.size() && !f[i].empty())
                    apply(ConfigFieldToInt(f[i]));
            };
            text(CFG_HOST, m_strHost);
            text(CFG_USER, m_strUser);
            text(CFG_SENDER_NAME, m_strSenderName);
            text(CFG_SENDER_ADDR, m_strSenderAddr);
            number(CFG_PORT, [this](int v) { m_nPort = v; });
            number(CFG_AUTH_METHOD, [this](int v) { m_nAuthMethod = v; });
            number(CFG_PRIORITY, [this](int v) { m_nDefaultPriority = v; });
            number(CFG_BODY_FORMAT, [this, pFlags](int v) {
                m_nBodyFormat = v;
                if (v == 1)
                    CopyToHost(pFlags->szContentType, 80, u"text/html");
                else if (v == 0)
                    CopyToHost(pFlags->szContentType, 80, u"text/plain");
            });
            number(CFG_STARTTLS, [this](int v) { m_bStartTLS = v == 1; });
            number(CFG_CERT_FLAGS, [this](int v) { m_dwCertCheckFlags = static_cast<DWORD>(v); });
            text(CFG_OAUTH_CLIENT_SECRET, m_strOAuthClientSecret);
            text(CFG_OAUTH_CLIENT_ID, m_strOAuthClientId);
            text(CFG_OAUTH_TENANT_ID, m_strOAuthTenantId);
            text(CFG_OAUTH_SCOPE, m_strOAuthScope);
            text(CFG_OAUTH_TOKEN_URL, m_strOAuthTokenUrl);
            text(CFG_OAUTH_AUTHORITY, m_strOAuthAuthority);
            text(CFG_OAUTH_RESOURCE, m_strOAuthResource);
        }
        if (m_strPassword.empty())
            m_strPassword = cfg.m_strText2;
    }

    if (m_strHost.empty()) {
        // "%svx.ini": the name is glued to the directory text as it stands.
        const MAILWCHAR* dirs[] = {pFlags->pszPrimaryDir, pFlags->pszSecondaryDir};
        for (const MAILWCHAR* dir : dirs) {
            if (dir == nullptr)
                continue;
            // The section is read once, whole: values keep every character.
            CIniSection ini;
            std::u16string sHost;
            const std::u16string sFile = FromHost(dir) + u"vx.ini";
            if (!ini.Read(sFile, u"SMTP")) {
                if (!ini.Problem().empty())
                    NoteUnusableSettings(sFile, ini.Problem(), ini.ProblemCode());
                continue;
            }
            if (!ini.GetString(u"smtpHost", sHost) || sHost.empty())
                continue;
            m_strHost = sHost;
            auto text = [&ini](const char16_t* key, std::u16string& setting) {
                std::u16string sValue;
                if (ini.GetString(key, sValue) && !sValue.empty())
                    setting = sValue;
            };
            text(u"smtpUser", m_strUser);
            text(u"smtpPass", m_strPassword);
            text(u"smtpSenderAddr", m_strSenderAddr);
            text(u"smtpSenderName", m_strSenderName);
            m_nPort = ini.GetInt(u"smtpPort", 25);
            m_nAuthMethod = ini.GetInt(u"smtpAuth", 4);
            text(u"oauthClientSecret", m_strOAuthClientSecret);
            text(u"oauthClientId", m_strOAuthClientId);
            text(u"oauthTenantId", m_strOAuthTenantId);
            text(u"oauthScope", m_strOAuthScope);
            text(u"oauthTokenUrl", m_strOAuthTokenUrl);
            text(u"oauthAuthority", m_strOAuthAuthority);
            text(u"oauthResource", m_strOAuthResource);
            break;
        }
    }
    m_nKeepAliveSeconds = KeepAliveSeconds(*pFlags);
    return bResult;
}
