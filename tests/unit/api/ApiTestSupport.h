#pragma once

#include <string>

#include "HostMessage.h"
#include "LogCapture.h"
#include "api/CSMTPMailAPI.h"
#include "api/WideText.h"
#include "hostmodule/HostModule.h"

inline std::u16string Text(const MAILWCHAR* s) {
    return FromHost(s);
}

inline HMODULE TestHostModule(bool bWithStrings) {
    return static_cast<HMODULE>(LoadTestHostModule(bWithStrings));
}
