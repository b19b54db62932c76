#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "Environment.h"
#if defined(_WIN32)
#include "ImportPatch.h"
#endif
#include "ScratchDir.h"
#include "ScratchRegistry.h"
#include "SystemText.h"
#include "config/Blowfish.h"
#include "config/CGrowingBuffer.h"
#include "config/CMailCfg.h"
#include "config/FileToMemory.h"
#include "config/SystemErrorText.h"
#include "platform/Registry.h"
#include "vxutil.h"

namespace {

#if defined(_WIN32)
// Wine's HKLM is writable for everyone: the answer Windows gives a user
// without administrator rights stands in.
class ReadOnlyMachineHive {
public:
    ReadOnlyMachineHive() {
        s_patch = &m_patch;
        EXPECT_EQ(m_patch.Error(), "");
    }
    ~ReadOnlyMachineHive() { s_patch = nullptr; }

private:
    static LSTATUS WINAPI Create(HKEY key, LPCWSTR subKey, PHKEY result) {
        if (key == HKEY_LOCAL_MACHINE)
            return ERROR_ACCESS_DENIED;
        return s_patch->Original<decltype(&::RegCreateKeyW)>()(key, subKey, result);
    }

    static inline ImportPatch* s_patch = nullptr;
    ImportPatch m_patch{::GetModuleHandleW(nullptr), "ADVAPI32.dll", "RegCreateKeyW",
                        reinterpret_cast<const void*>(&Create)};
};
#else
class ReadOnlyMachineHive {
    ScopedEnv m_env{{{"SMTPMAIL_REGISTRY_HKLM_READONLY", "1"}}};
};
#endif

constexpr const char16_t* kKey = u"Software\\Veltrana\\Orbisuite\\mail";
constexpr const char16_t* kValue = u"smtp.cfg";

// Each text's byte count and its UTF-16 units, little-endian.
std::string Record(const std::u16string& a, const std::u16string& b) {
    std::string out;
    for (const std::u16string& s :
         {static_cast<char16_t>(a.size() * 2) + a, static_cast<char16_t>(b.size() * 2) + b})
        for (char16_t c : s)
            out += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return out;
}

std::string Base64(const std::string& bytes) {
    std::string out;
    EncodeBase64(out, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return out;
}

// The stored form, made without CMailCfg::encrypt.
std::string Encipher(const std::string& record) {
    std::string e = Base64(record);
    BlowfishCfb64Encipher(reinterpret_cast<const std::uint8_t*>(e.data()),
                          reinterpret_cast<std::uint8_t*>(e.data()), e.size());
    return Base64(e);
}

void SetRegistryValue(const std::string& bytes) {
    platform::HKEY h = nullptr;
    ASSERT_EQ(platform::RegCreateKeyW(HKEY_CURRENT_USER, kKey, &h), 0);
    ASSERT_EQ(
        platform::RegSetValueExW(h, kValue, REG_BINARY, reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
        0);
    platform::RegCloseKey(h);
}

class FailingCfg : public CMailCfg {
public:
    bool serialize(CGrowingBuffer&) override { return false; }
};

}  // namespace

TEST(FileToMemory, BytesOrTextInTheThreeEncodings) {
    ScratchDir dir;
    const struct {
        std::string bytes;
        int nConvert;
        std::string block;  // the bytes handed out, as many as the size says
    } cases[] = {
        {std::string("ab\0c", 4), 0, std::string("ab\0c", 4)},
        {"", 0, ""},
        // Converted text counts its terminator, UTF-16 taken as it is does not.
        {"\xEF\xBB\xBFGr\xC3\xBC \xE2\x82\xAC", 1, std::string("G\0r\0\xFC\0 \0\xAC\x20\0\0", 12)},
        {std::string("\xFF\xFE"
                     "A\0\xAC\x20",
                     6),
         1, std::string("A\0\xAC\x20", 4)},
        {"caf\xE9 \x80", 1, std::string("c\0a\0f\0\xE9\0 \0\xAC\x20\0\0", 14)},
        {"\xEF\xBB\xBF", 1, std::string(2, '\0')},
        {"", 1, std::string(2, '\0')},
    };
    for (const auto& c : cases) {
        WriteBytes(dir.File("f"), c.bytes);
        void* p = nullptr;
        DWORD size = 99;
        ASSERT_EQ(FileToMemory(dir.WideFile("f").c_str(), &p, &size, c.nConvert), 0u);
        EXPECT_EQ(std::string(static_cast<char*>(p), size), c.block);
        if (c.nConvert == 0 || c.bytes.rfind("\xFF\xFE", 0) == 0) {
            EXPECT_EQ(static_cast<char*>(p)[size], '\0') << "a zero after the bytes";
        }
        FreeMemory(p);
    }
    void* p = reinterpret_cast<void*>(1);  // must be reset
    DWORD size = 99;
    EXPECT_EQ(FileToMemory(dir.WideFile("missing").c_str(), &p, &size, 0), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(FileToMemory(dir.WideFile("nodir/x").c_str(), &p, &size, 0), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(FileToMemory(nullptr, &p, &size, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(FileToMemory(u"x", nullptr, &size, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(FileToMemory(u"x", &p, nullptr, 0), ERROR_INVALID_PARAMETER);
    for (DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED})
        EXPECT_EQ(SystemErrorText(code) + u".\r\n", SystemText(code));
    EXPECT_EQ(SystemErrorText(0xDEADBEEFu), u"3735928559");
}

TEST(CMailCfg, FileAndTextHoldTheEncipheredRecord) {
    ScratchDir dir;
    CMailCfg out;
    out.m_strText1 = u"smtp.example.com\u00C2\u00A7\u00C2\u00A7bob";
    out.m_strText2 = u"p\u00E4ss \u20AC";
    const std::string stored = Encipher(Record(out.m_strText1, out.m_strText2));
    ASSERT_TRUE(out.save(dir.WideFile("smtp.cfg").c_str()));
    EXPECT_EQ(ReadBytes(dir.File("smtp.cfg")), stored);
    for (const bool bFile : {true, false}) {
        CMailCfg in;
        in.m_strText1 = in.m_strText2 = u"stale";
        if (bFile)
            ASSERT_TRUE(in.load(dir.WideFile("smtp.cfg").c_str()));
        else
            in.load(stored);  // the host's stored text
        EXPECT_EQ(in.m_strText1, out.m_strText1) << bFile;
        EXPECT_EQ(in.m_strText2, out.m_strText2) << bFile;
    }
    CGrowingBuffer b(1024);
    ASSERT_TRUE(CMailCfg().serialize(b));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b.m_pData), b.GetSize()), std::string(4, '\0'));
    const std::string ansi = "smtp.example.com caf\xE9";
    CMailCfg widened;
    widened.load(Encipher(std::string(1, static_cast<char>(ansi.size())) + '\0' + ansi +
                          std::string("\x04\0p\0w\0", 6)));
    EXPECT_EQ(widened.m_strText1, u"smtp.example.com caf\u00E9");
    EXPECT_EQ(widened.m_strText2, u"pw");
}

TEST(CMailCfg, BadContentsAndFailedWritesAreRefused) {
    ScratchDir dir;
    ScratchRegistry registry(dir);
    CMailCfg cfg;
    EXPECT_FALSE(cfg.loadRegistry(HKEY_CURRENT_USER, kKey, kValue));
    EXPECT_FALSE(cfg.loadRegistry(HKEY_CURRENT_USER, nullptr, kValue));
    EXPECT_FALSE(cfg.loadRegistry(HKEY_CURRENT_USER, kKey, nullptr));

    // Plain record bytes: only a file may hold them.
    const std::string plain = Record(u"plain host", u"plain pw");
    WriteBytes(dir.File("plain.cfg"), plain);
    ASSERT_TRUE(cfg.load(dir.WideFile("plain.cfg").c_str()));
    EXPECT_EQ(cfg.m_strText1, u"plain host");
    CMailCfg text;
    text.load(plain);
    EXPECT_EQ(text.m_strText1, u"");
    SetRegistryValue(plain);
    EXPECT_FALSE(cfg.loadRegistry(HKEY_CURRENT_USER, kKey, kValue));

    CMailCfg longest;
    longest.m_strText1 = std::u16string(1024, u'\u0444');
    ASSERT_TRUE(longest.save(dir.WideFile("ok.cfg").c_str()));
    ASSERT_TRUE(cfg.load(dir.WideFile("ok.cfg").c_str()));
    EXPECT_EQ(cfg.m_strText1, longest.m_strText1);
    std::string record = Record(std::u16string(1024, u'a'), u"");
    record[0] = static_cast<char>(2049 & 0xFF);
    record[1] = static_cast<char>(2049 >> 8);
    record.insert(2 + 2048, "a");
    WriteBytes(dir.File("long.cfg"), Encipher(record));
    EXPECT_FALSE(cfg.load(dir.WideFile("long.cfg").c_str()));
    SetRegistryValue(Encipher(std::string("\x02\x10\0\0", 4)));
    EXPECT_FALSE(cfg.loadRegistry(HKEY_CURRENT_USER, kKey, kValue));

    // Cut short: the first string stays when the second cannot be read.
    for (const std::string& bytes :
         {std::string("\x01"), std::string("\x10\0a\0b\0", 6), std::string("\x02\0a\0\x09", 5)}) {
        WriteBytes(dir.File("short.cfg"), bytes);
        CMailCfg cut;
        EXPECT_FALSE(cut.load(dir.WideFile("short.cfg").c_str()));
        EXPECT_EQ(cut.m_strText1, bytes.size() == 5 ? u"a" : u"");
    }

    CGrowingBuffer b(1024);
    b.Write("not base64!", 11);
    EXPECT_FALSE(cfg.decrypt(b));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b.m_pData), b.GetSize()), "not base64!");
    std::string e = "!!!!****";
    BlowfishCfb64Encipher(reinterpret_cast<const std::uint8_t*>(e.data()),
                          reinterpret_cast<std::uint8_t*>(e.data()), e.size());
    CGrowingBuffer c(1024);
    c.Write(Base64(e).data(), static_cast<DWORD>(Base64(e).size()));
    EXPECT_FALSE(cfg.decrypt(c));
    // Nothing to load, writes that fail.
    EXPECT_FALSE(cfg.load(dir.WideFile("none.cfg").c_str()));
    WriteBytes(dir.File("empty.cfg"), "");
    EXPECT_FALSE(cfg.load(dir.WideFile("empty.cfg").c_str()));
    EXPECT_FALSE(cfg.save(dir.WideFile("no/such/dir/smtp.cfg").c_str()));
    // A failed serialisation leaves an empty file behind.
    WriteBytes(dir.File("smtp.cfg"), "previous contents");
    EXPECT_FALSE(FailingCfg().save(dir.WideFile("smtp.cfg").c_str()));
    EXPECT_TRUE(std::filesystem::exists(dir.File("smtp.cfg")));
    EXPECT_EQ(ReadBytes(dir.File("smtp.cfg")), "");
    if (std::filesystem::exists("/dev/full")) {
        cfg.m_strText1 = u"host";
        EXPECT_FALSE(cfg.save(u"/dev/full"));
    }
    {
        ReadOnlyMachineHive readOnly;
        EXPECT_FALSE(cfg.saveRegistry(HKEY_LOCAL_MACHINE, kKey, kValue));
    }
}
