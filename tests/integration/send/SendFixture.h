// Mail_Send as the host calls it: the provider loaded with the dynamic loader,
// its settings in a vx.ini or a store of a scratch folder, and the host's
// message records filled field by field.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CapturingLogProvider.h"
#include "HostMessage.h"
#include "LogCapture.h"
#include "ProviderLibrary.h"
#include "mailapi.h"

class SendFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    ProviderLibrary& Library();
    // Writes the [SMTP] section of vx.ini in the configuration folder.
    void WriteIni(const std::map<std::string, std::string>& keys);
    // Settings for the loopback test server on port, without authentication.
    static std::map<std::string, std::string> ServerIni(int port);
    // Writes the provider's store in the configuration folder with smtpmail-cfg
    // (settings: its options as a shell would read them).
    void Configure(const std::string& settings);
    // Mail_Initialize with the configuration folder; the handle is released in TearDown.
    HMAILPROVIDER Open();
    MAILRESULT Send(const MAILMESSAGE* message, const MAILSENDFLAGS* flags = nullptr);
    std::u16string Description();

    // The last error through Mail_GetLastError (its description whole, or only
    // starting with the text) and the report of Mail_Execute 1001 both show
    // the failure; a Mail_GetProperty afterwards clears it.
    void ExpectLastError(MAILRESULT code, const std::u16string& description, uint32_t native,
                         bool bWhole = true);

    // A subject, a text body and one To recipient.
    static HostMessage SimpleText();
    // A 500-character subject and display names longer than a line, with
    // letters outside ASCII, and what check_message.py must read back: the
    // same texts, a Message-ID of the sender's domain, no header line over 78.
    // The OAuth2 route hands the relay only the recipients' addresses, so
    // their names are read back only when bRecipientNames.
    static HostMessage LongHeaderTexts();
    static std::string LongHeaderTextsRead(bool bRecipientNames);

    // A file of the scratch folder with these bytes; returns its path.
    std::string WriteFile(const std::string& name, const std::string& bytes) const;
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    // Runs check_message.py on a stored message, its envelope record and the
    // expectations (JSON; attachment paths are names in the scratch folder).
    ::testing::AssertionResult MessageMatches(const std::string& eml, const std::string& envelope,
                                              const std::string& expected);

    CapturingLogProvider m_log;
    MAILINIFLAGS m_flags{};
    HMAILPROVIDER m_h = nullptr;
    std::string m_dir;
    std::u16string m_wdir;
};

// Sets environment variables (a null value removes one) while it lives.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const std::vector<std::pair<std::string, const char*>>& values);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

// OpenSSL's default trust store (the provider's) is one file while it lives.
class TrustStore : public ScopedEnvironment {
public:
    explicit TrustStore(const std::string& file);
};

// A program's exit code (-1 when it did not exit) and its output.
int RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr);
// A free loopback port: bound, never listened on, released.
int UnusedLoopbackPort();
