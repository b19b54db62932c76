// Blowfish's initial tables (the hexadecimal digits of pi) and the standard key
// set-up on top of them, so that tests can expand keys of their own.
#pragma once

#include <cstdint>
#include <vector>

#include "config/Blowfish.h"

extern const BlowfishSchedule g_BlowfishPiSchedule;

// The published key set-up: key XORed into P, then P and S replaced by
// enciphering the running block, starting from zero.
inline BlowfishSchedule ExpandBlowfishKey(const std::vector<std::uint8_t>& key) {
    BlowfishSchedule k = g_BlowfishPiSchedule;
    size_t j = 0;
    for (auto& p : k.P) {
        std::uint32_t data = 0;
        for (int n = 0; n < 4; ++n) {
            data = (data << 8) | key[j];
            j = (j + 1) % key.size();
        }
        p ^= data;
    }
    std::uint32_t l = 0, r = 0;
    for (int i = 0; i < 18; i += 2) {
        BlowfishEncipherBlock(k, l, r);
        k.P[i] = l;
        k.P[i + 1] = r;
    }
    for (auto& box : k.S) {
        for (int i = 0; i < 256; i += 2) {
            BlowfishEncipherBlock(k, l, r);
            box[i] = l;
            box[i + 1] = r;
        }
    }
    return k;
}
