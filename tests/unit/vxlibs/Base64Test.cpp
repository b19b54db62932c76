#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogCapture.h"
#include "vxutil.h"

namespace {

std::string Encode(const std::string& bytes) {
    std::string out = "garbage that must be replaced";
    EncodeBase64(out, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return out;
}

// Into a buffer sized as the callers size it, guard bytes after it.
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

// That any bytes decode back is the base64 fuzz target's check.
TEST(Base64, EncodesAsOneRunAndDecodesWhatItEncodesOnly) {
    for (const auto& [bytes, text] : {std::pair{"", ""},
                                      {"f", "Zg=="},
                                      {"fo", "Zm8="},
                                      {"foobar", "Zm9vYmFy"},
                                      {"\xff\xfe", "//4="}})
        EXPECT_EQ(Encode(bytes), text);
    std::string x300;  // one run, no line breaks
    for (int i = 0; i < 100; ++i)
        x300 += "eHh4";
    EXPECT_EQ(Encode(std::string(300, 'x')), x300);
    std::string decoded;
    for (const auto& [text, bytes] : {std::pair{u"Zm9v\r\nYmFy\r\n", "foobar"},
                                      {u"Zm8", "fo"},
                                      {u"Zm8=", "fo"},
                                      {u"Zg==", "f"}}) {
        EXPECT_EQ(Decode(text, decoded), static_cast<int>(std::string(bytes).size()));
        EXPECT_EQ(decoded, bytes);
    }
    for (const char16_t* text : {u"Zm9v!", u"Z", u"Z===", u"Zg==Zg==", u"Zg=", u"Zm9v\u00e9"})
        EXPECT_LT(Decode(text, decoded), 0) << ToUtf8(text);
}
