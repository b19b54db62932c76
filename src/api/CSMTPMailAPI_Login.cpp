#include <climits>
#include <string>
#include <vector>

#include "api/CSMTPMailAPI.h"
#include "api/WideText.h"
#include "config/CMailCfg.h"
#include "diag/FunctionTrace.h"
#include "platform/DebugOutput.h"
#include "platform/Profile.h"

namespace {

bool IsSeparatorChar(char16_t c) {
    return c == 0x00C2 || c == 0x00A7;
}

constexpr size_t kSeparatorLength = 4;

size_t FirstNonSeparator(const std::u16string& text, size_t from) {
    for (size_t i = from; i < text.size(); ++i)
        if (!IsSeparatorChar(text[i]))
            return i;
    return std::u16string::npos;
}

// The configuration text's fields. A separator character at the start of a
// field is dropped; one inside a field ends it there.
std::vector<std::u16string> SplitFields(const std::u16string& text) {
    std::vector<std::u16string> fields;
    size_t start = FirstNonSeparator(text, 0);
    size_t search = 0;
    for (;;) {
        size_t end = std::u16string::npos;
        for (size_t i = search; i < text.size(); ++i) {
            if (IsSeparatorChar(text[i])) {
                end = i;
                break;
            }
        }
        if (end == std::u16string::npos)
            break;
        if (start != std::u16string::npos && start < end)
            fields.push_back(text.substr(start, end - start));
        else
            fields.emplace_back();
        search = end + kSeparatorLength;
        start = FirstNonSeparator(text, search);
    }
    if (start != std::u16string::npos)
        fields.push_back(text.substr(start));
    return fields;
}

// _wtoi: blanks, an optional sign and leading digits; 0 for anything else,
// saturated at the int range.
int WideToInt(const std::u16string& s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == u' ' || s[i] == u'\t' || s[i] == u'\r' || s[i] == u'\n' ||
                            s[i] == u'\v' || s[i] == u'\f'))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-'))
        negative = s[i++] == u'-';
    long long value = 0;
    for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i) {
        value = value * 10 + (s[i] - u'0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

constexpr DWORD kIniTextSize = 259;

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
        if ((platform::GetAsyncKeyState(platform::VK_LSHIFT) & 0x8000) == 0)
            static_cast<void>(platform::GetAsyncKeyState(platform::VK_RSHIFT));
    }

    if (pFlags->pszPassword != nullptr)
        m_strPassword = FromHost(pFlags->pszPassword);
    pFlags->dwCfgSource |= MAILCFG_SOURCE_FILE;

    CMailCfg cfg;
    if (LoadCfg(cfg, pFlags)) {
        if (m_strHost.empty()) {
            std::vector<std::u16string> f = SplitFields(cfg.m_strText1);
            auto has = [&f](size_t i) { return i < f.size(); };
            auto number = [&f, &has](size_t i, auto apply) {
                if (has(i) && !f[i].empty())
                    apply(WideToInt(f[i]));
            };
            if (has(0))
                m_strHost = f[0];
            if (has(1))
                m_strUser = f[1];
            if (has(2))
                m_strSenderName = f[2];
            if (has(3))
                m_strSenderAddr = f[3];
            number(5, [this](int v) { m_nPort = v; });
            number(6, [this](int v) { m_nAuthMethod = v; });
            number(7, [this](int v) { m_nDefaultPriority = v; });
            number(8, [this, pFlags](int v) {
                m_nBodyFormat = v;
                if (v == 1)
                    CopyToHost(pFlags->szContentType, 80, u"text/html");
                else if (v == 0)
                    CopyToHost(pFlags->szContentType, 80, u"text/plain");
            });
            number(9, [this](int v) { m_bStartTLS = v == 1; });
            number(10, [this](int v) { m_dwCertCheckFlags = static_cast<DWORD>(v); });
            std::u16string* oauth[] = {&m_strOAuthClientSecret, &m_strOAuthClientId,
                                       &m_strOAuthTenantId,     &m_strOAuthScope,
                                       &m_strOAuthTokenUrl,     &m_strOAuthAuthority,
                                       &m_strOAuthResource};
            for (size_t i = 0; i < 7; ++i)
                if (has(11 + i))
                    *oauth[i] = f[11 + i];
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
            std::u16string file = FromHost(dir) + u"vx.ini";
            char16_t value[kIniTextSize];
            if (platform::GetPrivateProfileStringW(u"SMTP", u"smtpHost", u"", value, kIniTextSize,
                                                   file.c_str()) == 0)
                continue;
            m_strHost = value;
            auto text = [&file](const char16_t* key, std::u16string& setting) {
                char16_t buffer[kIniTextSize];
                if (platform::GetPrivateProfileStringW(u"SMTP", key, u"", buffer, kIniTextSize,
                                                       file.c_str()) != 0)
                    setting = buffer;
            };
            text(u"smtpUser", m_strUser);
            text(u"smtpPass", m_strPassword);
            text(u"smtpSenderAddr", m_strSenderAddr);
            text(u"smtpSenderName", m_strSenderName);
            m_nPort = static_cast<int>(
                platform::GetPrivateProfileIntW(u"SMTP", u"smtpPort", 25, file.c_str()));
            m_nAuthMethod = static_cast<int>(
                platform::GetPrivateProfileIntW(u"SMTP", u"smtpAuth", 4, file.c_str()));
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
    return bResult;
}
