#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
    // A peer that dies must fail a write, not end the test program.
    signal(SIGPIPE, SIG_IGN);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    m_pid = fork();
    if (m_pid == 0) {
        // Only async-signal-safe calls until exec.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    m_out = out[0];
    if (m_pid < 0)
        throw std::runtime_error("cannot start " + argv[0]);
}

bool ChildProcess::WaitForLine(const std::string& text, std::string& line, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t end = m_pending.find('\n');
        if (end != std::string::npos) {
            line = m_pending.substr(0, end);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            m_pending.erase(0, end + 1);
            m_transcript += line + "\n";
            if (line.find(text) != std::string::npos)
                return true;
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (m_out < 0 || left.count() <= 0)
            return false;
        pollfd pfd{m_out, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = read(m_out, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(m_out);
            m_out = -1;
            // A last line without a line end still counts.
            if (m_pending.empty())
                return false;
            m_pending += '\n';
        } else {
            m_pending.append(buffer, static_cast<size_t>(n));
        }
    }
}

int ChildProcess::Stop() {
    const bool bEnded = m_out < 0;
    if (m_out >= 0)
        close(m_out);
    m_out = -1;
    if (m_pid <= 0)
        return -1;
    // Once the output ended, the program has exited or is about to: the wait
    // status is its own, whatever SIGTERM arrives now.
    if (!bEnded)
        kill(m_pid, SIGTERM);
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    return status;
}

int RunProgram(const std::vector<std::string>& argv, std::string* output) {
    ChildProcess program(argv);
    std::string line;
    while (program.WaitForLine("", line)) {
    }
    const int status = program.Stop();
    if (output != nullptr)
        *output = program.Transcript();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
