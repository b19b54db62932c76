// A provider object initialised the way Mail_Initialize does it, for tests
// that look at the object directly.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "CapturingLogProvider.h"
#include "api/CSMTPMailAPI.h"
#include "hostmodule/HostModule.h"

inline MAILINIFLAGS MakeIniFlags(ILogProvider* logProvider, void* hResource) {
    MAILINIFLAGS flags;
    std::memset(&flags, 0, sizeof flags);
    flags.cbSize = sizeof flags;
    flags.logProvider = logProvider;
    flags.hResource = hResource;
    return flags;
}

inline std::u16string Text(const MAILWCHAR* s) {
    return std::u16string(s);
}
