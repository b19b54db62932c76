// The HMAC-MD5 under CRAM-MD5 (RFC 2104), and with it MD5 (RFC 1321): OpenSSL
// as an independent implementation for every length around the block
// boundaries, the key's and the data's.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <random>
#include <string>

#include "smtp/TSMTPConnection.h"

namespace {

std::string Hex(const unsigned char* bytes, std::size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += {kDigits[bytes[i] >> 4], kDigits[bytes[i] & 15]};
    return text;
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
