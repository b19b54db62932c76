#pragma once

#include <string>

#include "LogCapture.h"
#include "api/CSMTPMailAPI.h"
#include "api/WideText.h"
#include "hostmodule/HostModule.h"

inline MAILINIFLAGS MakeIniFlags(ILogProvider* logProvider, void* hResource) {
    MAILINIFLAGS flags{};
    flags.cbSize = sizeof flags;
    flags.logProvider = logProvider;
    flags.hResource = hResource;
    return flags;
}

inline std::u16string Text(const MAILWCHAR* s) {
    return FromHost(s);
}

inline HMODULE TestHostModule(bool bWithStrings) {
    return static_cast<HMODULE>(LoadTestHostModule(bWithStrings));
}
