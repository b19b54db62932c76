#include "SmtpTestServerProcess.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

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
    if (!options.certFile.empty()) {
        args.insert(args.end(), {"--cert", options.certFile, "--key", options.keyFile});
    }
    if (!options.user.empty()) {
        args.insert(args.end(), {"--user", options.user, "--password", options.password});
    }
    if (options.bRequireAuth)
        args.push_back("--require-auth");
    for (const auto& address : options.refuse)
        args.insert(args.end(), {"--refuse", address});
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int in[2];
    int out[2];
    if (pipe(in) != 0) {
        m_sError = "pipe failed";
        return;
    }
    if (pipe(out) != 0) {
        close(in[0]);
        close(in[1]);
        m_sError = "pipe failed";
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    m_stdinFd = in[1];
    if (rc != 0) {
        close(out[0]);
        m_sError = std::string("cannot start ") + argv[0];
        return;
    }
    m_nPid = pid;

    // The ready line: "smtp-test-server: listening on 127.0.0.1 port N".
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos) {
        if (poll(&p, 1, READY_TIMEOUT_MS) <= 0)
            break;
        char c[256];
        const ssize_t n = read(out[0], c, sizeof c);
        if (n <= 0)
            break;
        line.append(c, static_cast<std::size_t>(n));
    }
    close(out[0]);
    const std::size_t at = line.rfind(" port ");
    if (line.find("listening on") == std::string::npos || at == std::string::npos) {
        m_sError = "the test server did not start: \"" + line + "\"";
        return;
    }
    m_nPort = std::atoi(line.c_str() + at + 6);
}

SmtpTestServerProcess::~SmtpTestServerProcess() {
    if (m_stdinFd >= 0)
        close(m_stdinFd);
    if (m_nPid > 0) {
        kill(m_nPid, SIGTERM);
        int status = 0;
        waitpid(m_nPid, &status, 0);
    }
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
