#include <windows.h>

#include "platform/ComputerName.h"

namespace platform {

std::string FullyQualifiedComputerName() {
    wchar_t name[256] = {};
    DWORD length = 256;
    if (!::GetComputerNameExW(ComputerNameDnsFullyQualified, name, &length))
        return std::string();
    std::string narrow;
    for (DWORD i = 0; i < length; ++i) {
        if (name[i] > 0x7F)
            return std::string();  // DNS names are ASCII (IDNs in their ACE form)
        narrow.push_back(static_cast<char>(name[i]));
    }
    return narrow;
}

}  // namespace platform
