// A helper program of a test (a Python peer, a tool): its output and standard
// error are a pipe of the test, every read waits a bounded time, and it ends
// when the test program does, even by a crash.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class ChildProcess {
public:
    // argv[0] is the program's path; the environment is this process's.
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads lines until one contains the text (any line for ""); false when
    // the output ended or nothing came within the time.
    bool WaitForLine(const std::string& text, std::string& line, int timeoutMs = 60000);
    // SIGTERM, then the wait status (the exit's own when the output had ended).
    int Stop();
    // Every line read so far, for failure messages.
    const std::string& Transcript() const { return m_transcript; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_pending;
    std::string m_transcript;
};

// Runs a program to its end: its exit code (-1 when it did not exit) and output.
int RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr);
