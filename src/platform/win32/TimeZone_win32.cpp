#include <cstddef>
#include <ctime>
#include <string>

#include "platform/TimeZone.h"

namespace platform {

namespace {

const char* const kDays[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                              "Thursday", "Friday", "Saturday"};
const char* const kMonths[12] = {"January",   "February", "March",    "April",
                                 "May",       "June",     "July",     "August",
                                 "September", "October",  "November", "December"};

// The number right-aligned in width places, filled with the pad character.
void Append(std::string& out, int value, std::size_t width, char pad = '0') {
    const std::string digits = std::to_string(value);
    if (digits.size() < width)
        out.append(width - digits.size(), pad);
    out += digits;
}

}  // namespace

// The C runtime's strftime follows the user's locale on Windows; the names
// here are English whatever that is. The time is universal time less the
// bias, so that it and the zone in the Date line come from one answer. The conversions are those
// the message header needs, and the plain ones that take no names.
std::u16string FormatTimeEnglish(const char* format, LONG nBiasMinutes) {
    // FILETIME counts 100-nanosecond steps.
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t{};
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    t.QuadPart = static_cast<ULONGLONG>(static_cast<LONGLONG>(t.QuadPart) -
                                        static_cast<LONGLONG>(nBiasMinutes) * 600000000LL);
    const FILETIME shifted{t.LowPart, t.HighPart};
    SYSTEMTIME st{};
    ::FileTimeToSystemTime(&shifted, &st);
    std::string out;
    for (const char* p = format; p != nullptr && *p != 0; ++p) {
        if (*p != '%' || p[1] == 0) {
            out.push_back(*p);
            continue;
        }
        switch (*++p) {
            case 'a':
                out.append(kDays[st.wDayOfWeek % 7], 3);
                break;
            case 'A':
                out.append(kDays[st.wDayOfWeek % 7]);
                break;
            case 'b':
                out.append(kMonths[(st.wMonth + 11) % 12], 3);
                break;
            case 'B':
                out.append(kMonths[(st.wMonth + 11) % 12]);
                break;
            case 'd':
                Append(out, st.wDay, 2);
                break;
            case 'e':
                Append(out, st.wDay, 2, ' ');
                break;
            case 'm':
                Append(out, st.wMonth, 2);
                break;
            case 'Y':
                Append(out, st.wYear, 4);
                break;
            case 'y':
                Append(out, st.wYear % 100, 2);
                break;
            case 'H':
                Append(out, st.wHour, 2);
                break;
            case 'I':
                Append(out, st.wHour % 12 == 0 ? 12 : st.wHour % 12, 2);
                break;
            case 'M':
                Append(out, st.wMinute, 2);
                break;
            case 'S':
                Append(out, st.wSecond, 2);
                break;
            case 'p':
                out.append(st.wHour < 12 ? "AM" : "PM");
                break;
            case '%':
                out.push_back('%');
                break;
            default:
                out.push_back('%');
                out.push_back(*p);
                break;
        }
    }
    return std::u16string(out.begin(), out.end());
}

}  // namespace platform
