// The platform pieces the store and the settings rely on: the IsTextUnicode
// emulation, the INI profile reader and the registry stand-in.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "ScratchDir.h"
#include "platform/Profile.h"
#include "platform/Registry.h"
#include "platform/TextUnicode.h"

namespace {

std::string Utf16Bytes(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

bool Unicode(const std::string& bytes) {
    return platform::IsTextUnicode(bytes.data(), static_cast<int>(bytes.size()));
}

}  // namespace

TEST(IsTextUnicode, AcceptsUtf16Text) {
    EXPECT_TRUE(Unicode(Utf16Bytes(u"smtp.example.com")));
    EXPECT_TRUE(Unicode(Utf16Bytes(u"p\u00E4ssw\u00F6rd")));
    EXPECT_TRUE(Unicode(Utf16Bytes(u"\u043F\u0430\u0440\u043E\u043B\u044C")));  // Cyrillic
    EXPECT_TRUE(Unicode(Utf16Bytes(u"\u0444")));
    EXPECT_TRUE(Unicode(Utf16Bytes(u"\u5BC6\u7801\u6D4B\u8BD5")));  // CJK
    EXPECT_TRUE(Unicode(Utf16Bytes(u"\uFEFF\u5BC6")));              // byte-order mark
    EXPECT_TRUE(Unicode(Utf16Bytes(u"ab")));
}

TEST(IsTextUnicode, RejectsAnsiAndOtherByteOrders) {
    EXPECT_FALSE(Unicode("smtp.example.com"));
    EXPECT_FALSE(Unicode("caf\xE9 au lait"));
    EXPECT_FALSE(Unicode("abc"));                          // odd length
    EXPECT_FALSE(Unicode("a"));                            // too short
    EXPECT_FALSE(Unicode(""));                             // nothing
    EXPECT_FALSE(Unicode(std::string("\0a\0b\0c", 6)));    // big-endian
    EXPECT_FALSE(Unicode(std::string("\xFE\xFF\0a", 4)));  // reversed byte-order mark
    EXPECT_FALSE(Unicode(Utf16Bytes(u"ab\uFFFFcd")));      // illegal character
    EXPECT_FALSE(Unicode(Utf16Bytes(u"ab\uFFFEcd")));      // embedded reversed mark
    EXPECT_FALSE(platform::IsTextUnicode(nullptr, 4));
}

TEST(IsTextUnicode, ReportsTheTestsThatPassed) {
    std::string text = Utf16Bytes(u"a b\r\n");
    int flags = platform::IS_TEXT_UNICODE_NULL_BYTES | platform::IS_TEXT_UNICODE_CONTROLS |
                platform::IS_TEXT_UNICODE_ODD_LENGTH;
    EXPECT_TRUE(platform::IsTextUnicode(text.data(), static_cast<int>(text.size()), &flags));
    EXPECT_EQ(flags, platform::IS_TEXT_UNICODE_NULL_BYTES | platform::IS_TEXT_UNICODE_CONTROLS);
    int odd = platform::IS_TEXT_UNICODE_ODD_LENGTH;
    EXPECT_FALSE(platform::IsTextUnicode("abc", 3, &odd));
    EXPECT_EQ(odd, platform::IS_TEXT_UNICODE_ODD_LENGTH);
}

TEST(Profile, WindowsLookupSemantics) {
    ScratchDir dir;
    WriteBytes(dir.File("vx.ini"),
               "; comment\r\n"
               "[Other]\r\n"
               "smtpHost=wrong\r\n"
               "  [ smtp ]  \r\n"
               "  SMTPHOST =  mail.example.com  \r\n"
               "smtpUser=\"  quoted user  \"\r\n"
               "smtpPass='single'\r\n"
               "half=\"open\r\n"
               "smtpPort= -587x\r\n"
               "smtpAuth=x\r\n"
               "empty=\r\n"
               "smtpHost=second wins not\r\n"
               "[SMTP]\r\n"
               "late=ignored\n");
    std::u16string file = dir.WideFile("vx.ini");
    char16_t buf[259];
    EXPECT_EQ(platform::GetPrivateProfileStringW(u"SMTP", u"smtpHost", u"", buf, 259, file.c_str()),
              16u);
    EXPECT_EQ(std::u16string(buf), u"mail.example.com");
    platform::GetPrivateProfileStringW(u"SMTP", u"smtpuser", u"", buf, 259, file.c_str());
    EXPECT_EQ(std::u16string(buf), u"  quoted user  ");
    platform::GetPrivateProfileStringW(u"SMTP", u"smtpPass", u"", buf, 259, file.c_str());
    EXPECT_EQ(std::u16string(buf), u"single");
    platform::GetPrivateProfileStringW(u"SMTP", u"half", u"", buf, 259, file.c_str());
    EXPECT_EQ(std::u16string(buf), u"\"open");
    EXPECT_EQ(platform::GetPrivateProfileStringW(u"SMTP", u"empty", u"def", buf, 259, file.c_str()),
              0u);
    EXPECT_EQ(std::u16string(buf), u"");
    // The first section of a name is the one read.
    EXPECT_EQ(
        platform::GetPrivateProfileStringW(u"SMTP", u"late", u"dflt  ", buf, 259, file.c_str()),
        4u);
    EXPECT_EQ(std::u16string(buf), u"dflt");

    EXPECT_EQ(
        static_cast<int>(platform::GetPrivateProfileIntW(u"smtp", u"smtpPort", 25, file.c_str())),
        -587);
    EXPECT_EQ(platform::GetPrivateProfileIntW(u"smtp", u"smtpAuth", 4, file.c_str()), 0u);
    EXPECT_EQ(platform::GetPrivateProfileIntW(u"smtp", u"missing", 4, file.c_str()), 4u);
    EXPECT_EQ(platform::GetPrivateProfileIntW(u"smtp", u"empty", 7, file.c_str()), 7u);
}

TEST(Profile, MissingFileAndCutValues) {
    ScratchDir dir;
    char16_t buf[8];
    EXPECT_EQ(platform::GetPrivateProfileStringW(u"SMTP", u"smtpHost", u"fallback", buf, 8,
                                                 dir.WideFile("none.ini").c_str()),
              7u);
    EXPECT_EQ(std::u16string(buf), u"fallbac");
    EXPECT_EQ(
        platform::GetPrivateProfileIntW(u"SMTP", u"smtpPort", 25, dir.WideFile("none.ini").c_str()),
        25u);
    WriteBytes(dir.File("a.ini"), "[S]\nk=0123456789\n");
    EXPECT_EQ(
        platform::GetPrivateProfileStringW(u"S", u"k", u"", buf, 8, dir.WideFile("a.ini").c_str()),
        7u);
    EXPECT_EQ(std::u16string(buf), u"0123456");
    EXPECT_EQ(
        platform::GetPrivateProfileStringW(u"S", u"k", u"", buf, 0, dir.WideFile("a.ini").c_str()),
        0u);
    // Key and section lists.
    char16_t list[32];
    WriteBytes(dir.File("b.ini"), "[One]\na=1\nb=2\n[Two]\n");
    DWORD n = platform::GetPrivateProfileStringW(u"One", nullptr, u"", list, 32,
                                                 dir.WideFile("b.ini").c_str());
    EXPECT_EQ(std::u16string(list, n), std::u16string(u"a\0b\0", 4));
    EXPECT_EQ(list[n], u'\0');
    n = platform::GetPrivateProfileStringW(nullptr, nullptr, u"", list, 32,
                                           dir.WideFile("b.ini").c_str());
    EXPECT_EQ(std::u16string(list, n), std::u16string(u"One\0Two\0", 8));
}

TEST(Profile, ReadsTheFourEncodings) {
    ScratchDir dir;
    char16_t buf[64];
    WriteBytes(dir.File("bom8.ini"), "\xEF\xBB\xBF[SMTP]\r\nsmtpUser=J\xC3\xBCrgen\r\n");
    platform::GetPrivateProfileStringW(u"SMTP", u"smtpUser", u"", buf, 64,
                                       dir.WideFile("bom8.ini").c_str());
    EXPECT_EQ(std::u16string(buf), u"J\u00FCrgen");
    WriteBytes(dir.File("utf8.ini"), "[SMTP]\nsmtpUser=\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\n");
    platform::GetPrivateProfileStringW(u"SMTP", u"smtpUser", u"", buf, 64,
                                       dir.WideFile("utf8.ini").c_str());
    EXPECT_EQ(std::u16string(buf), u"\u0418\u0432\u0430\u043D");
    WriteBytes(dir.File("ansi.ini"), "[SMTP]\nsmtpUser=J\xFCrgen \x80\n");
    platform::GetPrivateProfileStringW(u"SMTP", u"smtpUser", u"", buf, 64,
                                       dir.WideFile("ansi.ini").c_str());
    EXPECT_EQ(std::u16string(buf), u"J\u00FCrgen \u20AC");
    WriteBytes(dir.File("utf16.ini"),
               "\xFF\xFE" + Utf16Bytes(u"[SMTP]\r\nsmtpUser=\u5F20\u4F1F\r\n"));
    platform::GetPrivateProfileStringW(u"SMTP", u"smtpUser", u"", buf, 64,
                                       dir.WideFile("utf16.ini").c_str());
    EXPECT_EQ(std::u16string(buf), u"\u5F20\u4F1F");
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_previous = platform::GetRegistryRoot();
        platform::SetRegistryRoot(m_dir.File("registry"));
    }
    void TearDown() override {
        platform::SetRegistryRoot(m_previous);
        unsetenv("SMTPMAIL_REGISTRY_HKLM_READONLY");
    }
    ScratchDir m_dir;
    std::string m_previous;
};

TEST_F(RegistryTest, ValuesPersistAndNamesIgnoreCase) {
    platform::HKEY h = nullptr;
    ASSERT_EQ(platform::RegCreateKeyW(platform::HKEY_CURRENT_USER, u"Software\\Veltrana\\Mail", &h),
              0);
    DWORD dword = 0x12345678;
    ASSERT_EQ(platform::RegSetValueExW(h, u"Level", platform::REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&dword), 4),
              0);
    const char16_t text[] = u"caf\u00E9";
    ASSERT_EQ(platform::RegSetValueExW(h, u"Name/With%Odd@Chars", platform::REG_SZ,
                                       reinterpret_cast<const BYTE*>(text), sizeof text),
              0);
    platform::RegCloseKey(h);

    ASSERT_EQ(platform::RegOpenKeyExW(platform::HKEY_CURRENT_USER, u"software\\VELTRANA\\mail", 0,
                                      platform::KEY_READ, &h),
              0);
    DWORD type = 0, value = 0, cb = 4;
    ASSERT_EQ(platform::RegQueryValueExW(h, u"LEVEL", &type, reinterpret_cast<BYTE*>(&value), &cb),
              0);
    EXPECT_EQ(type, platform::REG_DWORD);
    EXPECT_EQ(value, 0x12345678u);
    char16_t small[2];
    cb = sizeof small;
    EXPECT_EQ(platform::RegQueryValueExW(h, u"name/with%odd@chars", &type,
                                         reinterpret_cast<BYTE*>(small), &cb),
              static_cast<LONG>(ERROR_MORE_DATA));
    EXPECT_EQ(cb, sizeof text);
    char narrow[8] = {};
    cb = sizeof narrow;
    ASSERT_EQ(platform::RegQueryValueExA(h, "Name/With%Odd@Chars", &type,
                                         reinterpret_cast<BYTE*>(narrow), &cb),
              0);
    EXPECT_EQ(std::string(narrow, cb), std::string("caf\xE9\0", 5));
    EXPECT_EQ(platform::RegQueryValueExW(h, u"absent", &type, nullptr, &cb),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    // Opened for reading only.
    EXPECT_EQ(platform::RegSetValueExW(h, u"x", platform::REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&dword), 4),
              static_cast<LONG>(ERROR_ACCESS_DENIED));
    platform::RegCloseKey(h);

    EXPECT_EQ(platform::RegOpenKeyW(platform::HKEY_CURRENT_USER, u"Software\\Nobody", &h),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(h, nullptr);

    ASSERT_EQ(platform::RegOpenKeyW(platform::HKEY_CURRENT_USER, u"Software\\Veltrana\\Mail", &h),
              0);
    EXPECT_EQ(platform::RegDeleteValueW(h, u"level"), 0);
    EXPECT_EQ(platform::RegQueryValueExW(h, u"Level", &type, nullptr, &cb),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    platform::RegCloseKey(h);
}

TEST_F(RegistryTest, MachineHiveCanRefuseWrites) {
    platform::HKEY h = nullptr;
    ASSERT_EQ(platform::RegCreateKeyExW(platform::HKEY_LOCAL_MACHINE, u"Software\\A",
                                        platform::KEY_ALL_ACCESS, &h),
              0);
    DWORD v = 1;
    ASSERT_EQ(platform::RegSetValueExW(h, u"v", platform::REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&v), 4),
              0);
    platform::RegCloseKey(h);

    setenv("SMTPMAIL_REGISTRY_HKLM_READONLY", "1", 1);
    EXPECT_EQ(platform::RegCreateKeyW(platform::HKEY_LOCAL_MACHINE, u"Software\\B", &h),
              static_cast<LONG>(ERROR_ACCESS_DENIED));
    // Reading still works.
    ASSERT_EQ(platform::RegOpenKeyW(platform::HKEY_LOCAL_MACHINE, u"Software\\A", &h), 0);
    DWORD type = 0, value = 0, cb = 4;
    EXPECT_EQ(platform::RegQueryValueExW(h, u"v", &type, reinterpret_cast<BYTE*>(&value), &cb), 0);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(platform::RegSetValueExW(h, u"v", platform::REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&v), 4),
              static_cast<LONG>(ERROR_ACCESS_DENIED));
    platform::RegCloseKey(h);
}
