// IsTextUnicode: does a block of bytes look like UTF-16LE text? The same
// statistical tests the Windows function applies, reproduced portably so that
// the configuration store reads the same records the same way on every system.
//
// The tests look at the first 256 characters. A last byte of 0 is not counted
// (a terminator must not make text look like UTF-16 by itself). Results:
//  - fewer than two bytes, or an odd byte count: not UTF-16;
//  - a reversed byte-order mark (FF FE read as U+FFFE) at the start, more than
//    half the characters being Latin-1 only when their bytes are swapped, or
//    byte-swapped line ends/tabs/blanks (0x0D00, 0x0A00, 0x0900, 0x2000): not
//    UTF-16 (another byte order);
//  - illegal characters (U+FFFF, an embedded U+FFFE, an embedded U+0000): not
//    UTF-16;
//  - a zero high or low byte in some character (ASCII text has none): UTF-16;
//  - otherwise UTF-16 when the text starts with the byte-order mark U+FEFF,
//    when it holds a line end, tab, blank or ideographic space as a whole
//    character, or when the statistics fit: more than half the characters
//    below U+0100; or more than half in U+0100..U+1FFF (Greek, Cyrillic,
//    Hebrew, Arabic, ...: a control character as high byte, rare in 8-bit
//    text); or the high byte unchanged between most neighbours while the low
//    bytes change more often; or any byte that 8-bit text does not hold (a
//    control character other than tab and line ends, DEL, or a byte that
//    Windows-1252 leaves undefined).
// A short run of CJK characters without such a byte may still be taken for
// 8-bit text, as on Windows. ANSI text of even length counts as UTF-16 only
// when it happens to contain such bytes; the classic Windows misreading of
// all-letter ASCII ("Bush hid the facts") is deliberately not reproduced.
#pragma once

#include "platform/WinTypes.h"

// On Windows the test bits come from the system headers, with these values.
#if !defined(_WIN32)
constexpr int IS_TEXT_UNICODE_ASCII16 = 0x0001;
constexpr int IS_TEXT_UNICODE_STATISTICS = 0x0002;
constexpr int IS_TEXT_UNICODE_CONTROLS = 0x0004;
constexpr int IS_TEXT_UNICODE_SIGNATURE = 0x0008;
constexpr int IS_TEXT_UNICODE_REVERSE_ASCII16 = 0x0010;
constexpr int IS_TEXT_UNICODE_REVERSE_STATISTICS = 0x0020;
constexpr int IS_TEXT_UNICODE_REVERSE_CONTROLS = 0x0040;
constexpr int IS_TEXT_UNICODE_REVERSE_SIGNATURE = 0x0080;
constexpr int IS_TEXT_UNICODE_ILLEGAL_CHARS = 0x0100;
constexpr int IS_TEXT_UNICODE_ODD_LENGTH = 0x0200;
constexpr int IS_TEXT_UNICODE_DBCS_LEADBYTE = 0x0400;
constexpr int IS_TEXT_UNICODE_NULL_BYTES = 0x1000;
constexpr int IS_TEXT_UNICODE_UNICODE_MASK = 0x000F;
constexpr int IS_TEXT_UNICODE_REVERSE_MASK = 0x00F0;
constexpr int IS_TEXT_UNICODE_NOT_UNICODE_MASK = 0x0F00;
constexpr int IS_TEXT_UNICODE_NOT_ASCII_MASK = 0xF000;
#endif

namespace platform {

// pResult null: all tests. Otherwise *pResult selects the tests on entry and
// holds those that passed on return.
bool IsTextUnicode(const void* pBuffer, int cb, int* pResult = nullptr);

}  // namespace platform
