// Open descriptors (on Windows: handles) of this process.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <filesystem>
#include <iterator>
#endif

inline int OpenDescriptors() {
#if defined(_WIN32)
    DWORD handles = 0;
    return ::GetProcessHandleCount(::GetCurrentProcess(), &handles) ? static_cast<int>(handles) : 0;
#else
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                          std::filesystem::directory_iterator()));
#endif
}
