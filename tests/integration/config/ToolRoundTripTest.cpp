// smtpmail-cfg writes a store; the provider, loaded as the host loads it,
// reads it back in Mail_Initialize.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ConfigFixture.h"
#include "ProviderLibrary.h"
#include "api/CSMTPMailAPI.h"
#include "platform/Registry.h"

namespace {

ProviderLibrary& Library() {
    static ProviderLibrary library;
    return library;
}

struct ToolRun {
    int status = -1;
    std::string output;
};

// Runs the tool with the arguments (already quoted) and collects its output.
ToolRun Tool(const std::string& args, const std::string& environment = std::string()) {
    std::string cmd =
        environment + " " + std::string(SMTPMAIL_BIN_DIR) + "/smtpmail-cfg " + args + " 2>&1";
    ToolRun r;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.output.append(buf, n);
    int rc = pclose(p);
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return r;
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

}  // namespace

class ToolRoundTrip : public ConfigFixture {
protected:
    // The settings of a handle from Mail_Initialize: the handle is the provider
    // object, and its settings are what a send would use.
    Settings Initialized() {
        HMAILPROVIDER h = Library().Initialize(&m_flags);
        EXPECT_NE(h, nullptr);
        if (h == nullptr)
            return Settings{};
        const Settings settings = SettingsOf(*reinterpret_cast<CSMTPMailAPI*>(h));
        Library().Uninitialize(h);
        return settings;
    }
};

TEST_F(ToolRoundTrip, StoreWrittenByTheToolIsReadByMailInitialize) {
    ASSERT_TRUE(Library().Loaded()) << Library().error;
    ToolRun w = Tool(
        "--dir " + Quote(m_root + "/primary") +
        " --host smtp.example.com --port 587 --user bob --password 'pa ss' --sender-name 'Bob B' "
        "--sender-address bob@example.com --auth login --starttls on --cert-flags 0x1000 "
        "--body-format html --priority high --oauth-client-id cid --oauth-client-secret cs "
        "--oauth-tenant-id tid --oauth-scope sc --oauth-token-url tu --oauth-authority au "
        "--oauth-resource rs");
    ASSERT_EQ(w.status, 0) << w.output;
    EXPECT_EQ(Initialized(), SampleSettings());
    EXPECT_EQ(ContentType(), u"text/html");
}

TEST_F(ToolRoundTrip, SettingsNotGivenKeepTheProviderDefaultsOrTheStoresValues) {
    ASSERT_TRUE(Library().Loaded()) << Library().error;
    ASSERT_EQ(Tool("--file " + Quote(m_root + "/secondary/smtp.cfg") + " --host only.host").status,
              0);
    Settings expected;
    expected.host = u"only.host";
    EXPECT_EQ(Initialized(), expected);
    EXPECT_EQ(ContentType(), u"");

    // --update changes only the settings given.
    const std::string dir = Quote(m_root + "/primary");
    ASSERT_EQ(
        Tool("--dir " + dir + " --host first.host --port 587 --user u --password keep --auth plain")
            .status,
        0);
    ToolRun u = Tool("--dir " + dir + " --update --port 465 --starttls on");
    ASSERT_EQ(u.status, 0) << u.output;
    expected.host = u"first.host";
    expected.port = 465;
    expected.user = u"u";
    expected.password = u"keep";
    expected.authMethod = 3;
    expected.startTls = true;
    EXPECT_EQ(Initialized(), expected);
    EXPECT_EQ(Tool("--dir " + Quote(m_root) + " --update --port 1").status, 1)
        << "no store to update";
}

TEST_F(ToolRoundTrip, ShowMasksThePassword) {
    ASSERT_EQ(Tool("--dir " + Quote(m_root + "/primary") +
                   " --host h.example --password topsecret --auth ntlm")
                  .status,
              0);
    ToolRun show = Tool("--dir " + Quote(m_root + "/primary") + " --show");
    ASSERT_EQ(show.status, 0) << show.output;
    EXPECT_NE(show.output.find("h.example"), std::string::npos) << show.output;
    EXPECT_NE(show.output.find("4 (AUTH_NTLM)"), std::string::npos) << show.output;
    EXPECT_NE(show.output.find("********"), std::string::npos) << show.output;
    EXPECT_EQ(show.output.find("topsecret"), std::string::npos) << show.output;
}

TEST_F(ToolRoundTrip, RegistryStoreIsReadByTheStoreCode) {
    std::string root = m_root + "/registry";
    ASSERT_EQ(
        Tool("--registry hkcu --registry-root " + Quote(root) + " --host reg.host --password rpw")
            .status,
        0);
    std::string previous = platform::GetRegistryRoot();
    platform::SetRegistryRoot(root);
    CMailCfg cfg;
    bool ok =
        cfg.loadRegistry(HKEY_CURRENT_USER, u"Software\\Veltrana\\Orbisuite\\mail", u"smtp.cfg");
    platform::SetRegistryRoot(previous);
    ASSERT_TRUE(ok);
    EXPECT_EQ(cfg.m_strText1.substr(0, 8), u"reg.host");
    EXPECT_EQ(cfg.m_strText2, u"rpw");

    // The machine hive refuses a user without the right.
    ToolRun denied = Tool("--registry hklm --registry-root " + Quote(root) + " --host x",
                          "SMTPMAIL_REGISTRY_HKLM_READONLY=1");
    EXPECT_EQ(denied.status, 1) << denied.output;
    EXPECT_NE(denied.output.find("cannot write the store to HKEY_LOCAL_MACHINE"), std::string::npos)
        << denied.output;
    EXPECT_EQ(Tool("--registry hklm --registry-root " + Quote(root) + " --host x").status, 0);
}

TEST_F(ToolRoundTrip, BadArgumentsAreRefusedClearly) {
    ToolRun none = Tool("--host h");
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.output.find("exactly one of --file, --dir and --registry"), std::string::npos);
    ToolRun noHost = Tool("--dir " + Quote(m_root));
    EXPECT_EQ(noHost.status, 2);
    EXPECT_NE(noHost.output.find("--host is required"), std::string::npos);
    for (const char* wrong : {" --port 70000", " --auth kerberos", " --bogus 1"})
        EXPECT_EQ(Tool("--dir " + Quote(m_root) + " --host h" + wrong).status, 2) << wrong;
    EXPECT_EQ(Tool("--dir " + Quote(m_root + "/missing/dir") + " --host h").status, 1);
    EXPECT_EQ(Tool("--dir " + Quote(m_root + "/empty") + " --show").status, 1);
    ToolRun help = Tool("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("--sender-address"), std::string::npos);
}
