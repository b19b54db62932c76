// MD5 (RFC 1321) and the HMAC-MD5 under CRAM-MD5 (RFC 2104): published
// vectors, and OpenSSL as an independent implementation for every length
// around the block boundaries.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <random>
#include <string>
#include <vector>

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

std::string Md5Hex(const std::string& data) {
    MD5Context context;
    MD5Init(&context);
    MD5Update(&context, reinterpret_cast<const unsigned char*>(data.data()), data.size());
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

std::string OpenSslHmacHex(const std::string& data, const std::string& key) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &length);
    return Hex(digest, length);
}

}  // namespace

TEST(MD5, Rfc1321TestSuite) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Hex("1234567890123456789012345678901234567890123456789012345678901234567890"
                     "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(MD5, PiecewiseUpdatesGiveTheDigestOfTheWhole) {
    std::string data;
    std::mt19937 random(1321);
    for (int i = 0; i < 1000; ++i)
        data += static_cast<char>(random());
    const std::string whole = Md5Hex(data);
    // Pieces that straddle the 64-byte blocks in every way.
    for (std::size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 127u}) {
        MD5Context context;
        MD5Init(&context);
        for (std::size_t at = 0; at < data.size(); at += piece) {
            const std::size_t n = std::min(piece, data.size() - at);
            MD5Update(&context, reinterpret_cast<const unsigned char*>(data.data() + at), n);
        }
        unsigned char digest[16];
        MD5Final(digest, &context);
        EXPECT_EQ(Hex(digest, 16), whole) << "pieces of " << piece;
    }
}

TEST(HmacMd5, Rfc2202TestCases) {
    EXPECT_EQ(HmacHex("Hi There", std::string(16, '\x0b')), "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(HmacHex("what do ya want for nothing?", "Jefe"), "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(HmacHex(std::string(50, '\xdd'), std::string(16, '\xaa')),
              "56be34521d144c88dbb8c733f0e8b3f6");
    // Keys longer than the block are hashed first.
    EXPECT_EQ(
        HmacHex("Test Using Larger Than Block-Size Key - Hash Key First", std::string(80, '\xaa')),
        "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
    EXPECT_EQ(HmacHex("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
                      std::string(80, '\xaa')),
              "6f630fad67cda0ee1fb1f562db3aa53e");
}

TEST(HmacMd5, AgreesWithOpenSslForKeysAndDataAroundTheBlockSize) {
    std::mt19937 random(2104);
    auto bytes = [&random](std::size_t n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i)
            s += static_cast<char>(random());
        return s;
    };
    for (std::size_t keyLength : {0u, 1u, 16u, 63u, 64u, 65u, 100u, 300u}) {
        for (std::size_t dataLength : {0u, 1u, 55u, 56u, 64u, 119u, 120u, 1000u}) {
            const std::string key = bytes(keyLength);
            const std::string data = bytes(dataLength);
            EXPECT_EQ(HmacHex(data, key), OpenSslHmacHex(data, key))
                << "key " << keyLength << ", data " << dataLength;
        }
    }
}

TEST(HmacMd5, Rfc2195Example) {
    EXPECT_EQ(HmacHex("<1896.697170952@postoffice.reston.mci.net>", "tanstaaftanstaaf"),
              "b913a602c7eda7a495b4e6e7334d3890");
}

TEST(Auth2String, MechanismNamesByType) {
    EXPECT_EQ(TSMTPConnection::Auth2String(0), u"");
    EXPECT_EQ(TSMTPConnection::Auth2String(1), u"CRAM-MD5");
    EXPECT_EQ(TSMTPConnection::Auth2String(2), u"LOGIN");
    EXPECT_EQ(TSMTPConnection::Auth2String(3), u"PLAIN");
    EXPECT_EQ(TSMTPConnection::Auth2String(4), u"NTLM");
    EXPECT_EQ(TSMTPConnection::Auth2String(5), u"XOAUTH2");
    EXPECT_EQ(TSMTPConnection::Auth2String(6), u"");
    EXPECT_EQ(TSMTPConnection::Auth2String(-1), u"");
}
