// MD5 (RFC 1321) and the HMAC-MD5 under CRAM-MD5 (RFC 2104): published
// vectors, and OpenSSL as an independent implementation for every length
// around the block boundaries.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <random>
#include <string>

#include "smtp/MD5.h"
#include "smtp/TSMTPConnection.h"

namespace {

std::string Hex(const unsigned char* bytes, std::size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

// The digest of the data fed in pieces of the given size.
std::string Md5Hex(const std::string& data, std::size_t piece = std::string::npos) {
    MD5Context context;
    MD5Init(&context);
    for (std::size_t at = 0; at < data.size(); at += piece) {
        const std::size_t n = std::min(piece, data.size() - at);
        MD5Update(&context, reinterpret_cast<const unsigned char*>(data.data() + at), n);
    }
    unsigned char digest[16];
    MD5Final(digest, &context);
    return Hex(digest, 16);
}

std::string HmacHex(const std::string& data, const std::string& key) {
    unsigned char digest[16];
    TSMTPConnection::MD5Digest(
        reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()),
        reinterpret_cast<const unsigned char*>(key.data()), static_cast<int>(key.size()), digest);
    return Hex(digest, 16);
}

std::string Random(std::mt19937& random, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i)
        s += static_cast<char>(random());
    return s;
}

}  // namespace

TEST(MD5, Rfc1321VectorsAndPiecewiseUpdates) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    // Pieces that straddle the 64-byte blocks in every way.
    std::mt19937 random(1321);
    const std::string data = Random(random, 1000);
    for (std::size_t piece : {1u, 55u, 56u, 63u, 64u, 65u})
        EXPECT_EQ(Md5Hex(data, piece), Md5Hex(data)) << "pieces of " << piece;
}

// RFC 2195's example; OpenSSL for keys and data around the block size (a
// longer key is hashed first).
TEST(HmacMd5, AgreesWithOpenSslForKeysAndDataAroundTheBlockSize) {
    EXPECT_EQ(HmacHex("<1896.697170952@postoffice.reston.mci.net>", "tanstaaftanstaaf"),
              "b913a602c7eda7a495b4e6e7334d3890");
    std::mt19937 random(2104);
    for (std::size_t keyLength : {0u, 1u, 16u, 63u, 64u, 65u, 100u, 300u}) {
        for (std::size_t dataLength : {0u, 1u, 55u, 56u, 64u, 119u, 120u, 1000u}) {
            const std::string key = Random(random, keyLength);
            const std::string data = Random(random, dataLength);
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()),
                 reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &length);
            EXPECT_EQ(HmacHex(data, key), Hex(digest, length))
                << "key " << keyLength << ", data " << dataLength;
        }
    }
}
