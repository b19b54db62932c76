#include <sys/stat.h>

#include <string>
#include <vector>

#include "ConfigFixture.h"
#include "Watchdog.h"
#include "api/CSMTPMailAPI.h"
#include "config/CGrowingBuffer.h"
#include "platform/Registry.h"

namespace {

// A provider object initialised with the fixture's record.
class Provider {
public:
    explicit Provider(MAILINIFLAGS* pFlags) { m_ok = m_api.Initialize(pFlags); }
    CSMTPMailAPI* operator->() { return &m_api; }
    CSMTPMailAPI& api() { return m_api; }
    bool ok() const { return m_ok; }

private:
    CSMTPMailAPI m_api;
    bool m_ok = false;
};

// The host session: answers item 206 with a stored text, or fails.
struct FakeSession {
    MAILSESSION session{};
    MAILSESSIONFUNCS funcs{};
    std::u16string text;
    long status = 0;
    int calls = 0;
    int lastSelector = 0, lastItem = 0;

    FakeSession() {
        session.cbSize = sizeof session;
        session.bReady = 1;
        session.pFuncs = &funcs;
        session.pHostData = this;
        funcs.cbSize = sizeof funcs;
        funcs.pfnGetItem = &GetItem;
    }

    static long MAILCALL GetItem(MAILSESSION* s, int selector, int item, MAILWCHAR* buffer,
                                 uint32_t* pcch) {
        auto* self = static_cast<FakeSession*>(s->pHostData);
        ++self->calls;
        self->lastSelector = selector;
        self->lastItem = item;
        if (self->status < 0)
            return self->status;
        if (self->text.size() + 1 > *pcch) {
            *pcch = static_cast<uint32_t>(self->text.size() + 1);
            return MAILSESSION_E_MOREDATA;
        }
        for (size_t i = 0; i < self->text.size(); ++i)
            buffer[i] = static_cast<MAILWCHAR>(self->text[i]);
        buffer[self->text.size()] = 0;
        return 0;
    }
};

// The stored form of a record, as the host keeps it.
std::u16string StoredText(const std::u16string& text1, const std::u16string& text2) {
    CMailCfg cfg;
    cfg.m_strText1 = text1;
    cfg.m_strText2 = text2;
    CGrowingBuffer buffer(1024);
    EXPECT_TRUE(cfg.serialize(buffer) && cfg.encrypt(buffer));
    return std::u16string(buffer.m_pData, buffer.m_pData + buffer.GetSize());
}

}  // namespace

using SettingsTest = ConfigFixture;

TEST_F(SettingsTest, DefaultsWithoutAnySource) {
    Provider p(&m_flags);
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(SettingsOf(p.api()), Settings{});
    EXPECT_EQ(m_flags.dwCfgSource & MAILCFG_SOURCE_FILE,
              static_cast<uint32_t>(MAILCFG_SOURCE_FILE));
    EXPECT_EQ(ContentType(), u"");
}

TEST_F(SettingsTest, EveryFieldLandsInItsSetting) {
    WriteStore(true,
               JoinConfigText({u"smtp.example.com", u"bob", u"Bob B", u"bob@example.com",
                               u"ignored", u"587", u"2", u"3", u"1", u"1", u"4096", u"cs", u"cid",
                               u"tid", u"sc", u"tu", u"au", u"rs"}),
               u"pa ss");
    Provider p(&m_flags);
    EXPECT_EQ(SettingsOf(p.api()), SampleSettings());
    EXPECT_EQ(ContentType(), u"text/html");
}

// Fields 6, 9 and 10: numbers read as _wtoi reads them, the body format written
// back as the caller's content type, STARTTLS only for "1". The other settings
// keep their defaults.
TEST_F(SettingsTest, FieldConversions) {
    struct Case {
        std::u16string port, bodyFormat, startTls;
        Settings expected;
        std::u16string contentType;
    };
    auto with = [](int port, int bodyFormat, bool startTls) {
        Settings s;
        s.host = u"h";
        s.port = port;
        s.bodyFormat = bodyFormat;
        s.startTls = startTls;
        return s;
    };
    for (const Case& c : {Case{u"", u"", u"", with(25, 0, false), u"untouched"},
                          Case{u"587", u"1", u"1", with(587, 1, true), u"text/html"},
                          Case{u"x", u"0", u"2", with(0, 0, false), u"text/plain"},
                          Case{u"-12", u"2", u"0", with(-12, 2, false), u"untouched"},
                          Case{u"99x", u"", u"1", with(99, 0, true), u"untouched"}}) {
        SCOPED_TRACE(ToUtf8(c.port + u"," + c.bodyFormat + u"," + c.startTls));
        const std::u16string mark = u"untouched";
        std::copy(mark.c_str(), mark.c_str() + mark.size() + 1, m_flags.szContentType);
        WriteStore(
            true,
            JoinConfigText({u"h", u"", u"", u"", u"", c.port, u"", u"", c.bodyFormat, c.startTls}),
            u"");
        Provider p(&m_flags);
        EXPECT_EQ(SettingsOf(p.api()), c.expected);
        EXPECT_EQ(ContentType(), c.contentType);
    }
}

TEST_F(SettingsTest, SeparatorCharacterInsideAFieldShiftsTheRest) {
    // "us\u00C2er" ends at the stray character; the rest of it and the real
    // separator after it become an empty field and a cut one.
    WriteStore(true, u"host" + kSep + u"us\u00C2er" + kSep + u"name", u"");
    Provider p(&m_flags);
    EXPECT_EQ(p->m_strHost, u"host");
    EXPECT_EQ(p->m_strUser, u"us");
    EXPECT_EQ(p->m_strSenderName, u"");
    EXPECT_EQ(p->m_strSenderAddr, u"ame");
}

TEST_F(SettingsTest, EmptyFieldsAndFieldsPastTheEnd) {
    m_flags.pszPassword = nullptr;
    WriteStore(true, JoinConfigText({u"h", u"", u"name"}), u"");
    Provider p(&m_flags);
    EXPECT_EQ(p->m_strHost, u"h");
    EXPECT_EQ(p->m_strUser, u"");
    EXPECT_EQ(p->m_strSenderName, u"name");
    EXPECT_EQ(p->m_strSenderAddr, u"");
    EXPECT_EQ(p->m_nPort, 25);
}

TEST_F(SettingsTest, StoreWinsOverTheIniFile) {
    WriteStore(true, JoinConfigText({u"store.host", u"", u"", u"", u"", u"2525"}), u"");
    WriteIni(true, "[SMTP]\nsmtpHost=ini.host\nsmtpPort=26\n");
    Provider p(&m_flags);
    EXPECT_EQ(p->m_strHost, u"store.host");
    EXPECT_EQ(p->m_nPort, 2525);
}

TEST_F(SettingsTest, EmptyStoreHostLetsTheIniFileDecide) {
    WriteStore(true, JoinConfigText({u"", u"storeuser", u"", u"", u"", u"2525", u"3"}), u"");
    WriteIni(true, "[SMTP]\nsmtpHost=ini.host\nsmtpSenderAddr=ini@example.com\n");
    Provider p(&m_flags);
    EXPECT_EQ(p->m_strHost, u"ini.host");
    EXPECT_EQ(p->m_strUser, u"storeuser");  // the INI file has none
    EXPECT_EQ(p->m_strSenderAddr, u"ini@example.com");
    EXPECT_EQ(p->m_nPort, 25);       // missing: its default
    EXPECT_EQ(p->m_nAuthMethod, 4);  // missing: its default
}

TEST_F(SettingsTest, IniKeysAndTheirDefaults) {
    // Section and key names in any case, blanks around the "=", quotes around a value.
    WriteIni(true,
             "[smtp]\r\nsmtpHost = smtp.example.com\r\nsmtpUser=bob\r\nsmtpPass=\"pa ss\"\r\n"
             "smtpSenderName=Bob B\r\nSMTPSENDERADDR=bob@example.com\r\nsmtpPort=587\r\n"
             "smtpAuth=2\r\noauthClientSecret=cs\r\noauthClientId=cid\r\noauthTenantId=tid\r\n"
             "oauthScope=sc\r\noauthTokenUrl=tu\r\noauthAuthority=au\r\noauthResource=rs\r\n");
    Provider p(&m_flags);
    // The INI file says nothing about these: their defaults.
    Settings expected = SampleSettings();
    expected.priority = Settings{}.priority;
    expected.bodyFormat = Settings{}.bodyFormat;
    expected.startTls = Settings{}.startTls;
    expected.certFlags = Settings{}.certFlags;
    EXPECT_EQ(SettingsOf(p.api()), expected);
    EXPECT_EQ(ContentType(), u"");
}

// Values keep every character, however long: a sender address cut at a
// buffer's end would lose its domain and still be sent.
TEST_F(SettingsTest, IniValuesAreReadWhole) {
    const std::string name(5000, 'n');
    const std::string address = std::string(1000, 'a') + "@example.org";
    WriteIni(true, "[SMTP]\nsmtpHost=h\nsmtpSenderName=" + name + "\nsmtpSenderAddr=\"" + address +
                       "\"\nsmtpPort=2525\n");
    Provider p(&m_flags);
    EXPECT_EQ(ToUtf8(p->m_strSenderName), name);
    EXPECT_EQ(ToUtf8(p->m_strSenderAddr), address);
    EXPECT_EQ(p->m_nPort, 2525);
}

// A store that is there but cannot be used leaves the settings empty and
// says so in the host's log, naming the file; nothing that is not a regular
// file is ever read, so a FIFO holds nobody up.
TEST_F(SettingsTest, UnusableStoresAreWarningsAndNothingWaits) {
    Watchdog watchdog(std::chrono::seconds(30), "reading the settings");
    const std::u16string store = FromUtf8(Dir(true) + "smtp.cfg");
    auto warned = [&](const std::u16string& why) {
        return m_log.Contains(u"The settings in '" + store + u"' cannot be used: " + why, 4);
    };
    std::ofstream(Dir(true) + "smtp.cfg") << "this is no store";
    {
        Provider p(&m_flags);
        EXPECT_EQ(p->m_strHost, u"");
        EXPECT_TRUE(warned(u"its contents are not a settings store.")) << ToUtf8(store);
    }
    std::filesystem::remove(Dir(true) + "smtp.cfg");
    ASSERT_EQ(::mkfifo((Dir(true) + "smtp.cfg").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((Dir(true) + "vx.ini").c_str(), 0600), 0);
    WriteIni(false, "[SMTP]\nsmtpHost=secondary.host\n");
    m_log.Clear();
    {
        Provider p(&m_flags);
        EXPECT_EQ(p->m_strHost, u"secondary.host") << "the FIFO counts as no INI file";
        EXPECT_TRUE(warned(u"Access is denied.")) << ToUtf8(store);
    }
    // A missing store is no news.
    std::filesystem::remove(Dir(true) + "smtp.cfg");
    m_log.Clear();
    {
        Provider p(&m_flags);
        EXPECT_TRUE(m_log.Entries().empty());
    }
}

TEST_F(SettingsTest, EmptyIniHostInThePrimaryDirectoryIsSkipped) {
    WriteIni(true, "[SMTP]\nsmtpHost=\nsmtpPort=1\n");
    WriteIni(false, "[SMTP]\nsmtpHost=secondary.host\nsmtpAuth=2\n");
    Provider p(&m_flags);
    EXPECT_EQ(p->m_strHost, u"secondary.host");
    EXPECT_EQ(p->m_nPort, 25);
    EXPECT_EQ(p->m_nAuthMethod, 2);
}

TEST_F(SettingsTest, DirectoryTextsWithoutTrailingSeparator) {
    // The store's name is joined to the directory; the INI file's is glued to its text.
    std::u16string primary = FromUtf8(m_root + "/primary");
    m_flags.pszPrimaryDir = HostText(primary);
    WriteStore(true, u"joined.host", u"");
    EXPECT_EQ(Provider(&m_flags)->m_strHost, u"joined.host");

    std::u16string glued = FromUtf8(m_root + "/secondary/pre");
    m_flags.pszPrimaryDir = HostText(glued);
    m_flags.pszSecondaryDir = nullptr;
    std::ofstream(m_root + "/secondary/prevx.ini") << "[SMTP]\nsmtpHost=glued.host\n";
    EXPECT_EQ(Provider(&m_flags)->m_strHost, u"glued.host");
}

TEST_F(SettingsTest, PasswordPrecedence) {
    const char16_t hostPassword[] = u"from host";
    m_flags.pszPassword = reinterpret_cast<const MAILWCHAR*>(hostPassword);
    WriteStore(true, u"h", u"from store");
    {
        Provider p(&m_flags);
        EXPECT_EQ(p->m_strPassword, u"from host");
    }
    m_flags.pszPassword = nullptr;
    {
        Provider p(&m_flags);
        EXPECT_EQ(p->m_strPassword, u"from store");
    }
    // The INI file is read when the store has no host, and its password wins.
    m_flags.pszPassword = reinterpret_cast<const MAILWCHAR*>(hostPassword);
    WriteStore(true, JoinConfigText({u"", u"x"}), u"from store");
    WriteIni(true, "[SMTP]\nsmtpHost=ini.host\nsmtpPass=from ini\n");
    {
        Provider p(&m_flags);
        EXPECT_EQ(p->m_strPassword, u"from ini");
    }
    WriteIni(true, "[SMTP]\nsmtpHost=ini.host\n");
    {
        Provider p(&m_flags);
        EXPECT_EQ(p->m_strPassword, u"from host");
    }
}

TEST_F(SettingsTest, HostSessionAnswersWhenThePrimaryHasNoStore) {
    FakeSession session;
    session.text =
        StoredText(JoinConfigText({u"session.host", u"", u"", u"", u"", u"2626"}), u"spw");
    m_flags.pSession = &session.session;
    WriteStore(false, u"secondary.host", u"");
    LogCapture log;
    {
        Provider p(&m_flags);
        EXPECT_EQ(session.calls, 1);
        EXPECT_EQ(session.lastSelector, 1);
        EXPECT_EQ(session.lastItem, 206);
        EXPECT_EQ(p->m_strHost, u"session.host");
        EXPECT_EQ(p->m_nPort, 2626);
        EXPECT_EQ(p->m_strPassword, u"spw");
        EXPECT_TRUE(log.Contains(u"CMailAPI::LoadCfg() <== return true")) << log.Dump();
    }
    // A text longer than the first buffer takes a second call.
    const std::u16string longHost(1024, u'h');
    session.text = StoredText(longHost, std::u16string(1024, u'p'));
    ASSERT_GT(session.text.size(), 4096u);
    EXPECT_EQ(Provider(&m_flags)->m_strHost, longHost);
    EXPECT_EQ(session.calls, 3);
    // A store in the primary directory comes first.
    WriteStore(true, u"primary.host", u"");
    EXPECT_EQ(Provider(&m_flags)->m_strHost, u"primary.host");
    EXPECT_EQ(session.calls, 3);
}

TEST_F(SettingsTest, MissingOrUnreadySessionFallsThroughToTheSecondary) {
    WriteStore(false, u"secondary.host", u"");
    FakeSession session;
    session.text = u"irrelevant";
    session.session.bReady = 0;
    m_flags.pSession = &session.session;
    {
        Provider p(&m_flags);
        EXPECT_EQ(p->m_strHost, u"secondary.host");
        EXPECT_EQ(session.calls, 0);
    }
    session.session.bReady = 1;
    session.funcs.pfnGetItem = nullptr;
    {
        Provider p(&m_flags);
        EXPECT_EQ(p->m_strHost, u"secondary.host");
    }
    session.funcs.pfnGetItem = &FakeSession::GetItem;
    session.status = -5;
    {
        Provider p(&m_flags);
        EXPECT_EQ(p->m_strHost, u"secondary.host");
        EXPECT_EQ(session.calls, 1);
    }
    m_flags.pSession = nullptr;
    {
        Provider p(&m_flags);
        EXPECT_EQ(p->m_strHost, u"secondary.host");
    }
}

TEST_F(SettingsTest, SourceBitsOfLoadCfgAndSaveCfg) {
    std::string previous = platform::GetRegistryRoot();
    platform::SetRegistryRoot(m_root + "/registry");
    Provider p(&m_flags);
    MAILINIFLAGS flags = m_flags;
    flags.dwCfgSource = MAILCFG_SOURCE_REGISTRY;

    CMailCfg machine;
    machine.m_strText1 = u"machine.host";
    ASSERT_TRUE(machine.saveRegistry(HKEY_LOCAL_MACHINE, u"Software\\Veltrana\\Orbisuite\\mail",
                                     u"smtp.cfg"));
    CMailCfg read1;
    EXPECT_TRUE(p->LoadCfg(read1, &flags));
    EXPECT_EQ(read1.m_strText1, u"machine.host");

    CMailCfg user;
    user.m_strText1 = u"user.host";
    EXPECT_TRUE(p->SaveCfg(user, &flags));  // to HKEY_CURRENT_USER
    CMailCfg read2;
    EXPECT_TRUE(p->LoadCfg(read2, &flags));
    EXPECT_EQ(read2.m_strText1, u"user.host");

    // The file bit wins when both are set; neither bit reads nothing.
    flags.dwCfgSource = MAILCFG_SOURCE_REGISTRY | MAILCFG_SOURCE_FILE;
    CMailCfg read3;
    EXPECT_FALSE(p->LoadCfg(read3, &flags));
    flags.dwCfgSource = 0;
    EXPECT_FALSE(p->LoadCfg(read3, &flags));
    EXPECT_FALSE(p->SaveCfg(read3, &flags));
    platform::SetRegistryRoot(previous);

    // The file bit writes the primary directory's store.
    flags.dwCfgSource = MAILCFG_SOURCE_FILE;
    ASSERT_TRUE(p->SaveCfg(user, &flags));
    CMailCfg back;
    ASSERT_TRUE(back.load(FromUtf8(Dir(true) + "smtp.cfg").c_str()));
    EXPECT_EQ(back.m_strText1, u"user.host");
}
