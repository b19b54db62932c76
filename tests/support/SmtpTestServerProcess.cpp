#include "SmtpTestServerProcess.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

// Python and aiosmtpd start within a second or two; this only bounds a broken start.
constexpr int READY_TIMEOUT_MS = 30000;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

SmtpTestServerProcess::SmtpTestServerProcess(const Options& options) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/smtp-test-server-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        m_sError = "cannot create a folder for the received mail";
        return;
    }
    m_sFolder = pattern;

    std::vector<std::string> args = {
        SMTPMAIL_TEST_PYTHON,
        std::string(SMTPMAIL_TEST_SOURCE_DIR) + "/support/smtp_test_server.py", "--dir", m_sFolder};
    if (!options.certFile.empty())
        args.insert(args.end(), {"--cert", options.certFile, "--key", options.keyFile});
    if (options.bImplicitTls)
        args.push_back("--implicit-tls");
    if (options.nPort != 0)
        args.insert(args.end(), {"--port", std::to_string(options.nPort)});
    if (!options.user.empty())
        args.insert(args.end(), {"--user", options.user, "--password", options.password});
    if (options.bRequireAuth)
        args.push_back("--require-auth");
    for (const auto& address : options.refuse)
        args.insert(args.end(), {"--refuse", address});
    try {
        m_process.reset(new ChildProcess(args, false));
    } catch (const std::runtime_error& e) {
        m_sError = e.what();
        return;
    }
    // The ready line: "smtp-test-server: listening on 127.0.0.1 port N".
    std::string line;
    if (!m_process->WaitForLine("listening on", line, READY_TIMEOUT_MS) ||
        line.rfind(" port ") == std::string::npos) {
        m_sError = "the test server did not start: \"" + m_process->Transcript() + "\"";
        return;
    }
    m_nPort = std::atoi(line.c_str() + line.rfind(" port ") + 6);
}

SmtpTestServerProcess::~SmtpTestServerProcess() {
    m_process.reset();
    if (!m_sFolder.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_sFolder, ec);
    }
}

std::string SmtpTestServerProcess::Record(int n) const {
    return ReadFile(m_sFolder + "/" + std::to_string(n) + ".json");
}

std::string SmtpTestServerProcess::Message(int n) const {
    return ReadFile(m_sFolder + "/" + std::to_string(n) + ".eml");
}

int SmtpTestServerProcess::Count() const {
    int n = 0;
    while (std::filesystem::exists(m_sFolder + "/" + std::to_string(n + 1) + ".json"))
        ++n;
    return n;
}
