#include <gtest/gtest.h>

#include <filesystem>

#include <iterator>
#include <string>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "LogCapture.h"
#include "OpenDescriptors.h"
#include "ScratchDir.h"
#include "ScratchRegistry.h"
#include "platform/Profile.h"
#include "platform/Registry.h"
#include "platform/TextUnicode.h"

namespace {

std::string Utf16Bytes(const std::u16string& s) {
    std::string out;
    for (char16_t c : s)
        out += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return out;
}

bool Unicode(const std::string& bytes) {
    return platform::IsTextUnicode(bytes.data(), static_cast<int>(bytes.size()));
}

}  // namespace

TEST(IsTextUnicode, TellsUtf16FromAnsiAndOtherByteOrders) {
    for (const std::u16string& text :
         {std::u16string(u"smtp.example.com"), std::u16string(u"p\u00E4ssw\u00F6rd"),
          std::u16string(u"\u043F\u0430\u0440\u043E\u043B\u044C"), std::u16string(u"\u0444"),
          std::u16string(u"\u5BC6\u7801\u6D4B\u8BD5"), std::u16string(u"\uFEFF\u5BC6"),
          std::u16string(u"ab")})
        EXPECT_TRUE(Unicode(Utf16Bytes(text))) << ToUtf8(text);
    for (const std::string& bytes :
         {std::string("smtp.example.com"), std::string("caf\xE9 au lait"), std::string("abc"),
          std::string("a"), std::string(), std::string("\0a\0b\0c", 6),
          std::string("\xFE\xFF\0a", 4), Utf16Bytes(u"ab\uFFFFcd"), Utf16Bytes(u"ab\uFFFEcd")})
        EXPECT_FALSE(Unicode(bytes)) << bytes;
    EXPECT_FALSE(platform::IsTextUnicode(nullptr, 4));
    // The pair statistics read the text's own characters only: the two bytes
    // before each of these ("AN", U+4E41) would make it text of one script.
    for (const std::u16string& script :
         {std::u16string(u"\u4E2D\u4E8C\u6587"), std::u16string(u"\u6587\u4E2D\u65E5")}) {
        const std::string bytes = "AN" + Utf16Bytes(script);
        EXPECT_FALSE(platform::IsTextUnicode(bytes.data() + 2, 6)) << ToUtf8(script);
    }
}

namespace {

// GetPrivateProfileSectionW, the settings' one profile call: the lines
// before the count it returns, which a NUL must follow.
std::u16string Section(const ScratchDir& dir, const std::string& bytes,
                       const char16_t* name = u"smtp", DWORD size = 512) {
    WriteBytes(dir.File("vx.ini"), bytes);
    std::u16string buffer(size, u'#');
    const DWORD n = platform::GetPrivateProfileSectionW(name, buffer.data(), size,
                                                        dir.WideFile("vx.ini").c_str());
    EXPECT_EQ(buffer[n], u'\0');
    return buffer.substr(0, n);
}

}  // namespace

// The first section of the name in any case, each line as it stands but for
// blanks around key and value; one that does not fit is cut to the room less
// two, as Windows cuts it.
TEST(Profile, SectionsAsWindowsReadsThem) {
    ScratchDir dir;
    [[maybe_unused]] const int before = OpenDescriptors();
    static const char16_t kLines[] =
        u"SMTPHOST=mail.example.com\0smtpUser=\"  quoted user  \"\0half=\"open\0empty=\0"
        u"smtpHost=second wins not\0";
    EXPECT_EQ(Section(dir,
                      "; comment\r\n"
                      "[Other]\r\n"
                      "smtpHost=wrong\r\n"
                      "  [ smtp ]  \r\n"
                      "  SMTPHOST =  mail.example.com  \r\n"
                      "smtpUser=\"  quoted user  \"\r\n"
                      "half=\"open\r\n"
                      "empty=\r\n"
                      "smtpHost=second wins not\r\n"
                      "[SMTP]\r\n"
                      "late=ignored\n"),
              std::u16string(kLines, std::size(kLines) - 1));
    EXPECT_EQ(Section(dir, "[One]\na=1\nb=2\n[Two]\n", u"One", 6), std::u16string(u"a=1\0", 4));
#if !defined(_WIN32)  // Windows may keep what it read of a profile file
    EXPECT_EQ(OpenDescriptors(), before);
#endif
    std::filesystem::remove(dir.File("vx.ini"));
    char16_t none[4] = {u'#', u'#'};
    EXPECT_EQ(platform::GetPrivateProfileSectionW(u"smtp", none, 4, dir.WideFile("vx.ini").c_str()),
              0u);
}

TEST(Profile, ReadsTheFourEncodings) {
    ScratchDir dir;
    const std::pair<std::string, std::u16string> files[] = {
        {"\xEF\xBB\xBF[SMTP]\r\nsmtpUser=J\xC3\xBCrgen\r\n", u"J\u00FCrgen"},  // UTF-8 with a mark
    // The stand-in takes valid UTF-8 without a mark for UTF-8; Windows reads a
    // file without a mark in the ANSI code page.
#if !defined(_WIN32)
        {"[SMTP]\nsmtpUser=\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\n", u"\u0418\u0432\u0430\u043D"},
#endif
        {"[SMTP]\nsmtpUser=J\xFCrgen \x80\n", u"J\u00FCrgen \u20AC"},  // Windows-1252
        // Bytes no UTF-8 character starts with, though continuation bytes follow.
        {"[SMTP]\nsmtpUser=\xF5\xA3\xA3\xA3 \x80\x80\x80\x80\n",
         u"\u00F5\u00A3\u00A3\u00A3 \u20AC\u20AC\u20AC\u20AC"},
        {"\xFF\xFE" + Utf16Bytes(u"[SMTP]\r\nsmtpUser=\u5F20\u4F1F\r\n"), u"\u5F20\u4F1F"},
    };
    for (const auto& [bytes, user] : files)
        EXPECT_EQ(Section(dir, bytes), u"smtpUser=" + user + u'\0');
}

class RegistryTest : public ::testing::Test {
protected:
    static LONG SetDword(platform::HKEY h, const char16_t* name, DWORD value) {
        return platform::RegSetValueExW(h, name, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                        4);
    }
    static LONG QueryDword(platform::HKEY h, const char16_t* name, DWORD& value) {
        DWORD type = 0, cb = 4;
        LONG rc = platform::RegQueryValueExW(h, name, &type, reinterpret_cast<BYTE*>(&value), &cb);
        EXPECT_TRUE(rc != 0 || (type == REG_DWORD && cb == 4));
        return rc;
    }

    ScratchDir m_dir;
    ScratchRegistry m_registry{m_dir};
};

TEST_F(RegistryTest, ValuesPersistAndNamesIgnoreCase) {
    platform::HKEY h = nullptr;
    ASSERT_EQ(platform::RegCreateKeyW(HKEY_CURRENT_USER, u"Software\\Veltrana\\Mail", &h), 0);
    ASSERT_EQ(SetDword(h, u"Level", 0x12345678), 0);
    const char16_t text[] = u"caf\u00E9";
    ASSERT_EQ(platform::RegSetValueExW(h, u"Name/With%Odd@Chars", REG_SZ,
                                       reinterpret_cast<const BYTE*>(text), sizeof text),
              0);
    // Names that differ only in characters a file name cannot hold stay apart.
    ASSERT_EQ(SetDword(h, u"Tab\tName", 9), 0);
    ASSERT_EQ(SetDword(h, u"Tab\x19Name", 25), 0);
    platform::RegCloseKey(h);

    ASSERT_EQ(
        platform::RegOpenKeyExW(HKEY_CURRENT_USER, u"software\\VELTRANA\\mail", 0, KEY_READ, &h),
        0);
    DWORD value = 0;
    ASSERT_EQ(QueryDword(h, u"LEVEL", value), 0);
    EXPECT_EQ(value, 0x12345678u);
    ASSERT_EQ(QueryDword(h, u"tab\tname", value), 0);
    EXPECT_EQ(value, 9u);
    ASSERT_EQ(QueryDword(h, u"tab\x19name", value), 0);
    EXPECT_EQ(value, 25u);
    DWORD type = 0;
    char16_t small[2];
    DWORD cb = sizeof small;
    EXPECT_EQ(platform::RegQueryValueExW(h, u"name/with%odd@chars", &type,
                                         reinterpret_cast<BYTE*>(small), &cb),
              static_cast<LONG>(ERROR_MORE_DATA));
    EXPECT_EQ(cb, sizeof text);
    EXPECT_EQ(QueryDword(h, u"absent", value), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(SetDword(h, u"x", 1), static_cast<LONG>(ERROR_ACCESS_DENIED)) << "opened to read";
    platform::RegCloseKey(h);

    EXPECT_EQ(platform::RegOpenKeyW(HKEY_CURRENT_USER, u"Software\\Nobody", &h),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(h, nullptr);
}

#if !defined(_WIN32)
TEST_F(RegistryTest, ValueFileThatIsAFifoIsRefused) {
    platform::HKEY h = nullptr;
    ASSERT_EQ(platform::RegCreateKeyW(HKEY_CURRENT_USER, u"Software\\F", &h), 0);
    ASSERT_EQ(SetDword(h, u"v", 1), 0);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_dir.Path())) {
        if (entry.is_regular_file() && entry.path().filename().string().starts_with("@")) {
            std::filesystem::remove(entry.path());
            ASSERT_EQ(::mkfifo(entry.path().c_str(), 0600), 0);
        }
    }
    DWORD value = 0;
    EXPECT_EQ(QueryDword(h, u"v", value), static_cast<LONG>(ERROR_ACCESS_DENIED));
    platform::RegCloseKey(h);
}

#endif
