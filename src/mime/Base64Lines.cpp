#include "mime/Base64Lines.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "vxutil.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SMTPMAIL_BASE64_X86 1
#endif

namespace {

constexpr size_t kLineLength = 76;
// 57 bytes make exactly one line of 76 characters, so whole lines never end
// in padding and each one is encoded on its own.
constexpr size_t kBytesPerLine = 57;

#ifdef SMTPMAIL_BASE64_X86
// The characters the vector instructions map the 6-bit values to.
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 12 bytes into 16 characters: the bytes of each group spread over a 32-bit
// lane, the four 6-bit values moved into bytes by two multiplies, and each
// value mapped to its character by adding an offset chosen by its range.
// The 12 bytes are the last 12 of the 16 loaded when kSkip is 4.
template <int kSkip>
__attribute__((target("ssse3"))) inline __m128i Encode12(const unsigned char* in) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    v = _mm_shuffle_epi8(
        v, _mm_set_epi8(kSkip + 10, kSkip + 11, kSkip + 9, kSkip + 10, kSkip + 7, kSkip + 8,
                        kSkip + 6, kSkip + 7, kSkip + 4, kSkip + 5, kSkip + 3, kSkip + 4, kSkip + 1,
                        kSkip + 2, kSkip + 0, kSkip + 1));
    const __m128i high =
        _mm_mulhi_epu16(_mm_and_si128(v, _mm_set1_epi32(0x0FC0FC00)), _mm_set1_epi32(0x04000040));
    const __m128i low =
        _mm_mullo_epi16(_mm_and_si128(v, _mm_set1_epi32(0x003F03F0)), _mm_set1_epi32(0x01000010));
    const __m128i values = _mm_or_si128(high, low);
    // Range index: 0 for 26..51, 1..12 for 52..63, 13 for 0..25.
    __m128i range = _mm_subs_epu8(values, _mm_set1_epi8(51));
    range = _mm_or_si128(
        range, _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), values), _mm_set1_epi8(13)));
    const __m128i offsets =
        _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                      '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    return _mm_add_epi8(values, _mm_shuffle_epi8(offsets, range));
}

// A line: four times 12 bytes, then the last 12 again from a load that ends
// at the line's end (no load reaches past the 57 bytes); its first four
// characters overwrite the same four.
__attribute__((target("ssse3"))) void EncodeLineSsse3(const unsigned char* in, char* out) {
    for (size_t i = 0; i < 4; ++i)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), Encode12<0>(in + 12 * i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 60), Encode12<4>(in + 41));
}

// A line in two steps with AVX-512 VBMI: its first 48 bytes into 64
// characters, then its last 12 again into its last 16. Each group's bytes
// spread over a 32-bit lane, one multishift picks its four 6-bit fields, and
// one permute maps each field (the low 6 bits of its byte) to its character.
// The loads stay within the 57 bytes; masked loads would be slower.
// GCC 12's intrinsics seed their results with a self-initialised value,
// which its own warning then reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void EncodeLineVbmi(const unsigned char* in,
                                                                           char* out) {
    // Lane i: bytes 3i+1, 3i, 3i+2 and 3i+1.
    alignas(64) static const unsigned char kSpread[64] = {
        1,  0,  2,  1,  4,  3,  5,  4,  7,  6,  8,  7,  10, 9,  11, 10, 13, 12, 14, 13, 16, 15,
        17, 16, 19, 18, 20, 19, 22, 21, 23, 22, 25, 24, 26, 25, 28, 27, 29, 28, 31, 30, 32, 31,
        34, 33, 35, 34, 37, 36, 38, 37, 40, 39, 41, 40, 43, 42, 44, 43, 46, 45, 47, 46};
    // The same for the last 12 of 16 bytes loaded.
    alignas(64) static const unsigned char kSpreadTail[64] = {5,  4,  6,  5,  8,  7,  9,  8,
                                                              11, 10, 12, 11, 14, 13, 15, 14};
    // Each field's lowest bit in the lane: 10, 4, 22 and 16 (and 32 more in
    // the upper lane of each 64 bits).
    const __m512i fields = _mm512_set1_epi64(0x3036242A1016040Aull);
    const __m512i alphabet = _mm512_loadu_si512(kAlphabet);
    const __m512i head = _mm512_inserti32x4(
        _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32)), 2);
    const __m512i tail =
        _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 41)));
    _mm512_storeu_si512(out,
                        _mm512_permutexvar_epi8(
                            _mm512_multishift_epi64_epi8(
                                fields, _mm512_permutexvar_epi8(_mm512_load_si512(kSpread), head)),
                            alphabet));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 60),
                     _mm512_castsi512_si128(_mm512_permutexvar_epi8(
                         _mm512_multishift_epi64_epi8(
                             fields, _mm512_permutexvar_epi8(_mm512_load_si512(kSpreadTail), tail)),
                         alphabet)));
}
#pragma GCC diagnostic pop
#endif

// Whole lines with the vector instructions, when there are any; the rest, and
// everything without them, is EncodeBase64's one run cut into lines. False
// when there was no memory for that run.
bool WriteLines(const unsigned char* data, size_t byteCount, char* out, size_t& written,
                void (*encodeLine)(const unsigned char*, char*)) {
    char* p = out;
    const size_t wholeLines = encodeLine != nullptr ? byteCount / kBytesPerLine : 0;
    for (size_t line = 0; line < wholeLines; ++line, data += kBytesPerLine) {
        encodeLine(data, p);
        p += kLineLength;
        *p++ = '\r';
        *p++ = '\n';
    }
    std::string run;
    if (EncodeBase64(run, data, byteCount - wholeLines * kBytesPerLine) < 0)
        return false;
    for (size_t at = 0; at < run.size(); at += kLineLength) {
        const size_t n = std::min(kLineLength, run.size() - at);
        std::memcpy(p, run.data() + at, n);
        p += n;
        *p++ = '\r';
        *p++ = '\n';
    }
    written = static_cast<size_t>(p - out);
    return true;
}

}  // namespace

size_t Base64LinesRoom(size_t byteCount) {
    size_t run = (byteCount + 2) / 3 * 4;
    return run / kLineLength * 2 + 3 + run;
}

bool HasBase64Isa(Base64Isa isa) {
#ifdef SMTPMAIL_BASE64_X86
    static const bool bSsse3 = __builtin_cpu_supports("ssse3");
    static const bool bVbmi = __builtin_cpu_supports("avx512f") &&
                              __builtin_cpu_supports("avx512bw") &&
                              __builtin_cpu_supports("avx512vbmi");
    switch (isa) {
        case Base64Isa::Portable:
            return true;
        case Base64Isa::Ssse3:
            return bSsse3;
        case Base64Isa::Avx512Vbmi:
            return bVbmi;
    }
    return false;
#else
    return isa == Base64Isa::Portable;
#endif
}

bool WriteBase64LinesWith(Base64Isa isa, const unsigned char* data, size_t byteCount, char* out,
                          size_t& written) {
#ifdef SMTPMAIL_BASE64_X86
    if (isa == Base64Isa::Avx512Vbmi)
        return WriteLines(data, byteCount, out, written, EncodeLineVbmi);
    if (isa == Base64Isa::Ssse3)
        return WriteLines(data, byteCount, out, written, EncodeLineSsse3);
#endif
    static_cast<void>(isa);
    return WriteLines(data, byteCount, out, written, nullptr);
}

bool WriteBase64Lines(const unsigned char* data, size_t byteCount, char* out, size_t& written) {
    static const Base64Isa best = HasBase64Isa(Base64Isa::Avx512Vbmi) ? Base64Isa::Avx512Vbmi
                                  : HasBase64Isa(Base64Isa::Ssse3)    ? Base64Isa::Ssse3
                                                                      : Base64Isa::Portable;
    return WriteBase64LinesWith(best, data, byteCount, out, written);
}
