#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vxutil.h"

namespace {

std::string Encode(const std::string& bytes) {
    std::string out = "garbage that must be replaced";
    EncodeBase64(out, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return out;
}

// Decodes into a buffer sized as the callers size it, with guard bytes after it.
int Decode(const std::u16string& text, std::string& bytes) {
    size_t size = (text.size() * 3) / 4 + 3;
    std::vector<unsigned char> buffer(size + 16, 0xAB);
    int n = DecodeBase64(buffer.data(), text.c_str(), static_cast<int>(text.size()));
    for (size_t i = size; i < buffer.size(); ++i)
        EXPECT_EQ(buffer[i], 0xAB) << "wrote past the buffer";
    bytes.assign(buffer.begin(), buffer.begin() + (n > 0 ? n : 0));
    return n;
}

}  // namespace

TEST(Base64, EncodesTheStandardTestVectorsAsOneRun) {
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Encode("f"), "Zg==");
    EXPECT_EQ(Encode("fo"), "Zm8=");
    EXPECT_EQ(Encode("foo"), "Zm9v");
    EXPECT_EQ(Encode("foobar"), "Zm9vYmFy");
    std::string long_input(300, 'x');
    std::string encoded = Encode(long_input);
    EXPECT_EQ(encoded.size(), 400u);
    EXPECT_EQ(encoded.find('\n'), std::string::npos);
}

TEST(Base64, DecodesWhatItEncodesForEveryByteValue) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    for (size_t len = 0; len <= all.size(); len += 37) {
        std::string input = all.substr(0, len);
        std::string encoded = Encode(input);
        std::string decoded;
        ASSERT_EQ(Decode(std::u16string(encoded.begin(), encoded.end()), decoded),
                  static_cast<int>(len));
        EXPECT_EQ(decoded, input);
    }
}

TEST(Base64, SkipsLineBreaksAndAcceptsUnpaddedText) {
    std::string decoded;
    EXPECT_EQ(Decode(u"Zm9v\r\nYmFy\r\n", decoded), 6);
    EXPECT_EQ(decoded, "foobar");
    EXPECT_EQ(Decode(u"Zm8", decoded), 2);
    EXPECT_EQ(decoded, "fo");
}

TEST(Base64, RefusesInvalidTextWithANegativeResult) {
    std::string decoded;
    EXPECT_LT(Decode(u"Zm9v!", decoded), 0);
    EXPECT_LT(Decode(u"Z", decoded), 0);
    EXPECT_LT(Decode(u"Z===", decoded), 0);
    EXPECT_LT(Decode(u"Zg==Zg==", decoded), 0);
    EXPECT_LT(Decode(u"Zg=", decoded), 0);
    EXPECT_LT(Decode(u"Zm9v\u00e9", decoded), 0);
}
