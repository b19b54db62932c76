#include <locale.h>
#include <time.h>

#include "platform/TimeZone.h"

namespace platform {

DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* info) {
    if (info == nullptr)
        return TIME_ZONE_ID_UNKNOWN;
    ::tzset();
    time_t now = ::time(nullptr);
    struct tm local {};
    ::localtime_r(&now, &local);
    // timezone: seconds west of UTC in standard time.
    info->Bias = static_cast<LONG>(::timezone / 60);
    info->StandardBias = 0;
    LONG current = static_cast<LONG>(-local.tm_gmtoff / 60);
    if (local.tm_isdst > 0) {
        info->DaylightBias = current - info->Bias;
        return TIME_ZONE_ID_DAYLIGHT;
    }
    info->DaylightBias = -60;
    // Zones whose standard offset changed since tzdata's reference keep the current one.
    info->Bias = current;
    return ::daylight ? TIME_ZONE_ID_STANDARD : TIME_ZONE_ID_UNKNOWN;
}

// The format comes from the caller by design.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
std::u16string FormatTimeEnglish(const char* format, LONG nBiasMinutes) {
    const time_t shifted = ::time(nullptr) - static_cast<time_t>(nBiasMinutes) * 60;
    struct tm local {};
    ::gmtime_r(&shifted, &local);
    char buffer[256] = {};
    locale_t c = ::newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(nullptr));
    size_t n = c != static_cast<locale_t>(nullptr)
                   ? ::strftime_l(buffer, sizeof buffer, format, &local, c)
                   : ::strftime(buffer, sizeof buffer, format, &local);
    if (c != static_cast<locale_t>(nullptr))
        ::freelocale(c);
    return std::u16string(buffer, buffer + n);
}

#pragma GCC diagnostic pop

}  // namespace platform
