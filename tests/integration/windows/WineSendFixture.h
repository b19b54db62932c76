// Mail_Send of the Windows DLL as the host calls it, under Wine: smtpmail.dll
// loaded with LoadLibraryW, its store (smtp.cfg) written in a folder that the
// Linux peers see as well, and the process's registry hives redirected to
// scratch keys, so that no test touches the prefix's own settings.
#pragma once

#include <windows.h>
// After windows.h, whose types it uses.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "HostMessage.h"
#include "ImportPatch.h"
#include "LogCapture.h"
#include "ProviderLibrary.h"
#include "ScratchDir.h"
#include "ScratchRegistry.h"
#include "WindowsPeers.h"
#include "mailapi.h"

// Authentication methods of the store.
constexpr int kAuthNone = 0;
constexpr int kAuthLogin = 2;
constexpr int kAuthPlain = 3;
constexpr int kAuthNtlm = 4;

const std::u16string kConnecting =
    u"CSMTPMailAPI::Send() - An error occured connecting to server. ";
const std::u16string kSending = u"CSMTPMailAPI::Send() - An error occured sending the message. ";

// The settings the store holds.
struct StoreSettings {
    std::string host = "localhost";
    int port = 25;
    int auth = kAuthNone;
    bool bStartTls = false;
    unsigned certFlags = 0;
    std::string user;
    std::string password;
    std::string sender = "wine-sender@example.org";
};

class WineSendTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static ProviderLibrary& Library() { return ProviderLibrary::Get(); }
    static const WindowsPeers& Peers() { return WindowsPeers::Get(); }

    // STARTTLS to one of the SMTP peers, logging in with its account.
    static StoreSettings Peer(const std::string& name, int auth = kAuthPlain);
    // The trust problems (CERT_TRUST_* bits) of the good peer's chain as the
    // provider's chain requests see it: 0 when the test CA is the trusted root.
    // Wine's SSL policy lets a chain that ends short of a root pass, so a
    // delivery alone does not show that the certificate was verified.
    static DWORD GoodPeerChainProblems();
    static HMODULE Provider();
    // Writes smtp.cfg into the test's folder, as the administrator's tool does.
    void Configure(const StoreSettings& settings);

    // A recipient address that names this message among everything the peers
    // stored: "<marker>@example.org".
    std::string NewMarker();
    // One To recipient (the marker's address), a subject and a text body.
    HostMessage Simple(const std::string& marker);

    MAILRESULT Send(const MAILMESSAGE* message);
    std::u16string Description();
    // The last error: its code, native code and the start of its description,
    // as Mail_GetLastError and the report of Mail_Execute 1001 show them.
    void ExpectLastError(MAILRESULT code, const std::u16string& start, uint32_t native);
    // Sends Simple(marker) with the store as configured: 0 expects it delivered
    // over TLS, any other value that the chain policy refused it with that error.
    void ExpectDeliveredOrRefusedByPolicy(uint32_t policyError);
    // The handle goes; the next Send opens a new one (with the store as it is then).
    void Close();

    // A file of the test's folder with these bytes: its Linux path.
    std::string WriteFile(const std::string& name, const std::string& bytes) const;
    std::string Path(const std::string& name) const { return m_folder + "/" + name; }

    CapturingLogProvider m_log;
    MAILINIFLAGS m_flags{};
    HMAILPROVIDER m_h = nullptr;
    std::string m_folder;      // Linux path, seen by the peers
    std::u16string m_wfolder;  // the same as the host names it, with "\" at the end
    int m_nMarkers = 0;

private:
    std::unique_ptr<ScratchDir> m_scratch;
    std::unique_ptr<ScratchRegistry> m_registry;
    std::unique_ptr<ImportPatch> m_chainPatch;
};
