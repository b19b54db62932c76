#include "NtlmPeer.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "vxutil.h"

namespace {

std::string AcceptorScript() {
    return std::string(SMTPMAIL_TEST_SOURCE_DIR) + "/support/ntlm_acceptor.py";
}

}  // namespace

NtlmUserFiles::NtlmUserFiles() {
    static std::atomic<int> counter{0};
    const char* tmp = std::getenv("TMPDIR");
    m_dir = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/smtpmail-ntlm-" +
            std::to_string(::getpid()) + "-" + std::to_string(counter++);
    std::filesystem::create_directories(m_dir);
}

NtlmUserFiles::~NtlmUserFiles() {
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

std::string NtlmUserFiles::Write(const std::string& name, const std::string& content) {
    std::string path = PathOf(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path);
    return path;
}

ClientUserFile::ClientUserFile(const std::string& path) {
    if (const char* old = std::getenv("NTLM_USER_FILE")) {
        m_hadValue = true;
        m_oldValue = old;
    }
    setenv("NTLM_USER_FILE", path.c_str(), 1);
}

ClientUserFile::~ClientUserFile() {
    if (m_hadValue)
        setenv("NTLM_USER_FILE", m_oldValue.c_str(), 1);
    else
        unsetenv("NTLM_USER_FILE");
}

NtlmAcceptorProcess::NtlmAcceptorProcess(const std::string& serverUserFile)
    : m_process({SMTPMAIL_TEST_PYTHON, AcceptorScript(), "--users", serverUserFile}) {
    std::string line;
    m_ready = m_process.ReadLine(line) && line == "READY";
}

std::string NtlmAcceptorProcess::Negotiate(const std::vector<std::uint8_t>& token) {
    return Exchange("NEGOTIATE", token);
}

std::string NtlmAcceptorProcess::Authenticate(const std::vector<std::uint8_t>& token) {
    return Exchange("AUTHENTICATE", token);
}

std::string NtlmAcceptorProcess::Exchange(const std::string& word,
                                          const std::vector<std::uint8_t>& token) {
    std::string reply;
    if (!m_process.WriteLine(word + " " + Base64Of(token)) || !m_process.ReadLine(reply))
        return "ERROR acceptor gone; transcript:\n" + m_process.Transcript();
    return reply;
}

std::string Base64Of(const void* data, size_t len) {
    std::string text;
    EncodeBase64(text, static_cast<const unsigned char*>(data), len);
    return text;
}

std::string Base64Of(const std::vector<std::uint8_t>& bytes) {
    return Base64Of(bytes.data(), bytes.size());
}

std::vector<std::uint8_t> BytesOfBase64(const std::string& text) {
    std::u16string wide(text.begin(), text.end());
    std::vector<std::uint8_t> bytes(wide.size() * 3 / 4 + 3);
    int n = DecodeBase64(bytes.data(), wide.c_str(), static_cast<int>(wide.size()));
    if (n < 0)
        throw std::runtime_error("not Base64: " + text);
    bytes.resize(static_cast<size_t>(n));
    return bytes;
}
