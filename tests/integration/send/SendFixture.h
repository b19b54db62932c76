// Mail_Send as the host calls it: the provider loaded with the dynamic loader,
// its settings in a vx.ini or a store of a scratch folder, and the host's
// message records filled field by field.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "Environment.h"
#include "HostMessage.h"
#include "LogCapture.h"
#include "ProviderLibrary.h"

inline const std::u16string kConnecting =
    u"CSMTPMailAPI::Send() - An error occured connecting to server. ";
inline const std::u16string kSending =
    u"CSMTPMailAPI::Send() - An error occured sending the message. ";

class SendFixture : public ::testing::Test {
protected:
    using Keys = std::map<std::string, std::string>;

    void SetUp() override;
    void TearDown() override;

    static ProviderLibrary& Library() { return ProviderLibrary::Get(); }
    // The [SMTP] section of vx.ini in the configuration folder.
    void WriteIni(const Keys& keys);
    // Settings for a loopback server on the port, without authentication.
    static Keys ServerIni(int port);
    // Writes the provider's store with smtpmail-cfg (its options, as a shell reads them).
    void Configure(const std::string& options);
    // Mail_Send on the handle, which Mail_Initialize opens when there is none.
    MAILRESULT Send(const MAILMESSAGE* message, const MAILSENDFLAGS* flags = nullptr);
    // Releases the handle: the next Send reads the settings anew.
    void Close();
    std::u16string Description() { return Library().GetLastError(m_h)->szDescription; }
    // Mail_GetLastError: the code, the description (whole, or only starting
    // with the text) and the native code.
    void ExpectLastError(MAILRESULT code, const std::u16string& description, uint32_t native,
                         bool bWhole = true);

    // A subject, a text body and one To recipient.
    static HostMessage SimpleText();
    // A 500-character subject and display names longer than a line, with
    // letters outside ASCII, and what check_message.py must read back. The
    // OAuth2 route hands the relay only the recipients' addresses, so their
    // names are read back only when bRecipientNames.
    static HostMessage LongHeaderTexts();
    static std::string LongHeaderTextsRead(bool bRecipientNames);

    std::string WriteFile(const std::string& name, const std::string& bytes) const;
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    // check_message.py on a stored message (its envelope in the .json beside
    // it) against the expectations (JSON; attachment paths are names in the
    // scratch folder).
    ::testing::AssertionResult Matches(const std::string& eml, const std::string& expected);

    CapturingLogProvider m_log;
    MAILINIFLAGS m_flags{};
    HMAILPROVIDER m_h = nullptr;
    std::string m_dir;
    std::u16string m_wdir;
};

// OpenSSL's default trust store (the provider's) is this one file while it lives.
struct TrustStore : ScopedEnv {
    explicit TrustStore(const std::string& file);
};

// A free loopback port: bound, never listened on, released.
int UnusedLoopbackPort();
