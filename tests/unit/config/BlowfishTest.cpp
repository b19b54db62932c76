// Our Blowfish against OpenSSL's (the store uses one key, and CFB-64 only
// the block cipher's forward direction).
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level Blowfish calls are all we need
#include <openssl/blowfish.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "config/Blowfish.h"

// The store's schedule is the key set-up of its key (scripts/gen_blowfish_schedule.py);
// CFB-64 with a zero IV starts afresh at every call.
TEST(Blowfish, TheStoreScheduleAndCfb64MatchOpenSsl) {
    const unsigned char kStoreKey[] = "Orbisuite/SMTP &";
    BF_KEY bf;
    BF_set_key(&bf, 16, kStoreKey);
    static_assert(sizeof bf == sizeof(BlowfishSchedule));
    EXPECT_EQ(std::memcmp(&bf, &g_StoreBlowfishSchedule, sizeof bf), 0);
    const BlowfishSchedule before = g_StoreBlowfishSchedule;
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
