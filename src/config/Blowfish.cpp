#include "config/Blowfish.h"

#include <memory>
#include <utility>

namespace {

inline std::uint32_t F(const BlowfishSchedule& k, std::uint32_t x) {
    std::uint32_t a = x >> 24, b = (x >> 16) & 0xFF, c = (x >> 8) & 0xFF, d = x & 0xFF;
    return ((k.S[0][a] + k.S[1][b]) ^ k.S[2][c]) + k.S[3][d];
}

inline std::uint32_t LoadBig(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

inline void StoreBig(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

namespace {

// The 16 rounds; deciphering runs the P-array backwards.
void Crypt(const BlowfishSchedule& k, std::uint32_t& left, std::uint32_t& right, bool decipher) {
    std::uint32_t l = left, r = right;
    for (int i = 0; i < 16; ++i) {
        l ^= k.P[decipher ? 17 - i : i];
        r ^= F(k, l);
        std::swap(l, r);
    }
    // Undo the last swap, then whiten with the last two words of P.
    std::swap(l, r);
    r ^= k.P[decipher ? 1 : 16];
    l ^= k.P[decipher ? 0 : 17];
    left = l;
    right = r;
}

}  // namespace

void BlowfishEncipherBlock(const BlowfishSchedule& k, std::uint32_t& left, std::uint32_t& right) {
    Crypt(k, left, right, false);
}

void BlowfishDecipherBlock(const BlowfishSchedule& k, std::uint32_t& left, std::uint32_t& right) {
    Crypt(k, left, right, true);
}

void BlowfishCfb64(const BlowfishSchedule& schedule, const std::uint8_t* in, std::uint8_t* out,
                   std::size_t count, bool decipher) {
    if (count == 0 || in == nullptr || out == nullptr)
        return;
    // Fresh working tables for every call (4 KiB: on the heap, not the stack).
    auto work = std::make_unique<BlowfishSchedule>(schedule);
    std::uint8_t v[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    unsigned offset = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (offset == 0) {
            std::uint32_t l = LoadBig(v), r = LoadBig(v + 4);
            BlowfishEncipherBlock(*work, l, r);
            StoreBig(v, l);
            StoreBig(v + 4, r);
        }
        std::uint8_t input = in[i];
        std::uint8_t output = static_cast<std::uint8_t>(input ^ v[offset]);
        v[offset] = decipher ? input : output;
        out[i] = output;
        offset = (offset + 1) & 7;
    }
}
