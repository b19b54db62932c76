#include "platform/TextUnicode.h"

#include <cstdint>
#include <initializer_list>

namespace platform {

bool IsTextUnicode(const void* pBuffer, int cb, int* pResult) {
    int wanted = pResult != nullptr ? *pResult : ~0;
    if (pBuffer == nullptr || cb < 2) {
        if (pResult != nullptr)
            *pResult = 0;
        return false;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(pBuffer);
    int found = 0;
    if (cb & 1)
        found |= IS_TEXT_UNICODE_ODD_LENGTH;
    int len = cb;
    if (bytes[len - 1] == 0)
        --len;
    len /= 2;
    if (len > 256)
        len = 256;

    auto at = [bytes](int i) {
        return static_cast<std::uint16_t>(bytes[2 * i] | static_cast<unsigned>(bytes[2 * i + 1])
                                                             << 8);
    };
    auto swapped = [&at](int i) {
        std::uint16_t c = at(i);
        return static_cast<std::uint16_t>((c >> 8) | ((c & 0xFF) << 8));
    };

    if (len > 0 && at(0) == 0xFEFF)
        found |= IS_TEXT_UNICODE_SIGNATURE;
    if (len > 0 && at(0) == 0xFFFE)
        found |= IS_TEXT_UNICODE_REVERSE_SIGNATURE;

    int latin = 0, reverseLatin = 0, ascii = 0, reverseAscii = 0;
    int highSame = 0, highChanges = 0, lowChanges = 0, alphabetic = 0, binary = 0;
    for (int i = 0; i < len; ++i) {
        std::uint16_t c = at(i), r = swapped(i);
        if (c <= 0xFF)
            ++latin;
        if (r <= 0xFF)
            ++reverseLatin;
        if (c < 0x80)
            ++ascii;
        if (c >= 0x0100 && c < 0x2000)
            ++alphabetic;
        for (unsigned b : {static_cast<unsigned>(c & 0xFF), static_cast<unsigned>(c >> 8)}) {
            // Bytes 8-bit text does not hold: controls other than tab and
            // line ends, DEL, and the code points Windows-1252 leaves empty.
            if ((b < 0x20 && b != 0 && b != '\t' && b != '\r' && b != '\n') || b == 0x7F ||
                b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D)
                ++binary;
        }
        if (r < 0x80)
            ++reverseAscii;
        if ((c & 0xFF) == 0 || (c >> 8) == 0)
            found |= IS_TEXT_UNICODE_NULL_BYTES;
        if (c == u'\r' || c == u'\n' || c == u'\t' || c == u' ' || c == 0x3000)
            found |= IS_TEXT_UNICODE_CONTROLS;
        if (c == 0x0D00 || c == 0x0A00 || c == 0x0900 || c == 0x2000)
            found |= IS_TEXT_UNICODE_REVERSE_CONTROLS;
        if (c == 0xFFFF || (c == 0xFFFE && i > 0) || c == 0)
            found |= IS_TEXT_UNICODE_ILLEGAL_CHARS;
        if (i > 0) {
            std::uint16_t p = at(i - 1);
            if ((p >> 8) == (c >> 8))
                ++highSame;
            else
                ++highChanges;
            if ((p & 0xFF) != (c & 0xFF))
                ++lowChanges;
        }
    }
    if (len > 0) {
        // Text of one script keeps its high bytes while the low bytes vary;
        // the byte pairs of 8-bit text vary in both. Alphabetic scripts below
        // U+2000 have a control character as high byte, which 8-bit text
        // does not have in half its bytes.
        int pairs = len - 1;
        bool oneScript = pairs > 0 && highSame * 2 > pairs && lowChanges > highChanges;
        if (latin > len / 2 || alphabetic > len / 2 || oneScript || binary > 0)
            found |= IS_TEXT_UNICODE_STATISTICS;
        if (reverseLatin > len / 2 && reverseLatin > latin)
            found |= IS_TEXT_UNICODE_REVERSE_STATISTICS;
        if (ascii == len)
            found |= IS_TEXT_UNICODE_ASCII16;
        if (reverseAscii == len && ascii != len)
            found |= IS_TEXT_UNICODE_REVERSE_ASCII16;
    }

    found &= wanted;
    if (pResult != nullptr)
        *pResult = found;
    if (found & (IS_TEXT_UNICODE_REVERSE_MASK | IS_TEXT_UNICODE_NOT_UNICODE_MASK))
        return false;
    if (found & IS_TEXT_UNICODE_NOT_ASCII_MASK)
        return true;
    return (found & IS_TEXT_UNICODE_UNICODE_MASK) != 0;
}

}  // namespace platform
