// Mail_Send as the host calls it: the provider loaded with the dynamic loader,
// its settings in a vx.ini of a scratch folder, and the host's message records
// filled field by field.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "CapturingLogProvider.h"
#include "HostMessage.h"
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
    std::map<std::string, std::string> ServerIni(int port) const;
    // Mail_Initialize with the configuration folder; the handle is released in TearDown.
    HMAILPROVIDER Open();
    MAILRESULT Send(const MAILMESSAGE* message, const MAILSENDFLAGS* flags = nullptr);

    // The last error through Mail_GetLastError and the report of Mail_Execute
    // 1001 both show the failure; a Mail_GetProperty afterwards clears it.
    void ExpectLastError(MAILRESULT code, const std::u16string& description, uint32_t native);
    // As above, when the description is only known to start with a text.
    void ExpectLastErrorStartingWith(MAILRESULT code, const std::u16string& start, uint32_t native);

    // A subject, a text body and one To recipient.
    static HostMessage SimpleText();

    // A file of the scratch folder with these bytes; returns its path.
    std::string WriteFile(const std::string& name, const std::string& bytes) const;
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    // Runs check_message.py on a stored message, its envelope record and the
    // expectations (a JSON text); the checker's output when they differ.
    ::testing::AssertionResult MessageMatches(const std::string& eml, const std::string& envelope,
                                              const std::string& expected);

    CapturingLogProvider m_log;
    MAILINIFLAGS m_flags{};
    HMAILPROVIDER m_h = nullptr;
    std::string m_dir;
    std::u16string m_wdir;

private:
    void CheckReport(MAILRESULT code, uint32_t native);
};

// A JSON string literal for a UTF-8 text.
std::string Json(const std::string& utf8);
std::string Json(const std::u16string& text);
// A free loopback port: bound, never listened on, released.
int UnusedLoopbackPort();
