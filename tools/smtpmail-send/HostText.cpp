#include "HostText.h"

namespace hosttext {

bool FromUtf8(const std::string& in, WString& out) {
    WString result;
    result.reserve(in.size());
    size_t i = 0;
    const size_t n = in.size();
    while (i < n) {
        auto b0 = static_cast<unsigned char>(in[i]);
        char32_t cp = 0;
        size_t len = 0;
        char32_t min = 0;
        if (b0 < 0x80) {
            cp = b0;
            len = 1;
        } else if ((b0 & 0xE0) == 0xC0) {
            cp = b0 & 0x1F;
            len = 2;
            min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            cp = b0 & 0x0F;
            len = 3;
            min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            cp = b0 & 0x07;
            len = 4;
            min = 0x10000;
        } else {
            return false;
        }
        if (i + len > n)
            return false;
        for (size_t k = 1; k < len; ++k) {
            auto b = static_cast<unsigned char>(in[i + k]);
            if ((b & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            result.push_back(static_cast<MAILWCHAR>(0xD800 + (cp >> 10)));
            result.push_back(static_cast<MAILWCHAR>(0xDC00 + (cp & 0x3FF)));
        } else {
            result.push_back(static_cast<MAILWCHAR>(cp));
        }
        i += len;
    }
    out.swap(result);
    return true;
}

namespace {

void Append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

std::string ToUtf8(const WString& in) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char32_t u = static_cast<char16_t>(in[i]);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < in.size()) {
            char32_t low = static_cast<char16_t>(in[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                Append(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        Append(out, (u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u);
    }
    return out;
}

std::string ToUtf8(const MAILWCHAR* in) {
    return in == nullptr ? std::string() : ToUtf8(WString(in));
}

}  // namespace hosttext
