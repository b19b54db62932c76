#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>

#include "Environment.h"
#include "HostMessage.h"
#include "LogCapture.h"
#include "ScratchDir.h"
#include "ScratchRegistry.h"
#include "api/CSMTPMailAPI.h"
#include "api/ConfigText.h"
#include "config/CGrowingBuffer.h"
#include "config/CMailCfg.h"
#include "platform/Registry.h"

namespace {

constexpr const char16_t* kKey = u"Software\\Veltrana\\Orbisuite\\mail";

struct Settings {
    std::u16string host, user, password, senderName, senderAddr;
    int port = 25, authMethod = 0, priority = 2, bodyFormat = 0;
    bool startTls = false;
    DWORD certFlags = 0;
    std::u16string oauthClientSecret, oauthClientId, oauthTenantId, oauthScope, oauthTokenUrl,
        oauthAuthority, oauthResource;
    std::u16string charset = u"utf-8";
    int keepAlive = 0;
    bool operator==(const Settings&) const = default;
};

const Settings kSample(Settings{u"smtp.example.com", u"bob", u"pa ss", u"Bob B", u"bob@example.com",
                                587, 2, 3, 1, true, 0x1000, u"cs", u"cid", u"tid", u"sc", u"tu",
                                u"au", u"rs"});

struct FakeSession {
    MAILSESSION session{sizeof session, 1, &funcs, this};
    MAILSESSIONFUNCS funcs{sizeof funcs, &GetItem};
    std::u16string text;
    long status = 0;
    int calls = 0, lastSelector = 0, lastItem = 0;

    static long MAILCALL GetItem(MAILSESSION* s, int selector, int item, MAILWCHAR* buffer,
                                 uint32_t* pcch) {
        auto* self = static_cast<FakeSession*>(s->pHostData);
        self->lastSelector = selector, self->lastItem = item, ++self->calls;
        if (self->status < 0)
            return self->status;
        if (self->text.size() + 1 > *pcch) {
            *pcch = static_cast<uint32_t>(self->text.size() + 1);
            return MAILSESSION_E_MOREDATA;
        }
        std::copy(self->text.c_str(), self->text.c_str() + self->text.size() + 1, buffer);
        return 0;
    }
};

std::u16string StoredText(const std::u16string& text1, const std::u16string& text2) {
    CMailCfg cfg;
    cfg.m_strText1 = text1;
    cfg.m_strText2 = text2;
    CGrowingBuffer buffer(1024);
    EXPECT_TRUE(cfg.serialize(buffer) && cfg.encrypt(buffer));
    return std::u16string(buffer.m_pData, buffer.m_pData + buffer.GetSize());
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(Dir(true));
        std::filesystem::create_directories(Dir(false));
        m_flags = MakeIniFlags(&m_log, nullptr, m_primary.c_str());
        m_flags.pszSecondaryDir = m_secondary.c_str();
    }

    std::string Dir(bool primary) const { return m_root + (primary ? "/primary/" : "/secondary/"); }
    void WriteStore(bool primary, const std::u16string& text1, const std::u16string& text2 = u"") {
        WriteBytes(Dir(primary) + "smtp.cfg", ToUtf8(StoredText(text1, text2)));  // Base64 text
    }
    void WriteIni(bool primary, const std::string& text) {
        std::ofstream(Dir(primary) + "vx.ini", std::ios::binary) << text;
    }
    Settings Load() {
        CSMTPMailAPI api;
        EXPECT_TRUE(api.Initialize(&m_flags));
        return Settings{api.m_strHost,          api.m_strUser,           api.m_strPassword,
                        api.m_strSenderName,    api.m_strSenderAddr,     api.m_nPort,
                        api.m_nAuthMethod,      api.m_nDefaultPriority,  api.m_nBodyFormat,
                        api.m_bStartTLS,        api.m_dwCertCheckFlags,  api.m_strOAuthClientSecret,
                        api.m_strOAuthClientId, api.m_strOAuthTenantId,  api.m_strOAuthScope,
                        api.m_strOAuthTokenUrl, api.m_strOAuthAuthority, api.m_strOAuthResource,
                        api.m_strCharset,       api.m_nKeepAliveSeconds};
    }
    std::u16string ContentType() const { return m_flags.szContentType; }

    ScratchDir m_scratch;
    const std::string m_root = m_scratch.Path();
    const std::u16string m_primary = FromUtf8(Dir(true)), m_secondary = FromUtf8(Dir(false));
    std::u16string m_longDir;
    CapturingLogProvider m_log;
    MAILINIFLAGS m_flags{};
};

}  // namespace

TEST_F(SettingsTest, DefaultsWithoutAnySourceAndEveryFieldOfAStore) {
    EXPECT_EQ(Load(), Settings{});
    EXPECT_TRUE(m_flags.dwCfgSource & MAILCFG_SOURCE_FILE);
    EXPECT_EQ(ContentType(), u"");
    WriteStore(true,
               JoinConfigText({u"smtp.example.com", u"bob", u"Bob B", u"bob@example.com",
                               u"ignored", u"587", u"2", u"3", u"1", u"1", u"4096", u"cs", u"cid",
                               u"tid", u"sc", u"tu", u"au", u"rs"}),
               u"pa ss");
    EXPECT_EQ(Load(), kSample);
    EXPECT_EQ(ContentType(), u"text/html");
}

// Numbers as _wtoi reads them, the body format written back as the caller's
// content type, STARTTLS only for "1"; missing fields keep their defaults.
TEST_F(SettingsTest, FieldConversions) {
    const struct {
        const char16_t *port, *format, *tls;  // the fields; null: a record of the host alone
        int nPort, nBodyFormat;
        bool bStartTls;
        std::u16string contentType;
    } cases[] = {
        {nullptr, nullptr, nullptr, 25, 0, false, u"untouched"},
        {u"587", u"1", u"1", 587, 1, true, u"text/html"},
        {u"x", u"0", u"2", 0, 0, false, u"text/plain"},
        {u"-12", u"2", u"0", -12, 2, false, u"untouched"},
        {u"99x", u"", u"1", 99, 0, true, u"untouched"},
    };
    for (const auto& c : cases) {
        const std::u16string text =
            c.port == nullptr
                ? JoinConfigText({u"h"})
                : JoinConfigText({u"h", u"", u"", u"", u"", c.port, u"", u"", c.format, c.tls});
        SCOPED_TRACE(ToUtf8(text));
        const std::u16string mark = u"untouched";
        std::copy(mark.c_str(), mark.c_str() + mark.size() + 1, m_flags.szContentType);
        WriteStore(true, text);
        Settings expected{.host = u"h", .port = c.nPort, .bodyFormat = c.nBodyFormat};
        expected.startTls = c.bStartTls;
        EXPECT_EQ(Load(), expected);
        EXPECT_EQ(ContentType(), c.contentType);
    }
}

TEST_F(SettingsTest, StoreIniAndPasswordPrecedence) {
    // Names in any case, blanks around "=", quotes around a value.
    WriteIni(true,
             "[smtp]\r\nsmtpHost = smtp.example.com\r\nsmtpUser=bob\r\nsmtpPass=\"pa ss\"\r\n"
             "smtpSenderName=Bob B\r\nSMTPSENDERADDR=bob@example.com\r\nsmtpPort=587\r\n"
             "smtpAuth=2\r\noauthClientSecret=cs\r\noauthClientId=cid\r\noauthTenantId=tid\r\n"
             "oauthScope=sc\r\noauthTokenUrl=tu\r\noauthAuthority=au\r\noauthResource=rs\r\n");
    Settings fromIni = kSample;
    fromIni.priority = 2, fromIni.bodyFormat = 0, fromIni.startTls = false, fromIni.certFlags = 0;
    EXPECT_EQ(Load(), fromIni);
    EXPECT_EQ(ContentType(), u"");

    // A store with a host wins; without one the INI file decides, with its
    // own defaults (authentication 4).
    // KeepAliveSeconds comes from the INI file all the same, unless
    // SMTPMAIL_KEEPALIVE_S says otherwise; one out of range keeps nothing.
    WriteIni(true,
             "[SMTP]\nsmtpHost=ini.host\nsmtpPort=26\nsmtpSenderAddr=ini@example.com\n"
             "KeepAliveSeconds=30\n");
    WriteStore(true, JoinConfigText({u"store.host", u"", u"", u"", u"", u"2525"}));
    EXPECT_EQ(Load(), (Settings{.host = u"store.host", .port = 2525, .keepAlive = 30}));
    {
        ScopedEnv keepAlive({{"SMTPMAIL_KEEPALIVE_S", "3600"}});
        EXPECT_EQ(Load().keepAlive, 3600);
    }
    WriteIni(true, "[SMTP]\nKeepAliveSeconds=3601\n");
    EXPECT_EQ(Load().keepAlive, 0);
    WriteIni(true, "[SMTP]\nsmtpHost=ini.host\nsmtpPort=26\nsmtpSenderAddr=ini@example.com\n");
    WriteStore(true, JoinConfigText({u"", u"storeuser", u"", u"", u"", u"2525", u"3"}), u"spw");
    Settings expected{.host = u"ini.host", .user = u"storeuser", .password = u"spw"};
    expected.senderAddr = u"ini@example.com", expected.port = 26, expected.authMethod = 4;
    EXPECT_EQ(Load(), expected);

    // However long: a sender address cut short would still be sent.
    const std::string name(5000, 'n'), address = std::string(1000, 'a') + "@example.org";
    WriteIni(true, "[SMTP]\nsmtpHost=h\nsmtpSenderName=" + name + "\nsmtpSenderAddr=\"" + address +
                       "\"\nsmtpPass=from ini\n");
    EXPECT_EQ(ToUtf8(Load().senderName), name);
    EXPECT_EQ(ToUtf8(Load().senderAddr), address);

    // The INI file's password, else the host's, else the store's.
    const std::u16string hostPassword = u"from host";
    m_flags.pszPassword = hostPassword.c_str();
    EXPECT_EQ(Load().password, u"from ini");
    WriteIni(true, "[SMTP]\nsmtpHost=ini.host\n");
    EXPECT_EQ(Load().password, u"from host");
    WriteStore(true, u"h", u"from store");
    EXPECT_EQ(Load().password, u"from host");
    m_flags.pszPassword = nullptr;
    EXPECT_EQ(Load().password, u"from store");

    // An empty host in the primary INI file leaves the secondary's.
    std::filesystem::remove(Dir(true) + "smtp.cfg");
    WriteIni(true, "[SMTP]\nsmtpHost=\nsmtpPort=1\n");
    WriteIni(false, "[SMTP]\nsmtpHost=secondary.host\nsmtpAuth=2\n");
    EXPECT_EQ(Load(), (Settings{.host = u"secondary.host", .authMethod = 2}));

    // The store's name is joined to a directory without a separator, the INI
    // file's glued to it.
    const std::u16string joined = FromUtf8(m_root + "/primary");
    m_flags.pszPrimaryDir = joined.c_str();
    WriteStore(true, u"joined.host");
    EXPECT_EQ(Load().host, u"joined.host");
    const std::u16string glued = FromUtf8(m_root + "/secondary/pre");
    m_flags.pszPrimaryDir = glued.c_str();
    m_flags.pszSecondaryDir = nullptr;
    std::ofstream(m_root + "/secondary/prevx.ini") << "[SMTP]\nsmtpHost=glued.host\n";
    EXPECT_EQ(Load().host, u"glued.host");
}

TEST_F(SettingsTest, HostSessionAnswersWhenThePrimaryHasNoStore) {
    FakeSession session;
    session.text =
        StoredText(JoinConfigText({u"session.host", u"", u"", u"", u"", u"2626"}), u"spw");
    m_flags.pSession = &session.session;
    WriteStore(false, u"secondary.host");
    EXPECT_EQ(Load(), (Settings{.host = u"session.host", .password = u"spw", .port = 2626}));
    EXPECT_EQ(std::tuple(session.calls, session.lastSelector, session.lastItem),
              std::tuple(1, 1, 206));
    // A text longer than the first buffer takes a second call.
    session.text = StoredText(std::u16string(1024, u'h'), std::u16string(1024, u'p'));
    ASSERT_GT(session.text.size(), 4096u);
    EXPECT_EQ(Load().host, std::u16string(1024, u'h'));
    EXPECT_EQ(session.calls, 3);

    // A session that is not ready, has no function or fails: the secondary.
    session.session.bReady = 0;
    EXPECT_EQ(Load().host, u"secondary.host");
    session.session.bReady = 1;
    session.funcs.pfnGetItem = nullptr;
    EXPECT_EQ(Load().host, u"secondary.host");
    session.funcs.pfnGetItem = &FakeSession::GetItem;
    session.status = -5;
    EXPECT_EQ(Load().host, u"secondary.host");
    EXPECT_EQ(session.calls, 4);
    WriteStore(true, u"primary.host");
    EXPECT_EQ(Load().host, u"primary.host");
    EXPECT_EQ(session.calls, 4);
}

// Which store Initialize reads (SaveCfg is no export's).
TEST_F(SettingsTest, SourceBitsOfLoadCfg) {
    ScratchRegistry registry(m_scratch);
    CSMTPMailAPI api;
    ASSERT_TRUE(api.Initialize(&m_flags));
    MAILINIFLAGS flags = m_flags;
    flags.dwCfgSource = MAILCFG_SOURCE_REGISTRY;
    CMailCfg machine, user, read;
    machine.m_strText1 = u"machine.host";
    ASSERT_TRUE(machine.saveRegistry(HKEY_LOCAL_MACHINE, kKey, u"smtp.cfg"));
    EXPECT_TRUE(api.LoadCfg(read, &flags));
    EXPECT_EQ(read.m_strText1, u"machine.host");
    user.m_strText1 = u"user.host";
    ASSERT_TRUE(user.saveRegistry(HKEY_CURRENT_USER, kKey, u"smtp.cfg"));
    EXPECT_TRUE(api.LoadCfg(read, &flags));
    EXPECT_EQ(read.m_strText1, u"user.host");
    // The file bit wins when both are set; neither bit reads nothing.
    flags.dwCfgSource = MAILCFG_SOURCE_REGISTRY | MAILCFG_SOURCE_FILE;
    EXPECT_FALSE(api.LoadCfg(read, &flags));
    flags.dwCfgSource = 0;
    EXPECT_FALSE(api.LoadCfg(read, &flags));
}

// Each is a warning that names it, and the send that finds no server says
// why. Nothing but a regular file is read, so a FIFO holds nobody up, and a
// file far larger than any settings is refused before it is read.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kPeakGrowthKiB = 32 * 1024;  // the sanitizer's shadow and quarantine
#else
constexpr long kPeakGrowthKiB = 8 * 1024;
#endif
TEST_F(SettingsTest, UnusableSettingsFilesAreTheReasonSendGives) {
    const std::string kNoStore = "its contents are not a settings store";
    const std::string store = Dir(true) + "smtp.cfg", ini = Dir(true) + "vx.ini";
    const std::string longDir = m_root + "/" + std::string(5000, 'd') + "/";
    auto write = [](const std::string& path, const std::string& bytes) {
        return [=] { std::ofstream(path, std::ios::binary) << bytes; };
    };
    const struct {
        const char* what;
        std::string file;
        std::function<void()> make;
        std::string why;
        DWORD native;
    } rows[] = {
        {"garbage", store, write(store, "this is no store"), kNoStore, 13},
        {"empty", store, write(store, ""), kNoStore, 13},
        {"cut short", store,
         [&] {
             WriteStore(true, u"cut.host\u00c2\u00a7\u00c2\u00a7user");
             std::filesystem::resize_file(store, 20);
         },
         kNoStore, 13},
        {"a FIFO", store, [&] { ::mkfifo(store.c_str(), 0600); }, "Access is denied", 5},
        {"100 MB of zeros", store,
         [&] { write(store, "")(), std::filesystem::resize_file(store, 100 << 20); },
         "it is larger than 1 MiB", 223},
        {"a 5000-character directory", longDir + "smtp.cfg",
         [&] { m_flags.pszPrimaryDir = m_longDir.c_str(); },
         "The filename or extension is too long", 206},
        {"vx.ini in UTF-16BE", ini, write(ini, std::string("\xFE\xFF\0[\0S\0M\0T\0P\0]", 14)),
         "it is UTF-16 big-endian text; save it as UTF-16 (little-endian), UTF-8 or ANSI text", 13},
        {"a vx.ini line of 100 KiB", ini,
         write(ini, "[SMTP]\nsmtpHost=" + std::string(100 << 10, 'h')),
         "a line is longer than 64 KiB", 13},
        {"a vx.ini of 10 MB", ini, write(ini, "[SMTP]\nsmtpHost=" + std::string(10 << 20, 'h')),
         "it is larger than 1 MiB", 223},
        {"a FIFO vx.ini", ini, [&] { ::mkfifo(ini.c_str(), 0600); }, "Access is denied", 5},
    };
    m_longDir = FromUtf8(longDir);
    HostMessage message;
    message.Subject(u"s").Body(u"b").To(nullptr, u"to@example.org");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        row.make();
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        {
            CSMTPMailAPI api;
            ASSERT_TRUE(api.Initialize(&m_flags));
            getrusage(RUSAGE_SELF, &after);
            EXPECT_LT(after.ru_maxrss - before.ru_maxrss, kPeakGrowthKiB)
                << "kilobytes of peak growth";
            const std::u16string file = FromUtf8(row.file), why = FromUtf8(row.why);
            EXPECT_TRUE(m_log.Contains(
                u"The settings in '" + file + u"' cannot be used: " + why + u".", 4));
            EXPECT_EQ(api.Send(message.Record(), nullptr), MAILERR_INIT);
            const std::u16string text =
                u"CSMTPMailAPI::Send() - The settings cannot be used (" + why + u"): " + file;
            EXPECT_EQ(std::u16string(api.GetLastError()->szDescription),
                      text.size() < 256 ? text : text.substr(0, 252) + u"...");
            EXPECT_EQ(api.GetLastError()->dwNativeCode, row.native);
        }
        std::error_code ec;  // (the long path cannot be removed: it is not there)
        std::filesystem::remove(row.file, ec);
        m_flags.pszPrimaryDir = m_primary.c_str();
    }
    // Another source that can be used is taken, and a missing store is no news.
    ASSERT_EQ(::mkfifo(store.c_str(), 0600), 0);
    WriteIni(false, "[SMTP]\nsmtpHost=secondary.host\n");
    EXPECT_EQ(Load().host, u"secondary.host");
    std::filesystem::remove(store);
    m_log.Clear();
    Load();
    EXPECT_TRUE(m_log.Entries().empty());
}

namespace {

int Tool(const std::string& args, std::string* output = nullptr,
         const std::string& environment = "") {
    const std::string command =
        environment + " " + SMTPMAIL_BIN_DIR + "/smtpmail-cfg " + args + " 2>&1 </dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string text;
    char buffer[4096];
    for (size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        text.append(buffer, n);
    if (output != nullptr)
        *output = text;
    const int status = pipe != nullptr ? ::pclose(pipe) : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST_F(SettingsTest, ToolStoreIsReadByTheProvider) {
    const std::string dir = "--dir '" + Dir(true) + "'";
    std::string output;
    ASSERT_EQ(Tool(dir + " --host smtp.example.com --port 587 --user bob --password 'pa ss' "
                         "--sender-name 'Bob B' --sender-address bob@example.com --auth login "
                         "--starttls on --cert-flags 0x1000 --body-format html --priority high "
                         "--oauth-client-id cid --oauth-client-secret cs --oauth-tenant-id tid "
                         "--oauth-scope sc --oauth-token-url tu --oauth-authority au "
                         "--oauth-resource rs",
                   &output),
              0)
        << output;
    EXPECT_EQ(Load(), kSample);
    EXPECT_EQ(ContentType(), u"text/html");

    // Settings not given keep the defaults; --update changes only those given.
    ASSERT_EQ(Tool("--file '" + Dir(true) +
                   "smtp.cfg' --host first.host --port 587 --user u "
                   "--password keep --auth plain"),
              0);
    ASSERT_EQ(Tool(dir + " --update --port 465 --starttls on", &output), 0) << output;
    Settings expected{.host = u"first.host", .user = u"u", .password = u"keep", .port = 465};
    expected.authMethod = 3, expected.startTls = true;
    EXPECT_EQ(Load(), expected);
    EXPECT_EQ(Tool("--dir '" + Dir(false) + "' --update --port 1"), 1) << "no store to update";

    ASSERT_EQ(Tool(dir + " --host h.example --password topsecret --auth ntlm"), 0);
    ASSERT_EQ(Tool(dir + " --show", &output), 0) << output;
    for (const char* shown : {"h.example", "4 (AUTH_NTLM)", "********"})
        EXPECT_NE(output.find(shown), std::string::npos) << output;
    EXPECT_EQ(output.find("topsecret"), std::string::npos) << output;
}

TEST_F(SettingsTest, ToolWritesTheRegistryAndRefusesBadArguments) {
    const std::string root = "--registry-root '" + m_root + "/registry'";
    ASSERT_EQ(Tool("--registry hkcu " + root + " --host reg.host --password rpw"), 0);
    CMailCfg cfg;
    {
        ScratchRegistry registry(m_scratch);  // the same folder
        EXPECT_TRUE(cfg.loadRegistry(HKEY_CURRENT_USER, kKey, u"smtp.cfg"));
    }
    EXPECT_EQ(cfg.m_strText1.substr(0, 8), u"reg.host");
    EXPECT_EQ(cfg.m_strText2, u"rpw");
    std::string output;
    EXPECT_EQ(
        Tool("--registry hklm " + root + " --host x", &output, "SMTPMAIL_REGISTRY_HKLM_READONLY=1"),
        1);
    EXPECT_NE(output.find("cannot write the store to HKEY_LOCAL_MACHINE"), std::string::npos)
        << output;
    EXPECT_EQ(Tool("--registry hklm " + root + " --host x"), 0);

    const std::string dir = " --dir '" + m_root + "'";
    EXPECT_EQ(Tool("--host h", &output), 2);
    EXPECT_NE(output.find("exactly one of --file, --dir and --registry"), std::string::npos);
    EXPECT_EQ(Tool(dir, &output), 2);
    EXPECT_NE(output.find("--host is required"), std::string::npos);
    for (const char* wrong : {" --port 70000", " --auth kerberos", " --bogus 1"})
        EXPECT_EQ(Tool(dir + " --host h" + wrong), 2) << wrong;
    EXPECT_EQ(Tool("--dir '" + m_root + "/missing/dir' --host h"), 1);
    EXPECT_EQ(Tool("--dir '" + m_root + "/empty' --show"), 1);
    EXPECT_EQ(Tool("--help", &output), 0);
    EXPECT_NE(output.find("--sender-address"), std::string::npos);
}
