#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ScratchDir.h"
#include "SystemText.h"
#include "config/FileToMemory.h"
#include "config/SystemErrorText.h"
#include "vxstring.h"

namespace {

struct Block {
    void* p = nullptr;
    DWORD size = 0;
    ~Block() {
        if (p != nullptr)
            FreeMemory(p);
    }
    std::u16string Wide() const {
        return std::u16string(static_cast<const char16_t*>(p), size / 2);
    }
};

}  // namespace

TEST(FileToMemory, RawModeHandsOutTheBytesWithAZeroAfter) {
    ScratchDir dir;
    WriteBytes(dir.File("raw"), std::string("ab\0c", 4));
    LogCapture log;
    Block b;
    EXPECT_EQ(FileToMemory(dir.WideFile("raw").c_str(), &b.p, &b.size, 0), 0u);
    ASSERT_EQ(b.size, 4u);
    EXPECT_EQ(std::memcmp(b.p, "ab\0c\0", 5), 0);
    EXPECT_TRUE(log.Contains(u"FileToMemory() ==>"));
    EXPECT_TRUE(log.Contains(u"FileToMemory(): opening '" + dir.WideFile("raw") + u"'"));
    EXPECT_TRUE(log.Contains(u"FileToMemory() <== return 0x0;"));
}

TEST(FileToMemory, ConvertsTheThreeEncodings) {
    ScratchDir dir;
    Block utf8;
    WriteBytes(dir.File("u8"), "\xEF\xBB\xBFGr\xC3\xBC\xC3\x9F \xE2\x82\xAC");
    ASSERT_EQ(FileToMemory(dir.WideFile("u8").c_str(), &utf8.p, &utf8.size, 1), 0u);
    EXPECT_EQ(utf8.Wide(), std::u16string(u"Gr\u00FC\u00DF \u20AC\0", 7));

    Block utf16;
    WriteBytes(dir.File("u16"), std::string("\xFF\xFE"
                                            "A\0\xAC\x20",
                                            6));
    ASSERT_EQ(FileToMemory(dir.WideFile("u16").c_str(), &utf16.p, &utf16.size, 1), 0u);
    EXPECT_EQ(utf16.size, 4u);
    EXPECT_EQ(std::memcmp(utf16.p, "A\0\xAC\x20\0\0", 6), 0);

    Block ansi;
    WriteBytes(dir.File("ansi"), "caf\xE9 \x80");
    ASSERT_EQ(FileToMemory(dir.WideFile("ansi").c_str(), &ansi.p, &ansi.size, 1), 0u);
    EXPECT_EQ(ansi.Wide(), std::u16string(u"caf\u00E9 \u20AC\0", 7));
}

TEST(FileToMemory, ByteOrderMarkAloneGivesOneNul) {
    ScratchDir dir;
    WriteBytes(dir.File("bom"), "\xEF\xBB\xBF");
    Block b;
    ASSERT_EQ(FileToMemory(dir.WideFile("bom").c_str(), &b.p, &b.size, 1), 0u);
    EXPECT_EQ(b.size, 2u);
    EXPECT_EQ(static_cast<char16_t*>(b.p)[0], u'\0');
}

TEST(FileToMemory, EmptyFileConvertsToATerminator) {
    ScratchDir dir;
    WriteBytes(dir.File("empty"), "");
    Block raw, wide;
    ASSERT_EQ(FileToMemory(dir.WideFile("empty").c_str(), &raw.p, &raw.size, 0), 0u);
    EXPECT_EQ(raw.size, 0u);
    ASSERT_EQ(FileToMemory(dir.WideFile("empty").c_str(), &wide.p, &wide.size, 1), 0u);
    EXPECT_EQ(wide.size, 2u);
}

TEST(FileToMemory, FailuresGiveWin32Codes) {
    ScratchDir dir;
    LogCapture log;
    Block b;
    b.p = reinterpret_cast<void*>(1);  // must be reset
    b.size = 99;
    EXPECT_EQ(FileToMemory(dir.WideFile("missing").c_str(), &b.p, &b.size, 0),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(b.p, nullptr);
    EXPECT_EQ(b.size, 0u);
    EXPECT_TRUE(log.Contains(u"FileToMemory(): failed to open '" + dir.WideFile("missing") + u"'"));
    EXPECT_TRUE(log.Contains(u"FileToMemory() <== return 0x2;"));
    EXPECT_EQ(FileToMemory(dir.WideFile("nodir/x").c_str(), &b.p, &b.size, 0),
              ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(FileToMemory(nullptr, &b.p, &b.size, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(FileToMemory(u"x", nullptr, &b.size, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(FileToMemory(u"x", &b.p, nullptr, 0), ERROR_INVALID_PARAMETER);
}

TEST(SystemErrorText, DropsTheFullStopAndLineBreak) {
    for (DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED})
        EXPECT_EQ(SystemErrorText(code) + u".\r\n", SystemText(code));
    EXPECT_EQ(SystemErrorText(0xDEADBEEFu), u"3735928559");
}
