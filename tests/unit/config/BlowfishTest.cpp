// Our Blowfish against OpenSSL's (the store uses one key, and CFB-64 only
// the block cipher's forward direction).
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level Blowfish calls are all we need
#include <openssl/blowfish.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/Blowfish.h"

namespace {

std::vector<std::uint8_t> Hex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

BlowfishSchedule ExpandKey(const std::vector<std::uint8_t>& key) {
    BF_KEY bf;
    BF_set_key(&bf, static_cast<int>(key.size()), key.data());
    static_assert(sizeof bf == sizeof(BlowfishSchedule));
    BlowfishSchedule schedule;
    std::memcpy(&schedule, &bf, sizeof schedule);
    return schedule;
}

// The key the store's schedule was expanded from (scripts/gen_blowfish_schedule.py).
const std::vector<std::uint8_t> kStoreKey = Hex("4f72626973756974652f534d54502026");

}  // namespace

TEST(Blowfish, StoreScheduleIsTheKeySetUpOfTheFixedKey) {
    const BlowfishSchedule expected = ExpandKey(kStoreKey);
    EXPECT_EQ(std::memcmp(&expected, &g_StoreBlowfishSchedule, sizeof expected), 0);
}

// Every call starts afresh, with a zero IV.
TEST(Blowfish, Cfb64MatchesOpenSslAndRoundTrips) {
    const BlowfishSchedule before = g_StoreBlowfishSchedule;
    BF_KEY bf;
    BF_set_key(&bf, static_cast<int>(kStoreKey.size()), kStoreKey.data());
    for (size_t n = 0; n <= 100; ++n) {
        SCOPED_TRACE(n);
        std::vector<std::uint8_t> plain(n), expected(n), ours(n), back(n);
        for (size_t i = 0; i < n; ++i)
            plain[i] = static_cast<std::uint8_t>((i * 37 + n) & 0xFF);
        unsigned char iv[8] = {};
        int num = 0;
        BF_cfb64_encrypt(plain.data(), expected.data(), static_cast<long>(n), &bf, iv, &num,
                         BF_ENCRYPT);
        BlowfishCfb64Encipher(plain.data(), ours.data(), n);
        EXPECT_EQ(ours, expected);
        BlowfishCfb64Decipher(ours.data(), back.data(), n);
        EXPECT_EQ(back, plain);
        BlowfishCfb64Encipher(plain.data(), plain.data(), n);
        EXPECT_EQ(plain, expected) << "in place, and the same as the first call";
    }
    EXPECT_EQ(std::memcmp(&before, &g_StoreBlowfishSchedule, sizeof before), 0);
}
