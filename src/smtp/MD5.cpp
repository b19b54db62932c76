#include "smtp/MD5.h"

#include <cstring>

namespace {

// Per-round shift amounts.
constexpr unsigned S11 = 7, S12 = 12, S13 = 17, S14 = 22;
constexpr unsigned S21 = 5, S22 = 9, S23 = 14, S24 = 20;
constexpr unsigned S31 = 4, S32 = 11, S33 = 16, S34 = 23;
constexpr unsigned S41 = 6, S42 = 10, S43 = 15, S44 = 21;

const unsigned char kPadding[64] = {0x80};

inline std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & y) | (~x & z);
}
inline std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & z) | (y & ~z);
}
inline std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return x ^ y ^ z;
}
inline std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (x | ~z);
}

inline std::uint32_t RotateLeft(std::uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

inline void FF(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
               unsigned s, std::uint32_t ac) {
    a = RotateLeft(a + F(b, c, d) + x + ac, s) + b;
}
inline void GG(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
               unsigned s, std::uint32_t ac) {
    a = RotateLeft(a + G(b, c, d) + x + ac, s) + b;
}
inline void HH(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
               unsigned s, std::uint32_t ac) {
    a = RotateLeft(a + H(b, c, d) + x + ac, s) + b;
}
inline void II(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
               unsigned s, std::uint32_t ac) {
    a = RotateLeft(a + I(b, c, d) + x + ac, s) + b;
}

// Little-endian words to bytes and back, independent of the host's byte order.
void Encode(unsigned char* output, const std::uint32_t* input, std::size_t len) {
    for (std::size_t i = 0, j = 0; j < len; ++i, j += 4) {
        output[j] = static_cast<unsigned char>(input[i] & 0xff);
        output[j + 1] = static_cast<unsigned char>((input[i] >> 8) & 0xff);
        output[j + 2] = static_cast<unsigned char>((input[i] >> 16) & 0xff);
        output[j + 3] = static_cast<unsigned char>((input[i] >> 24) & 0xff);
    }
}

void Decode(std::uint32_t* output, const unsigned char* input, std::size_t len) {
    for (std::size_t i = 0, j = 0; j < len; ++i, j += 4) {
        output[i] = static_cast<std::uint32_t>(input[j]) |
                    (static_cast<std::uint32_t>(input[j + 1]) << 8) |
                    (static_cast<std::uint32_t>(input[j + 2]) << 16) |
                    (static_cast<std::uint32_t>(input[j + 3]) << 24);
    }
}

void Transform(std::uint32_t state[4], const unsigned char block[64]) {
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t x[16];
    Decode(x, block, 64);

    // Round 1
    FF(a, b, c, d, x[0], S11, 0xd76aa478);
    FF(d, a, b, c, x[1], S12, 0xe8c7b756);
    FF(c, d, a, b, x[2], S13, 0x242070db);
    FF(b, c, d, a, x[3], S14, 0xc1bdceee);
    FF(a, b, c, d, x[4], S11, 0xf57c0faf);
    FF(d, a, b, c, x[5], S12, 0x4787c62a);
    FF(c, d, a, b, x[6], S13, 0xa8304613);
    FF(b, c, d, a, x[7], S14, 0xfd469501);
    FF(a, b, c, d, x[8], S11, 0x698098d8);
    FF(d, a, b, c, x[9], S12, 0x8b44f7af);
    FF(c, d, a, b, x[10], S13, 0xffff5bb1);
    FF(b, c, d, a, x[11], S14, 0x895cd7be);
    FF(a, b, c, d, x[12], S11, 0x6b901122);
    FF(d, a, b, c, x[13], S12, 0xfd987193);
    FF(c, d, a, b, x[14], S13, 0xa679438e);
    FF(b, c, d, a, x[15], S14, 0x49b40821);

    // Round 2
    GG(a, b, c, d, x[1], S21, 0xf61e2562);
    GG(d, a, b, c, x[6], S22, 0xc040b340);
    GG(c, d, a, b, x[11], S23, 0x265e5a51);
    GG(b, c, d, a, x[0], S24, 0xe9b6c7aa);
    GG(a, b, c, d, x[5], S21, 0xd62f105d);
    GG(d, a, b, c, x[10], S22, 0x02441453);
    GG(c, d, a, b, x[15], S23, 0xd8a1e681);
    GG(b, c, d, a, x[4], S24, 0xe7d3fbc8);
    GG(a, b, c, d, x[9], S21, 0x21e1cde6);
    GG(d, a, b, c, x[14], S22, 0xc33707d6);
    GG(c, d, a, b, x[3], S23, 0xf4d50d87);
    GG(b, c, d, a, x[8], S24, 0x455a14ed);
    GG(a, b, c, d, x[13], S21, 0xa9e3e905);
    GG(d, a, b, c, x[2], S22, 0xfcefa3f8);
    GG(c, d, a, b, x[7], S23, 0x676f02d9);
    GG(b, c, d, a, x[12], S24, 0x8d2a4c8a);

    // Round 3
    HH(a, b, c, d, x[5], S31, 0xfffa3942);
    HH(d, a, b, c, x[8], S32, 0x8771f681);
    HH(c, d, a, b, x[11], S33, 0x6d9d6122);
    HH(b, c, d, a, x[14], S34, 0xfde5380c);
    HH(a, b, c, d, x[1], S31, 0xa4beea44);
    HH(d, a, b, c, x[4], S32, 0x4bdecfa9);
    HH(c, d, a, b, x[7], S33, 0xf6bb4b60);
    HH(b, c, d, a, x[10], S34, 0xbebfbc70);
    HH(a, b, c, d, x[13], S31, 0x289b7ec6);
    HH(d, a, b, c, x[0], S32, 0xeaa127fa);
    HH(c, d, a, b, x[3], S33, 0xd4ef3085);
    HH(b, c, d, a, x[6], S34, 0x04881d05);
    HH(a, b, c, d, x[9], S31, 0xd9d4d039);
    HH(d, a, b, c, x[12], S32, 0xe6db99e5);
    HH(c, d, a, b, x[15], S33, 0x1fa27cf8);
    HH(b, c, d, a, x[2], S34, 0xc4ac5665);

    // Round 4
    II(a, b, c, d, x[0], S41, 0xf4292244);
    II(d, a, b, c, x[7], S42, 0x432aff97);
    II(c, d, a, b, x[14], S43, 0xab9423a7);
    II(b, c, d, a, x[5], S44, 0xfc93a039);
    II(a, b, c, d, x[12], S41, 0x655b59c3);
    II(d, a, b, c, x[3], S42, 0x8f0ccc92);
    II(c, d, a, b, x[10], S43, 0xffeff47d);
    II(b, c, d, a, x[1], S44, 0x85845dd1);
    II(a, b, c, d, x[8], S41, 0x6fa87e4f);
    II(d, a, b, c, x[15], S42, 0xfe2ce6e0);
    II(c, d, a, b, x[6], S43, 0xa3014314);
    II(b, c, d, a, x[13], S44, 0x4e0811a1);
    II(a, b, c, d, x[4], S41, 0xf7537e82);
    II(d, a, b, c, x[11], S42, 0xbd3af235);
    II(c, d, a, b, x[2], S43, 0x2ad7d2bb);
    II(b, c, d, a, x[9], S44, 0xeb86d391);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;

    // The block may hold key material.
    std::memset(x, 0, sizeof(x));
}

}  // namespace

void MD5Init(MD5Context* context) {
    context->count[0] = context->count[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
    std::memset(context->buffer, 0, sizeof(context->buffer));
}

void MD5Update(MD5Context* context, const unsigned char* input, std::size_t inputLen) {
    if (inputLen == 0) {
        return;
    }
    std::size_t index = (context->count[0] >> 3) & 0x3F;

    // Bit count in two halves; the carry goes into the high word.
    const std::uint64_t bits = static_cast<std::uint64_t>(inputLen) << 3;
    const std::uint32_t low = static_cast<std::uint32_t>(bits);
    context->count[0] += low;
    if (context->count[0] < low) {
        context->count[1]++;
    }
    context->count[1] += static_cast<std::uint32_t>(bits >> 32);

    const std::size_t partLen = 64 - index;
    std::size_t i = 0;
    if (inputLen >= partLen) {
        std::memcpy(&context->buffer[index], input, partLen);
        Transform(context->state, context->buffer);
        for (i = partLen; i + 63 < inputLen; i += 64) {
            Transform(context->state, &input[i]);
        }
        index = 0;
    }
    std::memcpy(&context->buffer[index], &input[i], inputLen - i);
}

void MD5Final(unsigned char digest[16], MD5Context* context) {
    unsigned char bits[8];
    Encode(bits, context->count, 8);

    // Pad to 56 mod 64, then append the length before padding.
    const std::size_t index = (context->count[0] >> 3) & 0x3f;
    const std::size_t padLen = (index < 56) ? (56 - index) : (120 - index);
    MD5Update(context, kPadding, padLen);
    MD5Update(context, bits, 8);

    Encode(digest, context->state, 16);
    std::memset(context, 0, sizeof(*context));
}
