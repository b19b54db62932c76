// Loading modules at run time (LoadLibraryW, GetProcAddress, FreeLibrary).
// Names of system modules the library asks for (such as "SCHANNEL.DLL") are
// answered by the platform's own emulation of that module.
#pragma once

#include "platform/WinTypes.h"

namespace platform {

HMODULE LoadLibraryW(const char16_t* name);
void* GetProcAddress(HMODULE hModule, const char* name);
BOOL FreeLibrary(HMODULE hModule);

}  // namespace platform
