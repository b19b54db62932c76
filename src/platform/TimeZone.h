// The system time zone (GetTimeZoneInformation) and the local time as text
// with English day and month names.
#pragma once

#include <string>

#include "platform/WinTypes.h"

#if !defined(_WIN32)

namespace platform {
struct TIME_ZONE_INFORMATION {
    LONG Bias;          // minutes: UTC = local time + Bias
    LONG StandardBias;  // added to Bias in standard time (0 here)
    LONG DaylightBias;  // added to Bias in daylight time
};
}  // namespace platform

constexpr DWORD TIME_ZONE_ID_UNKNOWN = 0;
constexpr DWORD TIME_ZONE_ID_STANDARD = 1;
constexpr DWORD TIME_ZONE_ID_DAYLIGHT = 2;
constexpr DWORD TIME_ZONE_ID_INVALID = 0xFFFFFFFF;

#endif

namespace platform {

#if defined(_WIN32)
using ::GetTimeZoneInformation;
using ::TIME_ZONE_INFORMATION;
#else
// Honours TZ as the C library does.
DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* info);
#endif

// The current time nBiasMinutes behind universal time (a zone's bias: UTC =
// local time + bias), formatted with strftime conversions in the "C"
// (English) locale, whatever the process locale is; the process locale is not
// touched, so other threads never see it change.
std::u16string FormatTimeEnglish(const char* format, LONG nBiasMinutes);

}  // namespace platform
