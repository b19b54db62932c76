#include "hostmodule/HostModule.h"

#include <gtest/gtest.h>

#if defined(_WIN32)

#include <windows.h>

#include <string>

// The host modules are resource DLLs next to the test program.
void* LoadTestHostModule(bool bWithStrings) {
    wchar_t path[MAX_PATH] = {};
    DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, n);
    folder.erase(folder.find_last_of(L"\\/") + 1);
    std::wstring file =
        folder + (bWithStrings ? L"test_hostmodule.dll" : L"test_hostmodule_empty.dll");
    HMODULE h = ::LoadLibraryW(file.c_str());
    if (h == nullptr)
        ADD_FAILURE() << "cannot load the test host module: error " << ::GetLastError();
    return reinterpret_cast<void*>(h);
}

#else

#include <dlfcn.h>

void* LoadTestHostModule(bool bWithStrings) {
    std::string path = std::string(SMTPMAIL_BIN_DIR) +
                       (bWithStrings ? "/libtest_hostmodule.so" : "/libtest_hostmodule_empty.so");
    void* h = dlopen(path.c_str(), RTLD_NOW);
    if (h == nullptr)
        ADD_FAILURE() << "cannot load " << path << ": " << dlerror();
    return h;
}

#endif
