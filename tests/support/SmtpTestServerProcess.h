// Runs tests/support/smtp_test_server.py (aiosmtpd under Debian's system
// Python) for one test: starts it on an ephemeral loopback port, waits for
// its ready line, and stops it when the object goes (by closing its standard
// input, so the server also ends when the test program dies).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"

class SmtpTestServerProcess {
public:
    struct Options {
        std::string certFile;  // with keyFile: STARTTLS
        std::string keyFile;
        bool bImplicitTls = false;  // TLS from the first byte instead
        int nPort = 0;              // 0: one the system picks
        std::string user;           // with password: AUTH PLAIN, LOGIN, CRAM-MD5
        std::string password;
        bool bRequireAuth = false;
        std::vector<std::string> refuse;  // recipients refused with 550
    };

    explicit SmtpTestServerProcess(const Options& options);
    ~SmtpTestServerProcess();
    SmtpTestServerProcess(const SmtpTestServerProcess&) = delete;
    SmtpTestServerProcess& operator=(const SmtpTestServerProcess&) = delete;

    // 0 when the server did not come up; StartError() then says why.
    int Port() const { return m_nPort; }
    const std::string& StartError() const { return m_sError; }

    // Transaction n (from 1): its record (one line of JSON) and its message
    // bytes as received; empty when there is none.
    std::string Record(int n) const;
    std::string Message(int n) const;
    // Number of transactions stored so far.
    int Count() const;

private:
    std::string m_sFolder;
    std::unique_ptr<ChildProcess> m_process;
    int m_nPort = 0;
    std::string m_sError;
};
