// MD5 message digest (RFC 1321): the hash under the HMAC-MD5 of the CRAM-MD5
// login. Our own code, so that no platform hash service is needed.
#pragma once

#include <cstddef>
#include <cstdint>

struct MD5Context {
    std::uint32_t state[4];  // A, B, C, D
    std::uint32_t count[2];  // number of bits hashed, low word first
    unsigned char buffer[64];
};

void MD5Init(MD5Context* context);
void MD5Update(MD5Context* context, const unsigned char* input, std::size_t inputLen);
// Pads, writes the 16-byte digest and wipes the context.
void MD5Final(unsigned char digest[16], MD5Context* context);
