// The host product converts text with its own support library, vxutil; the
// sample host does the same.
#include "HostText.h"

#include "vxutil.h"

namespace hosttext {

bool FromUtf8(const std::string& in, WString& out) {
    std::u16string wide;
    strAnsiToWide(wide, in.data(), static_cast<int>(in.size()), CP_UTF8, false);
    // Malformed UTF-8 comes back as U+FFFD, which does not convert back to the
    // same bytes.
    std::string back;
    strWideToAnsi(back, wide.data(), static_cast<int>(wide.size()), CP_UTF8, false);
    if (back != in)
        return false;
    out.assign(wide.begin(), wide.end());
    return true;
}

std::string ToUtf8(const WString& in) {
    std::u16string wide(in.begin(), in.end());
    std::string out;
    strWideToAnsi(out, wide.data(), static_cast<int>(wide.size()), CP_UTF8, false);
    return out;
}

std::string ToUtf8(const MAILWCHAR* in) {
    return in == nullptr ? std::string() : ToUtf8(WString(in));
}

}  // namespace hosttext
