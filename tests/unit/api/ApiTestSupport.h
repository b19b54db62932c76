// A provider object initialised the way Mail_Initialize does it, for tests
// that look at the object directly.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "LogCapture.h"
#include "api/CSMTPMailAPI.h"
#include "api/WideText.h"
#include "hostmodule/HostModule.h"

inline MAILINIFLAGS MakeIniFlags(ILogProvider* logProvider, void* hResource) {
    MAILINIFLAGS flags;
    std::memset(&flags, 0, sizeof flags);
    flags.cbSize = sizeof flags;
    flags.logProvider = logProvider;
    flags.hResource = hResource;
    return flags;
}

// Host texts (MAILWCHAR: wchar_t on Windows) and the tests' char16_t ones.
inline std::u16string Text(const MAILWCHAR* s) {
    return FromHost(s);
}
inline const MAILWCHAR* Host(const char16_t* s) {
    return reinterpret_cast<const MAILWCHAR*>(s);
}

// The test host module as the module handle the provider keeps.
inline HMODULE TestHostModule(bool bWithStrings) {
    return static_cast<HMODULE>(LoadTestHostModule(bWithStrings));
}
