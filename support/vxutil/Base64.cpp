#include <cstdint>
#include <cstring>

#include "vxutil.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of every 12-bit group: a 3-byte group is two lookups,
// which keeps large attachments from waiting on their encoding.
struct PairTable {
    char pairs[4096][2];
    constexpr PairTable() : pairs() {
        for (int i = 0; i < 4096; ++i) {
            pairs[i][0] = kAlphabet[i >> 6];
            pairs[i][1] = kAlphabet[i & 63];
        }
    }
};
constexpr PairTable kPairs;

// Value of a Base64 character, -1 for characters outside the alphabet.
int DecodeChar(char16_t c) {
    if (c >= u'A' && c <= u'Z')
        return c - u'A';
    if (c >= u'a' && c <= u'z')
        return c - u'a' + 26;
    if (c >= u'0' && c <= u'9')
        return c - u'0' + 52;
    if (c == u'+')
        return 62;
    if (c == u'/')
        return 63;
    return -1;
}

bool IsSkippable(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

}  // namespace

int EncodeBase64(std::string& out, const unsigned char* data, size_t len) {
    out.clear();
    if (data == nullptr || len == 0)
        return 0;
    try {
        out.resize(((len + 2) / 3) * 4);
    } catch (...) {
        return -1;  // out of memory: no exception leaves the library
    }
    char* p = out.data();
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        const std::uint32_t v =
            (std::uint32_t(data[i]) << 16) | (std::uint32_t(data[i + 1]) << 8) | data[i + 2];
        std::memcpy(p, kPairs.pairs[v >> 12], 2);
        std::memcpy(p + 2, kPairs.pairs[v & 4095], 2);
        p += 4;
    }
    if (i < len) {
        std::uint32_t v = std::uint32_t(data[i]) << 16;
        if (i + 1 < len)
            v |= std::uint32_t(data[i + 1]) << 8;
        *p++ = kAlphabet[(v >> 18) & 63];
        *p++ = kAlphabet[(v >> 12) & 63];
        *p++ = i + 1 < len ? kAlphabet[(v >> 6) & 63] : '=';
        *p++ = '=';
    }
    return static_cast<int>(out.size());
}

int DecodeBase64(unsigned char* out, const char16_t* text, int len) {
    if (text == nullptr || len < 0)
        return -1;
    if (len > 0 && out == nullptr)
        return -1;
    int written = 0;
    std::uint32_t accumulator = 0;
    int groupChars = 0;  // characters of the current four-character group
    int padding = 0;
    for (int i = 0; i < len; ++i) {
        char16_t c = text[i];
        if (c == 0)
            break;
        if (IsSkippable(c))
            continue;
        if (c == u'=') {
            // Padding may only close a group of two or three characters.
            if (groupChars < 2)
                return -1;
            ++padding;
            ++groupChars;
            if (groupChars == 4) {
                if (padding == 1) {
                    out[written++] = static_cast<unsigned char>(accumulator >> 10);
                    out[written++] = static_cast<unsigned char>(accumulator >> 2);
                } else {
                    out[written++] = static_cast<unsigned char>(accumulator >> 4);
                }
                groupChars = 0;
                accumulator = 0;
                // Only blanks may follow the padding.
                for (++i; i < len && text[i] != 0; ++i) {
                    if (!IsSkippable(text[i]))
                        return -1;
                }
                return written;
            }
            continue;
        }
        if (padding > 0)
            return -1;
        int v = DecodeChar(c);
        if (v < 0)
            return -1;
        accumulator = (accumulator << 6) | static_cast<std::uint32_t>(v);
        if (++groupChars == 4) {
            out[written++] = static_cast<unsigned char>(accumulator >> 16);
            out[written++] = static_cast<unsigned char>(accumulator >> 8);
            out[written++] = static_cast<unsigned char>(accumulator);
            groupChars = 0;
            accumulator = 0;
        }
    }
    if (padding > 0)
        return -1;  // a group cut short after its padding
    // Unpadded text: accept a final group of two or three characters.
    if (groupChars == 1)
        return -1;
    if (groupChars == 2) {
        out[written++] = static_cast<unsigned char>(accumulator >> 4);
    } else if (groupChars == 3) {
        out[written++] = static_cast<unsigned char>(accumulator >> 10);
        out[written++] = static_cast<unsigned char>(accumulator >> 2);
    }
    return written;
}
