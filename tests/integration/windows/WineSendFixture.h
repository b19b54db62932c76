// Mail_Send of the Windows DLL as the host calls it, under Wine, against the
// Linux peers of windows_peers.py (a CTest fixture: peers.txt names their
// ports and accounts, their control port answers the tests' requests).
// smtpmail.dll is loaded with LoadLibraryW, its store (smtp.cfg) written in a
// folder that both sides see, the process's registry hives are redirected to
// scratch keys, and the provider's chain requests trust the test CA.
#pragma once

#include <windows.h>
// After windows.h, whose types it uses.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "HostMessage.h"
#include "ImportPatch.h"
#include "LogCapture.h"
#include "ProviderLibrary.h"
#include "ScratchDir.h"
#include "ScratchRegistry.h"
#include "mailapi.h"

constexpr int kAuthNone = 0, kAuthLogin = 2, kAuthPlain = 3, kAuthNtlm = 4;  // of the store

const std::u16string kConnecting =
    u"CSMTPMailAPI::Send() - An error occured connecting to server. ";
const std::u16string kSending = u"CSMTPMailAPI::Send() - An error occured sending the message. ";

// A Linux path as the test program sees it: Wine's drive Z: is the Linux root.
std::string WindowsPathOf(const std::string& unixPath);
// A value of peers.txt ("port.good", "account.user", ...); empty when none.
std::string PeerValue(const std::string& key);
// One request to the peers' control port: the lines of the answer.
std::vector<std::string> AskPeers(const std::string& request);

struct StoreSettings {
    std::string host = "localhost";
    int port = 25;
    int auth = kAuthNone;
    bool bStartTls = false;
    unsigned certFlags = 0;
    std::string user, password;
};

class WineSendTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static ProviderLibrary& Library() { return ProviderLibrary::Get(); }
    static HMODULE Provider() { return ::GetModuleHandleW(L"smtpmail.dll"); }
    // STARTTLS to one of the SMTP peers, logging in with its account.
    static StoreSettings Peer(const std::string& name, int auth = kAuthPlain);
    // The trust problems (CERT_TRUST_*) of the last chain the provider asked
    // for: 0 when it ended at the test CA as a trusted root. Wine's SSL policy
    // lets a chain that ends short of a root pass, so a delivery alone does not
    // show that the certificate was verified.
    static DWORD LastChainProblems();
    // Writes smtp.cfg into the test's folder, as the administrator's tool does.
    void Configure(const StoreSettings& settings);

    // A recipient "<marker>@example.org" that names this message among all stored.
    std::string NewMarker();
    // One To recipient (the marker's address), a subject and a text body.
    HostMessage Simple(const std::string& marker);
    MAILRESULT Send(const MAILMESSAGE* message);
    std::u16string Description();
    // The last error: its code, the start of its description, its native code.
    void ExpectLastError(MAILRESULT code, const std::u16string& start, uint32_t native);
    // The stored message of marker, read back by Python's email package
    // against the expectations of a JSON text (check_message.py's keys, and
    // "envelope" for the capture server's tls and auth_user).
    ::testing::AssertionResult Stored(const std::string& marker, const std::string& expected);
    // Sends Simple(marker) with the store as configured: 0 expects it delivered
    // over TLS, any other value that the chain policy refused it with that error.
    void ExpectDeliveredOrRefusedByPolicy(uint32_t policyError);
    // The handle goes; the next Send opens a new one (with the store as it is then).
    void Close();
    // A file of the test's folder with these bytes: its Linux path.
    std::string WriteFile(const std::string& name, const std::string& bytes) const;

private:
    CapturingLogProvider m_log;
    MAILINIFLAGS m_flags{};
    HMAILPROVIDER m_h = nullptr;
    std::string m_folder;      // Linux path, seen by the peers
    std::u16string m_wfolder;  // the same as the host names it, with "\" at the end
    int m_nMarkers = 0;
    std::unique_ptr<ScratchDir> m_scratch;
    std::unique_ptr<ScratchRegistry> m_registry;
    std::unique_ptr<ImportPatch> m_chainPatch;
};
