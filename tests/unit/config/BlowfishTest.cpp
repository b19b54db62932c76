#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BlowfishPiTables.h"
#include "config/Blowfish.h"

namespace {

std::vector<std::uint8_t> Hex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string ToHex(const std::uint8_t* p, size_t n) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// The key the store's schedule was expanded from (scripts/gen_blowfish_schedule.py).
const std::vector<std::uint8_t> kStoreKey = Hex("4f72626973756974652f534d54502026");

}  // namespace

// Eric Young's published ECB vectors: key, plaintext, ciphertext.
TEST(Blowfish, PublishedVectors) {
    struct Vector {
        const char* key;
        const char* plain;
        const char* cipher;
    };
    const Vector vectors[] = {
        {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
        {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
        {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
        {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
        {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
        {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
        {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
        {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
        {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    };
    for (const Vector& v : vectors) {
        BlowfishSchedule k = ExpandBlowfishKey(Hex(v.key));
        std::vector<std::uint8_t> plain = Hex(v.plain);
        std::uint32_t l =
            static_cast<std::uint32_t>(plain[0]) << 24 | plain[1] << 16 | plain[2] << 8 | plain[3];
        std::uint32_t r =
            static_cast<std::uint32_t>(plain[4]) << 24 | plain[5] << 16 | plain[6] << 8 | plain[7];
        BlowfishEncipherBlock(k, l, r);
        char got[17];
        std::snprintf(got, sizeof got, "%08X%08X", l, r);
        EXPECT_STREQ(got, v.cipher) << "key " << v.key;
        BlowfishDecipherBlock(k, l, r);
        char back[17];
        std::snprintf(back, sizeof back, "%08X%08X", l, r);
        EXPECT_STREQ(back, v.plain) << "key " << v.key;
    }
}

TEST(Blowfish, StoreScheduleIsTheKeySetUpOfTheFixedKey) {
    BlowfishSchedule expected = ExpandBlowfishKey(kStoreKey);
    EXPECT_EQ(std::memcmp(&expected, &g_StoreBlowfishSchedule, sizeof expected), 0);
}

TEST(Blowfish, Cfb64RoundTripsAndLeavesTheScheduleUntouched) {
    BlowfishSchedule before = g_StoreBlowfishSchedule;
    std::vector<std::uint8_t> plain(1000);
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<std::uint8_t>(i * 7 + 3);
    std::vector<std::uint8_t> cipher(plain.size()), back(plain.size());
    BlowfishCfb64Encipher(plain.data(), cipher.data(), plain.size());
    EXPECT_NE(cipher, plain);
    BlowfishCfb64Decipher(cipher.data(), back.data(), cipher.size());
    EXPECT_EQ(back, plain);
    // Every call starts afresh: the same input gives the same output.
    std::vector<std::uint8_t> again(plain.size());
    BlowfishCfb64Encipher(plain.data(), again.data(), plain.size());
    EXPECT_EQ(again, cipher);
    // In place works too.
    std::vector<std::uint8_t> inPlace = plain;
    BlowfishCfb64Encipher(inPlace.data(), inPlace.data(), inPlace.size());
    EXPECT_EQ(inPlace, cipher);
    EXPECT_EQ(std::memcmp(&before, &g_StoreBlowfishSchedule, sizeof before), 0);
}

TEST(Blowfish, Cfb64FeedbackFollowsTheCiphertext) {
    // A changed byte changes itself and, through the feedback, the next block
    // only from the next group of eight on.
    std::vector<std::uint8_t> a(24, 'A'), b = a;
    b[3] = 'B';
    std::vector<std::uint8_t> ca(24), cb(24);
    BlowfishCfb64Encipher(a.data(), ca.data(), 24);
    BlowfishCfb64Encipher(b.data(), cb.data(), 24);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(ca[i] == cb[i], i != 3) << i;
    EXPECT_NE(std::memcmp(ca.data() + 8, cb.data() + 8, 8), 0);
}

// Our CFB-64 against OpenSSL's Blowfish CFB-64 (legacy provider) with the
// store's key and a zero IV, for every length from 0 to 100.
TEST(Blowfish, Cfb64MatchesOpenSsl) {
    if (std::system(
            "openssl enc -bf-cfb -provider legacy -provider default -K 00 -iv 00 -in /dev/null "
            "-out /dev/null 2>/dev/null") != 0) {
        // scripts/install-deps.sh installs it; in CI its absence is a failure.
        const char* ci = std::getenv("CI");
        if (ci != nullptr && *ci != 0 && std::strcmp(ci, "false") != 0 && std::strcmp(ci, "0") != 0)
            FAIL() << "openssl with the legacy provider is not available";
        GTEST_SKIP() << "openssl with the legacy provider is not available";
    }
    std::string dir = ::testing::TempDir() + "/bf-openssl-" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    std::string in = dir + "/in", out = dir + "/out";
    std::string key = ToHex(kStoreKey.data(), kStoreKey.size());
    for (size_t n = 0; n <= 100; ++n) {
        std::vector<std::uint8_t> plain(n);
        for (size_t i = 0; i < n; ++i)
            plain[i] = static_cast<std::uint8_t>((i * 37 + n) & 0xFF);
        {
            std::ofstream f(in, std::ios::binary);
            f.write(reinterpret_cast<const char*>(plain.data()), static_cast<std::streamsize>(n));
        }
        std::string cmd = "openssl enc -bf-cfb -provider legacy -provider default -nosalt -K " +
                          key + " -iv 0000000000000000 -in " + in + " -out " + out + " 2>/dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        std::ifstream f(out, std::ios::binary);
        std::vector<std::uint8_t> expected((std::istreambuf_iterator<char>(f)),
                                           std::istreambuf_iterator<char>());
        std::vector<std::uint8_t> ours(n);
        BlowfishCfb64Encipher(plain.data(), ours.data(), n);
        EXPECT_EQ(ToHex(ours.data(), n), ToHex(expected.data(), expected.size())) << "length " << n;
    }
    std::filesystem::remove_all(dir);
}
