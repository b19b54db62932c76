#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "Environment.h"
#include "ScratchDir.h"
#include "ScratchRegistry.h"
#include "SystemText.h"
#include "config/Blowfish.h"
#include "config/CGrowingBuffer.h"
#include "config/CMailCfg.h"
#include "config/SystemErrorText.h"
#include "platform/Registry.h"
#include "vxutil.h"

namespace {

constexpr const char16_t* kKey = u"Software\\Veltrana\\Orbisuite\\mail";
constexpr const char16_t* kValue = u"smtp.cfg";

// The plain record bytes of two strings.
std::string Record(const std::u16string& a, const std::u16string& b) {
    std::string out;
    for (const std::u16string* s : {&a, &b}) {
        size_t cb = s->size() * 2;
        out += static_cast<char>(cb & 0xFF);
        out += static_cast<char>(cb >> 8);
        for (char16_t c : *s) {
            out += static_cast<char>(c & 0xFF);
            out += static_cast<char>(c >> 8);
        }
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

// A registry of the test's own while it lives.
class RegistryRoot {
public:
    explicit RegistryRoot(const ScratchDir& dir) : m_registry(dir) {}

    static void Set(const std::string& bytes) {
        platform::HKEY h = nullptr;
        ASSERT_EQ(platform::RegCreateKeyW(HKEY_CURRENT_USER, kKey, &h), 0);
        ASSERT_EQ(platform::RegSetValueExW(h, kValue, REG_BINARY,
                                           reinterpret_cast<const BYTE*>(bytes.data()),
                                           static_cast<DWORD>(bytes.size())),
                  0);
        platform::RegCloseKey(h);
    }

private:
    ScratchRegistry m_registry;
};

// A store whose serialisation fails, as when the buffer cannot grow.
class FailingCfg : public CMailCfg {
public:
    bool serialize(CGrowingBuffer&) override { return false; }
};

}  // namespace

TEST(CMailCfg, FileAndStoredTextRoundTripThroughTheEncipheredForm) {
    ScratchDir dir;
    CMailCfg out;
    out.m_strText1 = u"smtp.example.com\u00C2\u00A7\u00C2\u00A7bob";
    out.m_strText2 = u"p\u00E4ss \u20AC";
    ASSERT_TRUE(out.save(dir.WideFile("smtp.cfg").c_str()));

    std::string stored = ReadBytes(dir.File("smtp.cfg"));
    EXPECT_EQ(stored, Encipher(Record(out.m_strText1, out.m_strText2)));
    EXPECT_EQ(stored.find_first_of("\r\n"), std::string::npos);

    CMailCfg in;
    LogCapture log;
    ASSERT_TRUE(in.load(dir.WideFile("smtp.cfg").c_str()));
    EXPECT_EQ(in.m_strText1, out.m_strText1);
    EXPECT_EQ(in.m_strText2, out.m_strText2);
    EXPECT_TRUE(log.Contains(u"post6_cfg::readString('p\u00E4ss \u20AC', size=12)"));
    EXPECT_FALSE(log.Contains(u"invalid"));

    CMailCfg text;
    text.load(stored);  // the host's stored text
    EXPECT_EQ(text.m_strText1, out.m_strText1);
    EXPECT_EQ(text.m_strText2, out.m_strText2);
}

TEST(CMailCfg, EmptyStringsMakeAFourZeroByteRecord) {
    ScratchDir dir;
    CMailCfg out;
    CGrowingBuffer b(1024);
    LogCapture log;
    ASSERT_TRUE(out.serialize(b));
    ASSERT_EQ(b.GetSize(), 4u);
    EXPECT_EQ(std::memcmp(b.m_pData, "\0\0\0\0", 4), 0);
    ASSERT_TRUE(out.writeString(b, u"abc"));
    EXPECT_TRUE(log.Contains(u"post6_cfg::writeString('abc', size=6)"));
    EXPECT_EQ(std::memcmp(b.m_pData + 4, "\x06\0a\0b\0c\0", 8), 0);

    ASSERT_TRUE(out.save(dir.WideFile("smtp.cfg").c_str()));
    CMailCfg in;
    in.m_strText1 = in.m_strText2 = u"stale";
    ASSERT_TRUE(in.load(dir.WideFile("smtp.cfg").c_str()));
    EXPECT_EQ(in.m_strText1, u"");
    EXPECT_EQ(in.m_strText2, u"");
}

TEST(CMailCfg, RegistryRoundTrip) {
    ScratchDir dir;
    RegistryRoot root(dir);
    CMailCfg out;
    out.m_strText1 = u"host";
    out.m_strText2 = u"secret";
    LogCapture log;
    ASSERT_TRUE(out.saveRegistry(HKEY_CURRENT_USER, kKey, kValue));
    EXPECT_TRUE(
        log.Contains(u"CMailCfg::saveRegistry(Software\\Veltrana\\Orbisuite\\mail\\smtp.cfg) ==>"));
    EXPECT_TRUE(log.Contains(u"CMailCfg::saveRegistry() <== return true;"));

    platform::HKEY h = nullptr;
    ASSERT_EQ(platform::RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &h), 0);
    DWORD type = 0, cb = 0;
    ASSERT_EQ(platform::RegQueryValueExW(h, kValue, &type, nullptr, &cb), 0);
    std::string data(cb, '\0');
    ASSERT_EQ(
        platform::RegQueryValueExW(h, kValue, &type, reinterpret_cast<BYTE*>(data.data()), &cb), 0);
    platform::RegCloseKey(h);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(data, Encipher(Record(u"host", u"secret")));

    CMailCfg in;
    ASSERT_TRUE(in.loadRegistry(HKEY_CURRENT_USER, kKey, kValue));
    EXPECT_EQ(in.m_strText1, u"host");
    EXPECT_EQ(in.m_strText2, u"secret");
    EXPECT_TRUE(
        log.Contains(u"CMailCfg::loadRegistry(Software\\Veltrana\\Orbisuite\\mail,smtp.cfg) ==>"));
    EXPECT_TRUE(log.Contains(u"CMailCfg::loadRegistry() <== return true;"));
}

TEST(CMailCfg, RegistryFailuresAreReportedWithTheSystemText) {
    ScratchDir dir;
    RegistryRoot root(dir);
    LogCapture log;
    CMailCfg cfg;
    EXPECT_FALSE(cfg.loadRegistry(HKEY_CURRENT_USER, kKey, kValue));
    EXPECT_TRUE(log.Contains(u"loadRegistry failed with 0x2 ('" + SystemErrorText(2) + u"')"));
    EXPECT_TRUE(log.Contains(u"CMailCfg::loadRegistry() <== return false;"));
    EXPECT_FALSE(cfg.loadRegistry(HKEY_CURRENT_USER, nullptr, kValue));
    EXPECT_FALSE(cfg.loadRegistry(HKEY_CURRENT_USER, kKey, nullptr));

    // Enciphered correctly, but the first length is beyond the limit.
    std::string record = Record(u"", u"");
    record[1] = static_cast<char>(0x10);
    record[0] = static_cast<char>(0x02);
    RegistryRoot::Set(Encipher(record));
    log.Clear();
    EXPECT_FALSE(cfg.loadRegistry(HKEY_CURRENT_USER, kKey, kValue));
    EXPECT_TRUE(log.Contains(u"post6_cfg::readString: invalid string-length 4098"));
    EXPECT_TRUE(
        log.Contains(u"CMailCfg::loadRegistry: invalid data in "
                     u"'Software\\Veltrana\\Orbisuite\\mail\\smtp.cfg'."));
    EXPECT_TRUE(log.Contains(u"CMailCfg::loadRegistry() <== return false;"));
    EXPECT_FALSE(log.Contains(u"loadRegistry failed with")) << "no registry error happened";

#if !defined(_WIN32)
    // The machine-wide hive refuses writes to a user without the right (the
    // stand-in's switch; Wine's HKLM is always writable).
    SetEnv("SMTPMAIL_REGISTRY_HKLM_READONLY", "1");
    log.Clear();
    EXPECT_FALSE(cfg.saveRegistry(HKEY_LOCAL_MACHINE, kKey, kValue));
    UnsetEnv("SMTPMAIL_REGISTRY_HKLM_READONLY");
    EXPECT_TRUE(log.Contains(u"saveRegistry failed with 0x5 ('" + SystemErrorText(5) + u"')"));
    EXPECT_TRUE(log.Contains(u"CMailCfg::saveRegistry() <== return false;"));
#endif
}

TEST(CMailCfg, PlainRecordFileIsAcceptedOnlyByTheFileLoad) {
    ScratchDir dir;
    RegistryRoot root(dir);
    std::string plain = Record(u"plain host", u"plain pw");
    WriteBytes(dir.File("smtp.cfg"), plain);
    LogCapture log;
    CMailCfg file;
    ASSERT_TRUE(file.load(dir.WideFile("smtp.cfg").c_str()));
    EXPECT_EQ(file.m_strText1, u"plain host");
    EXPECT_EQ(file.m_strText2, u"plain pw");
    EXPECT_TRUE(log.Contains(u"CMailCfg::decrypt(): failed to decrypt."));
    EXPECT_TRUE(log.Contains(u"CMailCfg::load(): invalid encrypted contents in '" +
                             dir.WideFile("smtp.cfg") + u"'"));

    CMailCfg text;
    log.Clear();
    text.load(plain);
    EXPECT_EQ(text.m_strText1, u"");
    EXPECT_TRUE(log.Contains(u"CMailCfg::load(): invalid encrypted contents in '"));

    RegistryRoot::Set(plain);
    CMailCfg reg;
    log.Clear();
    EXPECT_FALSE(reg.loadRegistry(HKEY_CURRENT_USER, kKey, kValue));
    EXPECT_TRUE(
        log.Contains(u"CMailCfg::loadRegistry: invalid encrypted-data in "
                     u"'Software\\Veltrana\\Orbisuite\\mail\\smtp.cfg'."));
}

TEST(CMailCfg, StringLengthLimit) {
    ScratchDir dir;
    std::u16string longest(1024, u'\u0444');
    CMailCfg out;
    out.m_strText1 = longest;
    out.m_strText2 = u"x";
    ASSERT_TRUE(out.save(dir.WideFile("ok.cfg").c_str()));
    CMailCfg in;
    ASSERT_TRUE(in.load(dir.WideFile("ok.cfg").c_str()));
    EXPECT_EQ(in.m_strText1, longest);

    // A stored length of 2049 is refused.
    std::string record = Record(std::u16string(1024, u'a'), u"");
    record[0] = static_cast<char>(2049 & 0xFF);
    record[1] = static_cast<char>(2049 >> 8);
    record.insert(2 + 2048, "a");
    WriteBytes(dir.File("long.cfg"), Encipher(record));
    LogCapture log;
    CMailCfg bad;
    EXPECT_FALSE(bad.load(dir.WideFile("long.cfg").c_str()));
    EXPECT_TRUE(log.Contains(u"post6_cfg::readString: invalid string-length 2049"));
    EXPECT_TRUE(
        log.Contains(u"CMailCfg::load(): invalid contents in '" + dir.WideFile("long.cfg") + u"'"));
}

TEST(CMailCfg, AnsiBytesAreWidened) {
    // Text 1 stored as Windows-1252 bytes, not UTF-16.
    std::string ansi = "smtp.example.com caf\xE9";
    std::string record = std::string(1, static_cast<char>(ansi.size())) + '\0' + ansi +
                         std::string("\x04\0p\0w\0", 6);
    CMailCfg cfg;
    cfg.load(Encipher(record));
    EXPECT_EQ(cfg.m_strText1, u"smtp.example.com caf\u00E9");
    EXPECT_EQ(cfg.m_strText2, u"pw");
}

TEST(CMailCfg, TruncatedRecordsFailWithTheirLines) {
    // Plain record files, so that no reserved bytes pad the record.
    ScratchDir dir;
    LogCapture log;
    WriteBytes(dir.File("one.cfg"), "\x01");
    CMailCfg a;
    EXPECT_FALSE(a.load(dir.WideFile("one.cfg").c_str()));
    EXPECT_TRUE(log.Contains(u"CMailCfg::readString: failed to read string-length"));
    log.Clear();
    WriteBytes(dir.File("short.cfg"), std::string("\x10\0a\0b\0", 6));
    CMailCfg b;
    EXPECT_FALSE(b.load(dir.WideFile("short.cfg").c_str()));
    EXPECT_TRUE(log.Contains(u"post6_cfg::readString: failed to read string"));
    // The first string is kept when the second cannot be read.
    log.Clear();
    WriteBytes(dir.File("half.cfg"), std::string("\x02\0a\0\x09", 5));
    CMailCfg c;
    EXPECT_FALSE(c.load(dir.WideFile("half.cfg").c_str()));
    EXPECT_EQ(c.m_strText1, u"a");
}

TEST(CMailCfg, FileFailuresAreReported) {
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
    FailingCfg failing;
    EXPECT_FALSE(failing.save(dir.WideFile("smtp.cfg").c_str()));
    EXPECT_TRUE(std::filesystem::exists(dir.File("smtp.cfg")));
    EXPECT_EQ(ReadBytes(dir.File("smtp.cfg")), "");

    if (std::filesystem::exists("/dev/full")) {
        cfg.m_strText1 = u"host";
        EXPECT_FALSE(cfg.save(u"/dev/full"));
        EXPECT_TRUE(
            log.Contains(u"WriteFile failed with 0x70 ('There is not enough space on the disk')"))
            << log.Dump();
    }
}

TEST(CMailCfg, DecryptRejectsTextThatIsNotBase64) {
    CMailCfg cfg;
    CGrowingBuffer b(1024);
    b.Write("not base64!", 11);
    LogCapture log;
    EXPECT_FALSE(cfg.decrypt(b));
    EXPECT_TRUE(log.Contains(u"CMailCfg::decrypt(): failed to decrypt."));
    EXPECT_EQ(b.GetSize(), 11u);  // left as it was
    EXPECT_EQ(std::memcmp(b.m_pData, "not base64!", 11), 0);

    // Valid outside, garbage inside.
    std::string e = "!!!!****";
    BlowfishCfb64Encipher(reinterpret_cast<const std::uint8_t*>(e.data()),
                          reinterpret_cast<std::uint8_t*>(e.data()), e.size());
    const std::string b2 = Base64(e);
    CGrowingBuffer c(1024);
    c.Write(b2.data(), static_cast<DWORD>(b2.size()));
    log.Clear();
    EXPECT_FALSE(cfg.decrypt(c));
    EXPECT_TRUE(log.Contains(u"CMailCfg::decrypt(): invalid base64 data."));
}
