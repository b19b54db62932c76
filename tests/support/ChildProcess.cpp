#include "ChildProcess.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

extern char** environ;

ChildProcess::ChildProcess(const std::vector<std::string>& argv, bool bErrorsToOutput) {
    // A peer that dies must fail the write, not kill the test program.
    signal(SIGPIPE, SIG_IGN);

    int toChild[2];
    int fromChild[2];
    if (pipe(toChild) != 0)
        throw std::runtime_error("pipe failed");
    if (pipe(fromChild) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        throw std::runtime_error("pipe failed");
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    if (bErrorsToOutput)
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDERR_FILENO);
    for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]})
        posix_spawn_file_actions_addclose(&actions, fd);

    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int rc = posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    m_in = toChild[1];
    m_out = fromChild[0];
    if (rc != 0) {
        close(m_in);
        close(m_out);
        m_in = m_out = -1;
        m_pid = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
}

ChildProcess::~ChildProcess() {
    Stop();
    if (m_out >= 0)
        close(m_out);
}

bool ChildProcess::ReadLine(std::string& line, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t end = m_pending.find('\n');
        if (end != std::string::npos) {
            line = m_pending.substr(0, end);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            m_pending.erase(0, end + 1);
            m_transcript += line + "\n";
            return true;
        }
        if (m_out < 0)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd pfd{m_out, POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char buffer[4096];
        ssize_t n = read(m_out, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(m_out);
            m_out = -1;
            // A last line without a line end still counts.
            if (m_pending.empty())
                return false;
            m_pending += '\n';
            continue;
        }
        m_pending.append(buffer, static_cast<size_t>(n));
    }
}

bool ChildProcess::WaitForLine(const std::string& text, std::string& line, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !ReadLine(line, static_cast<int>(left.count())))
            return false;
        if (line.find(text) != std::string::npos)
            return true;
    }
}

bool ChildProcess::WriteLine(const std::string& line) {
    if (m_in < 0)
        return false;
    std::string data = line + "\n";
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(m_in, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void ChildProcess::CloseInput() {
    if (m_in >= 0)
        close(m_in);
    m_in = -1;
}

int ChildProcess::Stop() {
    CloseInput();
    if (m_pid <= 0)
        return -1;
    kill(m_pid, SIGTERM);
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    return status;
}
