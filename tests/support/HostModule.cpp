#include "hostmodule/HostModule.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

void* LoadTestHostModule(bool bWithStrings) {
    std::string path = std::string(SMTPMAIL_BIN_DIR) +
                       (bWithStrings ? "/libtest_hostmodule.so" : "/libtest_hostmodule_empty.so");
    void* h = dlopen(path.c_str(), RTLD_NOW);
    if (h == nullptr)
        ADD_FAILURE() << "cannot load " << path << ": " << dlerror();
    return h;
}
