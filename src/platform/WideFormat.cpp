#include "platform/WideFormat.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace platform {

namespace {

struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alt = false;
    bool zero = false;
    int width = -1;
    int precision = -1;
    enum Length { None, Short, Char, Long, LongLong, Size, Int64 } length = None;
};

void Pad(std::u16string& out, size_t count, char16_t c) {
    out.append(count, c);
}

void AppendField(std::u16string& out, const std::u16string& text, const Spec& spec) {
    size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    if (text.size() >= width) {
        out += text;
    } else if (spec.left) {
        out += text;
        Pad(out, width - text.size(), u' ');
    } else {
        Pad(out, width - text.size(), u' ');
        out += text;
    }
}

void AppendNarrowNumber(std::u16string& out, const char* text) {
    for (const char* p = text; *p; ++p)
        out.push_back(static_cast<unsigned char>(*p));
}

// Builds "%<flags><width>.<prec><len><conv>" for snprintf.
std::string NarrowSpec(const Spec& spec, const char* length, char conv) {
    std::string s = "%";
    if (spec.left)
        s += '-';
    if (spec.plus)
        s += '+';
    if (spec.space)
        s += ' ';
    if (spec.alt)
        s += '#';
    if (spec.zero)
        s += '0';
    if (spec.width >= 0)
        s += std::to_string(spec.width);
    if (spec.precision >= 0)
        s += "." + std::to_string(spec.precision);
    s += length;
    s += conv;
    return s;
}

// The narrow spec is built at run time from the wide one: that is the point here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
template <typename T>
void AppendNumber(std::u16string& out, const Spec& spec, const char* length, char conv, T value) {
    std::string fmt = NarrowSpec(spec, length, conv);
    char buffer[128];
    int n = std::snprintf(buffer, sizeof buffer, fmt.c_str(), value);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < sizeof buffer) {
        AppendNarrowNumber(out, buffer);
    } else {
        std::string big(static_cast<size_t>(n) + 1, '\0');
        std::snprintf(big.data(), big.size(), fmt.c_str(), value);
        AppendNarrowNumber(out, big.c_str());
    }
}
#pragma GCC diagnostic pop

}  // namespace

std::u16string WFormatV(const char16_t* format, va_list args) {
    std::u16string out;
    if (format == nullptr)
        return out;
    va_list ap;
    va_copy(ap, args);
    for (const char16_t* p = format; *p;) {
        if (*p != u'%') {
            const char16_t* start = p;
            while (*p && *p != u'%')
                ++p;
            out.append(start, static_cast<size_t>(p - start));
            continue;
        }
        ++p;
        if (*p == u'%') {
            out.push_back(u'%');
            ++p;
            continue;
        }
        Spec spec;
        for (;; ++p) {
            if (*p == u'-')
                spec.left = true;
            else if (*p == u'+')
                spec.plus = true;
            else if (*p == u' ')
                spec.space = true;
            else if (*p == u'#')
                spec.alt = true;
            else if (*p == u'0')
                spec.zero = true;
            else
                break;
        }
        if (*p == u'*') {
            spec.width = va_arg(ap, int);
            if (spec.width < 0) {
                spec.left = true;
                spec.width = -spec.width;
            }
            ++p;
        } else if (*p >= u'0' && *p <= u'9') {
            spec.width = 0;
            while (*p >= u'0' && *p <= u'9')
                spec.width = spec.width * 10 + (*p++ - u'0');
        }
        if (*p == u'.') {
            ++p;
            spec.precision = 0;
            if (*p == u'*') {
                spec.precision = va_arg(ap, int);
                ++p;
            } else {
                while (*p >= u'0' && *p <= u'9')
                    spec.precision = spec.precision * 10 + (*p++ - u'0');
            }
        }
        bool narrowString = false;
        bool wideString = false;
        if (*p == u'h') {
            ++p;
            if (*p == u'h') {
                spec.length = Spec::Char;
                ++p;
            } else {
                spec.length = Spec::Short;
                narrowString = true;
            }
        } else if (*p == u'l') {
            ++p;
            wideString = true;
            if (*p == u'l') {
                spec.length = Spec::LongLong;
                ++p;
            } else {
                spec.length = Spec::Long;
            }
        } else if (*p == u'z') {
            spec.length = Spec::Size;
            ++p;
        } else if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
            spec.length = Spec::Int64;
            p += 3;
        }
        char16_t conv = *p;
        if (conv == 0)
            break;
        ++p;
        switch (conv) {
            case u'd':
            case u'i':
                switch (spec.length) {
                    case Spec::LongLong:
                    case Spec::Int64:
                        AppendNumber(out, spec, "ll", 'd', va_arg(ap, long long));
                        break;
                    case Spec::Size:
                        AppendNumber(out, spec, "z", 'd', va_arg(ap, std::ptrdiff_t));
                        break;
                    // "l" is 32-bit as on Windows.
                    default:
                        AppendNumber(out, spec, "", 'd', va_arg(ap, int));
                        break;
                }
                break;
            case u'u':
            case u'x':
            case u'X':
            case u'o': {
                char c = static_cast<char>(conv);
                switch (spec.length) {
                    case Spec::LongLong:
                    case Spec::Int64:
                        AppendNumber(out, spec, "ll", c, va_arg(ap, unsigned long long));
                        break;
                    case Spec::Size:
                        AppendNumber(out, spec, "z", c, va_arg(ap, size_t));
                        break;
                    case Spec::Char:
                        AppendNumber(out, spec, "", c,
                                     static_cast<unsigned>(va_arg(ap, unsigned) & 0xFFu));
                        break;
                    case Spec::Short:
                        AppendNumber(out, spec, "", c,
                                     static_cast<unsigned>(va_arg(ap, unsigned) & 0xFFFFu));
                        break;
                    default:
                        AppendNumber(out, spec, "", c, va_arg(ap, unsigned));
                        break;
                }
                break;
            }
            case u'p': {
                // Windows prints pointers as zero-padded upper-case hexadecimal.
                void* value = va_arg(ap, void*);
                Spec ps;
                ps.width = static_cast<int>(sizeof(void*) * 2);
                ps.zero = true;
                std::u16string text;
                AppendNumber(
                    text, ps, "ll", 'X',
                    static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(value)));
                AppendField(out, text, spec);
                break;
            }
            case u'c':
            case u'C': {
                int c = va_arg(ap, int);
                std::u16string text(1, static_cast<char16_t>(c));
                AppendField(out, text, spec);
                break;
            }
            case u's':
            case u'S': {
                std::u16string text;
                bool narrow = narrowString || (conv == u'S' && !wideString);
                if (narrow) {
                    const char* s = va_arg(ap, const char*);
                    if (s == nullptr)
                        s = "(null)";
                    size_t n = std::strlen(s);
                    if (spec.precision >= 0 && static_cast<size_t>(spec.precision) < n)
                        n = static_cast<size_t>(spec.precision);
                    text.reserve(n);
                    for (size_t i = 0; i < n; ++i)
                        text.push_back(static_cast<unsigned char>(s[i]));
                } else {
                    const char16_t* s = va_arg(ap, const char16_t*);
                    if (s == nullptr)
                        s = u"(null)";
                    size_t n = std::char_traits<char16_t>::length(s);
                    if (spec.precision >= 0 && static_cast<size_t>(spec.precision) < n)
                        n = static_cast<size_t>(spec.precision);
                    text.assign(s, n);
                }
                AppendField(out, text, spec);
                break;
            }
            case u'n':
                (void)va_arg(ap, int*);
                break;
            default:
                out.push_back(u'%');
                out.push_back(conv);
                break;
        }
    }
    va_end(ap);
    return out;
}

std::u16string WFormat(const char16_t* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::u16string s = WFormatV(format, ap);
    va_end(ap);
    return s;
}

}  // namespace platform
