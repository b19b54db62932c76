// The server side of NTLM for tests: user files for the acceptor and the
// client, and the Python acceptor (ntlm_acceptor.py) run over pipes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"

// A folder of this test program with user files (lines DOMAIN:user:password);
// it goes with the object.
class NtlmUserFiles {
public:
    NtlmUserFiles();
    ~NtlmUserFiles();
    NtlmUserFiles(const NtlmUserFiles&) = delete;
    NtlmUserFiles& operator=(const NtlmUserFiles&) = delete;

    // Writes a file of that name with the given content and returns its path.
    std::string Write(const std::string& name, const std::string& content);
    std::string PathOf(const std::string& name) const { return m_dir + "/" + name; }

private:
    std::string m_dir;
};

// Sets NTLM_USER_FILE for the client side of this process while it lives and
// restores what was there before.
class ClientUserFile {
public:
    explicit ClientUserFile(const std::string& path);
    ~ClientUserFile();
    ClientUserFile(const ClientUserFile&) = delete;
    ClientUserFile& operator=(const ClientUserFile&) = delete;

private:
    bool m_hadValue = false;
    std::string m_oldValue;
};

class NtlmAcceptorProcess {
public:
    explicit NtlmAcceptorProcess(const std::string& serverUserFile);

    // True when the acceptor started; otherwise Transcript() says why.
    bool Ready() const { return m_ready; }
    // Each returns the acceptor's reply line: "CHALLENGE <base64>" or
    // "ERROR <text>"; "ACCEPTED <DOMAIN\user>" or "REFUSED <text>".
    std::string Negotiate(const std::vector<std::uint8_t>& token);
    std::string Authenticate(const std::vector<std::uint8_t>& token);
    const std::string& Transcript() const { return m_process.Transcript(); }

private:
    std::string Exchange(const std::string& word, const std::vector<std::uint8_t>& token);
    ChildProcess m_process;
    bool m_ready = false;
};

std::string Base64Of(const std::vector<std::uint8_t>& bytes);
std::string Base64Of(const void* data, size_t len);
std::vector<std::uint8_t> BytesOfBase64(const std::string& text);
