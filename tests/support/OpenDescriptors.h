// Open descriptors (on Windows: handles) of this process.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#endif

inline int OpenDescriptors() {
    int count = 0;
#if defined(_WIN32)
    DWORD handles = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &handles))
        count = static_cast<int>(handles);
#else
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
#endif
    return count;
}
