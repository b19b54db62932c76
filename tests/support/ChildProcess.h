// A helper program run by a test (a Python peer, a tool): its standard input
// and output are pipes of the test, its standard error goes to the output too
// unless the test asks otherwise.
// Every read waits at most a bounded time, so a silent peer fails the test
// instead of hanging it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class ChildProcess {
public:
    // argv[0] is the program's path; the environment is this process's.
    // Without bErrorsToOutput the program's standard error stays this process's.
    explicit ChildProcess(const std::vector<std::string>& argv, bool bErrorsToOutput = true);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of output without its line end. False when the output
    // ended or nothing came within the timeout.
    bool ReadLine(std::string& line, int timeoutMs = 60000);
    // Reads lines until one contains the text; false as ReadLine.
    bool WaitForLine(const std::string& text, std::string& line, int timeoutMs = 60000);
    bool WriteLine(const std::string& line);
    void CloseInput();
    // Asks the program to end (SIGTERM), waits for it and returns its wait status.
    int Stop();

    // Everything read so far, for failure messages.
    const std::string& Transcript() const { return m_transcript; }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_pending;
    std::string m_transcript;
};
