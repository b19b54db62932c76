#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mime/Base64Lines.h"
#include "vxutil.h"

namespace {

// The layout the lines must have: the one unbroken run, cut into lines of 76.
std::string RunCutIntoLines(const std::vector<unsigned char>& bytes) {
    std::string run;
    EncodeBase64(run, bytes.data(), bytes.size());
    std::string lines;
    for (size_t at = 0; at < run.size(); at += 76)
        lines += run.substr(at, 76) + "\r\n";
    return lines;
}

using Writer = size_t (*)(const unsigned char*, size_t, char*);

std::string Lines(const std::vector<unsigned char>& bytes, Writer write) {
    size_t room = Base64LinesRoom(bytes.size());
    std::string out(room, '\xAA');
    size_t written = write(bytes.data(), bytes.size(), out.data());
    EXPECT_LT(written, room) << "room for the closing NUL";
    EXPECT_EQ(out.find_first_not_of('\xAA', written), std::string::npos)
        << "nothing written past the count";
    return out.substr(0, written);
}

std::vector<unsigned char> Pattern(size_t n) {
    std::vector<unsigned char> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<unsigned char>((i * 131 + i / 251) & 0xFF);
    return bytes;
}

}  // namespace

// The exact layout of a few sizes is checked on attachment bodies.
TEST(Base64Lines, EqualToTheRunCutIntoLinesAtEverySize) {
    // Small sizes around line and group edges, and sizes around the blocks the
    // writer encodes at a time.
    std::vector<size_t> sizes;
    for (size_t n = 0; n <= 240; ++n)
        sizes.push_back(n);
    for (size_t block : {size_t{57 * 1024}, size_t{2 * 57 * 1024}}) {
        for (size_t d = 0; d < 5; ++d) {
            sizes.push_back(block - d);
            sizes.push_back(block + d);
        }
    }
    sizes.push_back(3 * 57 * 1024 + 58);
    for (size_t n : sizes) {
        std::vector<unsigned char> bytes = Pattern(n);
        const std::string expected = RunCutIntoLines(bytes);
        ASSERT_EQ(Lines(bytes, WriteBase64Lines), expected) << n << " bytes";
        ASSERT_EQ(Lines(bytes, WriteBase64LinesPortable), expected) << n << " bytes, portable";
    }
}
