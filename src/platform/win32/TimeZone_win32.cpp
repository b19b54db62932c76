#include <cstdio>
#include <ctime>

#include "platform/TimeZone.h"

namespace platform {

namespace {

const char* const kDays[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                              "Thursday", "Friday", "Saturday"};
const char* const kMonths[12] = {"January",   "February", "March",    "April",
                                 "May",       "June",     "July",     "August",
                                 "September", "October",  "November", "December"};

void Append(std::string& out, const char* format, int value) {
    char buffer[16];
    int n = std::snprintf(buffer, sizeof buffer, format, value);
    if (n > 0)
        out.append(buffer, static_cast<size_t>(n));
}

}  // namespace

// The C runtime's strftime follows the user's locale on Windows; the names
// here are English whatever that is. The conversions are those the message
// header needs, and the plain ones that take no names.
std::u16string FormatLocalTimeEnglish(const char* format) {
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
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
                Append(out, "%02d", st.wDay);
                break;
            case 'e':
                Append(out, "%2d", st.wDay);
                break;
            case 'm':
                Append(out, "%02d", st.wMonth);
                break;
            case 'Y':
                Append(out, "%04d", st.wYear);
                break;
            case 'y':
                Append(out, "%02d", st.wYear % 100);
                break;
            case 'H':
                Append(out, "%02d", st.wHour);
                break;
            case 'I':
                Append(out, "%02d", st.wHour % 12 == 0 ? 12 : st.wHour % 12);
                break;
            case 'M':
                Append(out, "%02d", st.wMinute);
                break;
            case 'S':
                Append(out, "%02d", st.wSecond);
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
