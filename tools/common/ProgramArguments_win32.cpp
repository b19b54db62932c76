// The Windows backend: the wide command line, split as the C runtime splits
// it, and a console that shows UTF-8 for as long as the program runs.
#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <cstdlib>

#include "ProgramArguments.h"

namespace toolargs {

namespace {

UINT g_nConsoleCodePage = 0;

void RestoreConsole() {
    ::SetConsoleOutputCP(g_nConsoleCodePage);
}

std::string Utf8(const wchar_t* pszText) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, pszText, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) {
        return std::string();
    }
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, pszText, -1, out.data(), n, nullptr, nullptr);
    out.pop_back();  // the terminating NUL
    return out;
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    // The console keeps its code page after the program ends, so the old one
    // comes back at exit.
    g_nConsoleCodePage = ::GetConsoleOutputCP();
    if (g_nConsoleCodePage != 0 && g_nConsoleCodePage != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) {
        std::atexit(RestoreConsole);
    }

    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) {
        // Without the wide line the ANSI arguments are the best there is.
        return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    }
    std::vector<std::string> out;
    for (int i = 1; i < count; ++i) {
        out.push_back(Utf8(wide[i]));
    }
    ::LocalFree(wide);
    return out;
}

}  // namespace toolargs
