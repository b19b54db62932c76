#include "hostmodule/HostModule.h"

#include <gtest/gtest.h>

#if defined(_WIN32)

#include <windows.h>

// Resource DLLs next to the test program, where the loader looks first.
void* LoadTestHostModule(bool bWithStrings) {
    HMODULE h =
        ::LoadLibraryW(bWithStrings ? L"test_hostmodule.dll" : L"test_hostmodule_empty.dll");
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
