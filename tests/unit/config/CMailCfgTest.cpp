// The settings store: its buffer, its file reader, and CMailCfg's enciphered
// record in files, the host's stored text and the registry.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Environment.h"
#if defined(_WIN32)
#include "ImportPatch.h"
#endif
#include "LogCapture.h"
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
// Wine's HKLM is writable for everyone, so the test stands in for the
// registry's answer to a user without administrator rights: creating a key
// under HKEY_LOCAL_MACHINE is refused, as Windows refuses it.
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
// The registry stand-in's switch for a hive its user may not write.
class ReadOnlyMachineHive {
    ScopedEnv m_env{{{"SMTPMAIL_REGISTRY_HKLM_READONLY", "1"}}};
};
#endif

constexpr const char16_t* kKey = u"Software\\Veltrana\\Orbisuite\\mail";
constexpr const char16_t* kValue = u"smtp.cfg";

// The plain record of two strings: each a 16-bit length and UTF-16 code units.
std::string Record(const std::u16string& a, const std::u16string& b) {
    std::string out;
    for (const std::u16string* s : {&a, &b}) {
        for (unsigned v : {static_cast<unsigned>(s->size() * 2)})
            out += {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
        for (char16_t c : *s)
            out += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    }
    return out;
}

std::string Base64(const std::string& bytes) {
    std::string out;
    EncodeBase64(out, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return out;
}

// The stored form, built independently of CMailCfg::encrypt.
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

// A store whose serialisation fails, as when the buffer cannot grow.
class FailingCfg : public CMailCfg {
public:
    bool serialize(CGrowingBuffer&) override { return false; }
};

}  // namespace

// What the store reads and writes through: writes past the end grow the
// block (an attached one too) and keep what it held; reads and positions stop
// at the content. (How much it grows by is its own business.)
TEST(CGrowingBuffer, GrowsReadsAndHandsOutPointers) {
    CGrowingBuffer b(4);
    EXPECT_EQ(b.Write(nullptr, 10), 0u) << "a null write reserves";
    EXPECT_EQ(b.Write("tail", 4), 10u) << "a write returns where it started";
    b.Rewind();
    b.Write("hello", 5);
    EXPECT_EQ(b.GetSize(), 14u) << "overwriting keeps the size";
    char out[16] = {};
    EXPECT_EQ(b.Read(1, out, 3), 3u);
    EXPECT_STREQ(out, "ell");
    EXPECT_EQ(b.Read(12, out, 5), 2u) << "reads stop at the content";
    EXPECT_EQ(b.Read(0, nullptr, 3), 0u);
    b.SetPosition(100);
    EXPECT_EQ(b.GetPosition(), 14u) << "clamped";
    b.SetPosition(3);
    EXPECT_EQ(b.ReadNext(out, 2), 2u);
    EXPECT_EQ(b.GetPosition(), 5u);
    EXPECT_EQ(std::memcmp(b.GetPointer(10), "tail", 4), 0);
    EXPECT_EQ(b.GetPointer(15), nullptr);
    CGrowingBuffer empty(32);
    EXPECT_NE(empty.GetPointer(0), nullptr) << "allocated on demand";
    EXPECT_EQ(empty.GetPointer(1), nullptr);

    void* block = GetMemory(7);
    std::memcpy(block, "attach!", 7);
    b.Attach(block, 7);
    EXPECT_EQ(b.GetSize(), 7u);
    EXPECT_EQ(b.GetPosition(), 0u);
    b.SetPosition(7);
    b.Write("x", 1);
    EXPECT_EQ(std::memcmp(b.GetPointer(0), "attach!x", 8), 0);
    b.Free();
    EXPECT_EQ(b.m_pData, nullptr);
    EXPECT_EQ(b.GetSize(), 0u);
}

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
        LogCapture log;
        ASSERT_EQ(FileToMemory(dir.WideFile("f").c_str(), &p, &size, c.nConvert), 0u);
        EXPECT_EQ(std::string(static_cast<char*>(p), size), c.block);
        if (c.nConvert == 0 || c.bytes.rfind("\xFF\xFE", 0) == 0) {
            EXPECT_EQ(static_cast<char*>(p)[size], '\0') << "a zero after the bytes";
        }
        EXPECT_TRUE(log.Contains(u"FileToMemory(): opening '" + dir.WideFile("f") + u"'"));
        FreeMemory(p);
    }
    void* p = reinterpret_cast<void*>(1);  // must be reset
    DWORD size = 99;
    LogCapture log;
    EXPECT_EQ(FileToMemory(dir.WideFile("missing").c_str(), &p, &size, 0), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(log.Contains(u"FileToMemory(): failed to open '" + dir.WideFile("missing") + u"'"));
    EXPECT_TRUE(log.Contains(u"FileToMemory() <== return 0x2;"));
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
    // The registry's round trip is SettingsTest.SourceBitsOfLoadCfgAndSaveCfg's.
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
    // Empty strings make a record of four zero bytes.
    CGrowingBuffer b(1024);
    ASSERT_TRUE(CMailCfg().serialize(b));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b.m_pData), b.GetSize()), std::string(4, '\0'));
    // Text 1 stored as Windows-1252 bytes is widened.
    const std::string ansi = "smtp.example.com caf\xE9";
    CMailCfg widened;
    widened.load(Encipher(std::string(1, static_cast<char>(ansi.size())) + '\0' + ansi +
                          std::string("\x04\0p\0w\0", 6)));
    EXPECT_EQ(widened.m_strText1, u"smtp.example.com caf\u00E9");
    EXPECT_EQ(widened.m_strText2, u"pw");
}

TEST(CMailCfg, BadContentsAreRefusedWithTheirLines) {
    ScratchDir dir;
    ScratchRegistry registry(dir);
    LogCapture log;
    CMailCfg cfg;
    EXPECT_FALSE(cfg.loadRegistry(HKEY_CURRENT_USER, kKey, kValue));
    EXPECT_TRUE(log.Contains(u"loadRegistry failed with 0x2 ('" + SystemErrorText(2) + u"')"));
    EXPECT_FALSE(cfg.loadRegistry(HKEY_CURRENT_USER, nullptr, kValue));
    EXPECT_FALSE(cfg.loadRegistry(HKEY_CURRENT_USER, kKey, nullptr));

    // Plain record bytes: only a file may hold them.
    const std::string plain = Record(u"plain host", u"plain pw");
    WriteBytes(dir.File("plain.cfg"), plain);
    ASSERT_TRUE(cfg.load(dir.WideFile("plain.cfg").c_str()));
    EXPECT_EQ(cfg.m_strText1, u"plain host");
    EXPECT_TRUE(log.Contains(u"CMailCfg::load(): invalid encrypted contents in '" +
                             dir.WideFile("plain.cfg") + u"'"));
    CMailCfg text;
    text.load(plain);
    EXPECT_EQ(text.m_strText1, u"");
    SetRegistryValue(plain);
    log.Clear();
    EXPECT_FALSE(cfg.loadRegistry(HKEY_CURRENT_USER, kKey, kValue));
    EXPECT_TRUE(
        log.Contains(u"CMailCfg::loadRegistry: invalid encrypted-data in "
                     u"'Software\\Veltrana\\Orbisuite\\mail\\smtp.cfg'."));

    // A string holds at most 1024 characters: a stored length of 2049 (or
    // 4098) is refused.
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
    EXPECT_TRUE(log.Contains(u"post6_cfg::readString: invalid string-length 2049"));
    SetRegistryValue(Encipher(std::string("\x02\x10\0\0", 4)));
    log.Clear();
    EXPECT_FALSE(cfg.loadRegistry(HKEY_CURRENT_USER, kKey, kValue));
    EXPECT_TRUE(log.Contains(u"post6_cfg::readString: invalid string-length 4098"));
    EXPECT_TRUE(
        log.Contains(u"CMailCfg::loadRegistry: invalid data in "
                     u"'Software\\Veltrana\\Orbisuite\\mail\\smtp.cfg'."));

    // Records cut short; the first string stays when the second cannot be read.
    for (const auto& [bytes, line] :
         {std::pair{std::string("\x01"), u"CMailCfg::readString: failed to read string-length"},
          {std::string("\x10\0a\0b\0", 6), u"post6_cfg::readString: failed to read string"},
          {std::string("\x02\0a\0\x09", 5),
           u"CMailCfg::readString: failed to read string-length"}}) {
        WriteBytes(dir.File("short.cfg"), bytes);
        CMailCfg cut;
        log.Clear();
        EXPECT_FALSE(cut.load(dir.WideFile("short.cfg").c_str()));
        EXPECT_TRUE(log.Contains(line)) << log.Dump();
        EXPECT_EQ(cut.m_strText1, bytes.size() == 5 ? u"a" : u"");
    }

    // Base64 outside, or inside after deciphering, or not at all.
    CGrowingBuffer b(1024);
    b.Write("not base64!", 11);
    log.Clear();
    EXPECT_FALSE(cfg.decrypt(b));
    EXPECT_TRUE(log.Contains(u"CMailCfg::decrypt(): failed to decrypt."));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b.m_pData), b.GetSize()), "not base64!");
    std::string e = "!!!!****";
    BlowfishCfb64Encipher(reinterpret_cast<const std::uint8_t*>(e.data()),
                          reinterpret_cast<std::uint8_t*>(e.data()), e.size());
    CGrowingBuffer c(1024);
    c.Write(Base64(e).data(), static_cast<DWORD>(Base64(e).size()));
    EXPECT_FALSE(cfg.decrypt(c));
    EXPECT_TRUE(log.Contains(u"CMailCfg::decrypt(): invalid base64 data."));
}

TEST(CMailCfg, WriteFailuresAreReported) {
    ScratchDir dir;
    LogCapture log;
    CMailCfg cfg;
    EXPECT_FALSE(cfg.load(dir.WideFile("none.cfg").c_str()));
    EXPECT_TRUE(
        log.Contains(u"CMailCfg::load(): failed to read file '" + dir.WideFile("none.cfg") + u"'"));
    WriteBytes(dir.File("empty.cfg"), "");
    EXPECT_FALSE(cfg.load(dir.WideFile("empty.cfg").c_str()));
    EXPECT_TRUE(log.Contains(u"CMailCfg::load(): invalid contents in '" +
                             dir.WideFile("empty.cfg") + u"'"));
    EXPECT_FALSE(cfg.save(dir.WideFile("no/such/dir/smtp.cfg").c_str()));
    EXPECT_TRUE(log.Contains(u"CMailCfg::save(): failed to open/create '" +
                             dir.WideFile("no/such/dir/smtp.cfg") + u"'"));
    // A failed serialisation leaves an empty file behind.
    WriteBytes(dir.File("smtp.cfg"), "previous contents");
    EXPECT_FALSE(FailingCfg().save(dir.WideFile("smtp.cfg").c_str()));
    EXPECT_TRUE(std::filesystem::exists(dir.File("smtp.cfg")));
    EXPECT_EQ(ReadBytes(dir.File("smtp.cfg")), "");
    if (std::filesystem::exists("/dev/full")) {
        cfg.m_strText1 = u"host";
        EXPECT_FALSE(cfg.save(u"/dev/full"));
        EXPECT_TRUE(
            log.Contains(u"WriteFile failed with 0x70 ('There is not enough space on the disk')"));
    }
    // The machine-wide hive refuses writes to a user without the right.
    ScratchRegistry registry(dir);
    {
        ReadOnlyMachineHive readOnly;
        EXPECT_FALSE(cfg.saveRegistry(HKEY_LOCAL_MACHINE, kKey, kValue));
    }
    EXPECT_TRUE(log.Contains(u"saveRegistry failed with 0x5 ('" + SystemErrorText(5) + u"')"));
    EXPECT_TRUE(log.Contains(u"CMailCfg::saveRegistry() <== return false;"));
}
