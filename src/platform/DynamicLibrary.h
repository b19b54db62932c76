// Loading modules at run time (LoadLibraryW, GetProcAddress, FreeLibrary).
// On POSIX, names of system modules the library asks for (such as
// "SCHANNEL.DLL") are answered by the platform's own emulation of that module.
#pragma once

#include "platform/WinTypes.h"

namespace platform {

HMODULE LoadLibraryW(const char16_t* name);
// A module of the system, from the system folder alone (System32), never from
// the host's folder or the search path, where a planted copy could wait.
HMODULE LoadSystemLibrary(const char16_t* name);

#if defined(_WIN32)
using ::FreeLibrary;
using ::GetProcAddress;
#else
void* GetProcAddress(HMODULE hModule, const char* name);
BOOL FreeLibrary(HMODULE hModule);
#endif

}  // namespace platform
