#include <cstddef>
#include <string>
#include <vector>

#include "api/CMailAPI.h"
#include "api/WideText.h"
#include "config/CMailCfg.h"
#include "config/SystemErrorText.h"
#include "diag/DiagPrint.h"
#include "diag/HostLog.h"
#include "platform/Registry.h"
#include "platform/WideFormat.h"
#include "vxutil.h"

namespace {

#if defined(_WIN32)
constexpr char16_t kPathSeparator = u'\\';
#else
constexpr char16_t kPathSeparator = u'/';
#endif

bool IsSeparator(char16_t c) {
    return c == u'\\' || c == u'/';
}

// Exactly one separator between a non-empty directory and the name.
std::u16string JoinPath(const std::u16string& directory, const std::u16string& name) {
    if (directory.empty())
        return name;
    if (IsSeparator(directory.back()) || (!name.empty() && IsSeparator(name.front()))) {
        if (IsSeparator(directory.back()) && !name.empty() && IsSeparator(name.front()))
            return directory + name.substr(1);
        return directory + name;
    }
    return directory + kPathSeparator + name;
}

// The host session's stored configuration text (item 206), when the session
// offers the service; false when it does not or the request fails.
bool QuerySessionText(MAILSESSION* pSession, std::u16string& text) {
    if (pSession == nullptr || pSession->cbSize < offsetof(MAILSESSION, pFuncs) + sizeof(void*) ||
        pSession->bReady == 0)
        return false;
    const MAILSESSIONFUNCS* funcs = pSession->pFuncs;
    if (funcs == nullptr || funcs->cbSize < sizeof(MAILSESSIONFUNCS) ||
        funcs->pfnGetItem == nullptr)
        return false;

    std::vector<MAILWCHAR> buffer(4096);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto cch = static_cast<uint32_t>(buffer.size());
        long status = funcs->pfnGetItem(pSession, MAILSESSION_SELECTOR_TEXT,
                                        MAILSESSION_ITEM_SMTPCFG, buffer.data(), &cch);
        if (status == MAILSESSION_E_MOREDATA && attempt == 0 && cch > buffer.size() &&
            cch <= (1u << 24)) {
            buffer.assign(cch, 0);
            continue;
        }
        if (status < 0)
            return false;
        buffer.back() = 0;  // whatever the host wrote, the text ends inside the buffer
        text = FromHost(buffer.data());
        return true;
    }
    return false;
}

// A store that is there but cannot be used leaves the settings empty.
void WarnUnusableStore(CMailAPI& api, const CMailCfg& cfg, const std::u16string& sWhere) {
    const DWORD dwError = cfg.m_dwLoadError;
    if (dwError == ERROR_SUCCESS || dwError == ERROR_FILE_NOT_FOUND ||
        dwError == ERROR_PATH_NOT_FOUND)
        return;
    std::u16string sWhy = dwError == ERROR_INVALID_DATA ? u"its contents are not a settings store"
                          : dwError == ERROR_FILE_TOO_LARGE ? u"it is larger than 1 MiB"
                                                            : SystemErrorText(dwError);
    api.NoteUnusableSettings(sWhere, sWhy, dwError);
}

}  // namespace

void CMailAPI::NoteUnusableSettings(const std::u16string& sWhere, const std::u16string& sWhy,
                                    DWORD dwError) {
    // The host's log says why, or its user would only meet "no Sender specified".
    const std::u16string sText = platform::WFormat(u"The settings in '%s' cannot be used: %s.",
                                                   sWhere.c_str(), sWhy.c_str());
    HostLogMessage(HOSTLOG_WARNING, sText.c_str());
    if (m_strUnusableSettings.empty()) {
        m_strUnusableSettings = u"(" + sWhy + u"): " + sWhere;
        m_dwUnusableSettings = dwError;
    }
}

bool CMailAPI::LoadCfg(CMailCfg& cfg, MAILINIFLAGS* pFlags) {
    DiagPrint(u"CMailAPI::LoadCfg() ==>\n");
    bool bResult = false;
    DWORD source = pFlags != nullptr ? pFlags->dwCfgSource : 0;
    if (source & MAILCFG_SOURCE_FILE) {
        std::u16string name = GetCfgFileName();
        const std::u16string sPrimary = JoinPath(m_strPrimaryDir, name);
        bResult = cfg.load(sPrimary.c_str());
        if (!bResult) {
            WarnUnusableStore(*this, cfg, sPrimary);
            std::u16string text;
            if (QuerySessionText(pFlags->pSession, text)) {
                std::string narrow;
                strWideToAnsi(narrow, text.c_str(), static_cast<int>(text.size()), CP_ACP, false);
                cfg.load(narrow);
                DiagPrint(u"CMailAPI::LoadCfg() <== return %s\n", u"true");
                return true;
            }
            const std::u16string sSecondary = JoinPath(m_strSecondaryDir, name);
            bResult = cfg.load(sSecondary.c_str());
            if (!bResult)
                WarnUnusableStore(*this, cfg, sSecondary);
        }
    } else if (source & MAILCFG_SOURCE_REGISTRY) {
        std::u16string key = GetRegistryKey();
        std::u16string value = GetCfgValueName();
        bResult = cfg.loadRegistry(HKEY_CURRENT_USER, key.c_str(), value.c_str());
        if (!bResult) {
            WarnUnusableStore(*this, cfg, u"HKEY_CURRENT_USER\\" + key + u"\\" + value);
            bResult = cfg.loadRegistry(HKEY_LOCAL_MACHINE, key.c_str(), value.c_str());
            if (!bResult)
                WarnUnusableStore(*this, cfg, u"HKEY_LOCAL_MACHINE\\" + key + u"\\" + value);
        }
    }
    DiagPrint(u"CMailAPI::LoadCfg() <== return %s\n", bResult ? u"true" : u"false");
    return bResult;
}

bool CMailAPI::SaveCfg(CMailCfg& cfg, MAILINIFLAGS* pFlags) {
    DiagPrint(u"CMailAPI::SaveCfg() ==>\n");
    bool bResult = false;
    DWORD source = pFlags != nullptr ? pFlags->dwCfgSource : 0;
    if (source & MAILCFG_SOURCE_FILE) {
        bResult = cfg.save(JoinPath(m_strPrimaryDir, GetCfgFileName()).c_str());
    } else if (source & MAILCFG_SOURCE_REGISTRY) {
        std::u16string key = GetRegistryKey();
        std::u16string value = GetCfgValueName();
        bResult = cfg.saveRegistry(HKEY_CURRENT_USER, key.c_str(), value.c_str());
    }
    DiagPrint(u"CMailAPI::SaveCfg() <== return %s\n", bResult ? u"true" : u"false");
    return bResult;
}
