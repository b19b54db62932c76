// Mail_Send as the host calls it, the same on every backend (libsmtpmail.so
// with the dynamic loader, smtpmail.dll with LoadLibraryW under Wine), against
// the peers of tests/support/peers.py, a CTest fixture. What differs between
// backends is in SendFixture_posix.cpp and SendFixture_win32.cpp.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "HostMessage.h"
#include "LogCapture.h"
#include "ProviderLibrary.h"
#include "ScratchDir.h"
#include "ScratchRegistry.h"

inline const std::u16string kConnecting =
    u"CSMTPMailAPI::Send() - An error occured connecting to server. ";
inline const std::u16string kSending =
    u"CSMTPMailAPI::Send() - An error occured sending the message. ";

constexpr int kAuthNone = 0, kAuthCramMd5 = 1, kAuthLogin = 2, kAuthPlain = 3, kAuthNtlm = 4,
              kAuthOAuth2 = 5;

// A value of peers.txt ("port.server", "account.user", ...); empty when none.
std::string PeerValue(const std::string& key);
int PeerPort(const std::string& name);
// One request to the peers' control port: the lines of the answer.
std::vector<std::string> AskPeers(const std::string& request);
// A free loopback port: bound, never listened on, released.
int UnusedLoopbackPort();

// --- per backend
// A Linux path as the host names it (Wine's drive Z: is the Linux root).
std::string HostPath(const std::string& path);
// The folder separator the provider glues file names to.
extern const char kHostSeparator;
// The process's peak memory so far, in bytes.
uint64_t PeakMemoryBytes();
// The provider trusts the test CA (and on POSIX nothing else) while the answer lives.
std::shared_ptr<void> HoldTestCaTrust();
// After a send to a capture peer with that host name and those waivers: what
// the system's certificate check was asked, where the provider asks one.
void ExpectSystemCertificateCheck(const char* host, unsigned flags, bool bDelivered);
// NTLM's single sign-on logs on as this user (DOMAIN:user:password) while the
// object lives; null: no user is logged on. False when the backend cannot
// show that.
class SessionUser {
public:
    SessionUser();
    ~SessionUser();
    bool LogOn(const char* account);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
// The files that are not regular files (a FIFO, a device), made in the folder.
std::vector<std::string> SpecialFiles(const std::string& folder);
// ---

struct StoreSettings {
    std::string host = "localhost";
    int port = 25;
    int auth = kAuthNone;
    bool bStartTls = false;
    unsigned certFlags = 0;
    std::string user, password;
    std::map<int, std::string> more;  // other fields of the store (CFG_*)
};

class SendFixture : public ::testing::Test {
protected:
    using Keys = std::map<std::string, std::string>;

    void SetUp() override;
    void TearDown() override;

    static ProviderLibrary& Library() { return ProviderLibrary::Get(); }
    // A capture peer (over STARTTLS unless not bStartTls), logging in with its account.
    static StoreSettings Peer(const std::string& name, int auth = kAuthPlain,
                              bool bStartTls = true);
    // Writes smtp.cfg into the test's folder, as the administrator's tool does.
    void Configure(const StoreSettings& settings);
    // The [SMTP] section of vx.ini in the folder (and no store, which would come first).
    void WriteIni(const Keys& keys);
    // Settings for a loopback server on the port, without authentication.
    static Keys ServerIni(int port);
    // Mail_Send on the handle, which Mail_Initialize opens when there is none.
    MAILRESULT Send(const MAILMESSAGE* message, const MAILSENDFLAGS* flags = nullptr);
    // Releases the handle: the next Send reads the settings anew.
    void Close();
    std::u16string Description();
    // The host log holds the description at that level (whole, as the
    // description may be cut to its 255 characters).
    bool Logged(int level);
    // Mail_GetLastError: the code, the description (whole, or only starting
    // with the text) and the native code (-1: any).
    void ExpectLastError(MAILRESULT code, const std::u16string& description, int64_t native,
                         bool bWhole = true);

    // Subject "s", body "b", one To recipient: to@example.org.
    static HostMessage SimpleText();
    // A 500-character subject and display names longer than a line, with
    // letters outside ASCII, and what check_message.py must read back. The
    // OAuth2 route hands the relay only the recipients' addresses, so their
    // names are read back only when bRecipientNames.
    static HostMessage LongHeaderTexts();
    static std::string LongHeaderTextsRead(bool bRecipientNames);

    // Adds a Bcc recipient that names this message among all the peers
    // stored: its address, for Stored.
    std::string Mark(HostMessage& message);
    // The stored message of that recipient read back by Python's email
    // package against the expectations of a JSON text (check_message.py's
    // keys, and "envelope" for the capture server's tls and auth_user).
    ::testing::AssertionResult Stored(const std::string& marker, const std::string& expected);

    // Sends SimpleText to a capture peer over STARTTLS with the host name and
    // the waivers of the store: 0 expects it delivered over TLS, any other
    // value that the chain policy refused it with that error.
    struct CertificateRow {
        const char* peer;
        const char* host;
        unsigned flags;
        uint32_t policyError;
    };
    void ExpectCertificateRows(const std::vector<CertificateRow>& rows);

    // A file of the test's folder with these bytes: its path as the host names it.
    std::string WriteFile(const std::string& name, const std::string& bytes) const;
    std::string HostFile(const std::string& name) const { return HostPath(Path(name)); }
    std::string Path(const std::string& name) const { return m_folder + "/" + name; }

    CapturingLogProvider m_log;
    MAILINIFLAGS m_flags{};
    HMAILPROVIDER m_h = nullptr;

private:
    std::string m_folder;      // Linux path, seen by the peers
    std::u16string m_hostDir;  // the same as the host names it, with the separator at the end
    int m_nMarkers = 0;
    std::unique_ptr<ScratchDir> m_scratch;
    std::unique_ptr<ScratchRegistry> m_registry;
    std::shared_ptr<void> m_trust;
};
