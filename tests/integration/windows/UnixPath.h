// The Windows test programs run under Wine and share files with Linux peers:
// a Linux path names the same file as "Z:" followed by the path with
// backslashes (Wine's drive Z: is the Linux root).
#pragma once

#include <string>

inline std::string WindowsPathOf(const std::string& unixPath) {
    if (unixPath.empty() || unixPath[0] != '/')
        return unixPath;
    std::string path = "Z:" + unixPath;
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

inline std::wstring WidePathOf(const std::string& unixPath) {
    const std::string path = WindowsPathOf(unixPath);
    return std::wstring(path.begin(), path.end());  // the build's paths are ASCII
}
