#include <dlfcn.h>

#include <string>

#include "platform/ModuleStrings.h"

namespace platform {

int LoadStringW(HMODULE hModule, UINT uID, char16_t* buffer, int cchBufferMax) {
    if (hModule == nullptr || buffer == nullptr || cchBufferMax <= 0)
        return 0;
    buffer[0] = 0;
    const auto* table =
        reinterpret_cast<const ModuleString*>(::dlsym(hModule, SMTPMAIL_STRING_TABLE_SYMBOL));
    if (table == nullptr)
        return 0;
    for (const ModuleString* entry = table; entry->pszText != nullptr; ++entry) {
        if (entry->uID != uID)
            continue;
        std::u16string_view text(entry->pszText);
        size_t n = text.size() < static_cast<size_t>(cchBufferMax - 1)
                       ? text.size()
                       : static_cast<size_t>(cchBufferMax - 1);
        text.copy(buffer, n);
        buffer[n] = 0;
        return static_cast<int>(n);
    }
    return 0;
}

}  // namespace platform
