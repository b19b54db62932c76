// Blowfish (16 rounds, 18-word P-array, four 256-word S-boxes) and the 64-bit
// cipher-feedback mode the configuration store uses. No key is expanded at run
// time: the store's schedule is fixed data (BlowfishKeySchedule.cpp, made by
// scripts/gen_blowfish_schedule.py), copied into fresh working tables for
// every call so that no call can see state left by another.
#pragma once

#include <cstddef>
#include <cstdint>

struct BlowfishSchedule {
    std::uint32_t P[18];
    std::uint32_t S[4][256];
};

// The store's schedule: the standard key set-up of our fixed key.
extern const BlowfishSchedule g_StoreBlowfishSchedule;

// One block: left and right halves, each the big-endian word of four bytes.
void BlowfishEncipherBlock(const BlowfishSchedule& schedule, std::uint32_t& left,
                           std::uint32_t& right);
void BlowfishDecipherBlock(const BlowfishSchedule& schedule, std::uint32_t& left,
                           std::uint32_t& right);

// CFB-64 over count bytes in one call: all-zero initialisation vector, feedback
// offset 0, no padding, so the output is as long as the input. in and out may
// be the same block. The schedule is copied before use.
void BlowfishCfb64(const BlowfishSchedule& schedule, const std::uint8_t* in, std::uint8_t* out,
                   std::size_t count, bool decipher);

// The same with the store's fixed schedule.
inline void BlowfishCfb64Encipher(const std::uint8_t* in, std::uint8_t* out, std::size_t count) {
    BlowfishCfb64(g_StoreBlowfishSchedule, in, out, count, false);
}
inline void BlowfishCfb64Decipher(const std::uint8_t* in, std::uint8_t* out, std::size_t count) {
    BlowfishCfb64(g_StoreBlowfishSchedule, in, out, count, true);
}
