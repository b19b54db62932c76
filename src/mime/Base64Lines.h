// Base64 text in the layout of MIME bodies: lines of 76 characters, each one,
// the last included, followed by CRLF. The lines are written straight into the
// caller's block, so a large attachment is never held as one unbroken run and
// again as lines. The Base64 itself is vxutil's EncodeBase64; whole lines go
// faster with the vector instructions the processor has.
#pragma once

#include <cstddef>

// Bytes a block needs for the lines of byteCount input bytes and a closing
// NUL: (run / 76) * 2 + 3 + run, where run is the length of the Base64 text.
size_t Base64LinesRoom(size_t byteCount);

// Writes the lines for the bytes into out, which holds at least
// Base64LinesRoom(byteCount) bytes, and sets written to the number of bytes
// written (no NUL is written). The result equals EncodeBase64 of all the bytes
// cut into lines of 76 characters. False when there was no memory.
bool WriteBase64Lines(const unsigned char* data, size_t byteCount, char* out, size_t& written);

// The instruction sets the lines can be written with; all give the same
// bytes. WriteBase64Lines takes the fastest the processor has.
enum class Base64Isa { Portable, Ssse3, Avx512Vbmi };

bool HasBase64Isa(Base64Isa isa);

// WriteBase64Lines with the given instructions, which the processor has.
bool WriteBase64LinesWith(Base64Isa isa, const unsigned char* data, size_t byteCount, char* out,
                          size_t& written);
