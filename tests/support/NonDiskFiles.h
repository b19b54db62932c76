// Names of things that are not regular files on a disk, each of which the
// library must refuse to read at once: a folder, a pipe that nobody writes to
// and a device. The pipe lives as long as the object.
#pragma once

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <string>
#include <vector>

#include "ScratchDir.h"

class NonDiskFiles {
public:
    explicit NonDiskFiles(const std::string& name) {
#if defined(_WIN32)
        // A pipe server without a client: a reader would wait for data.
        m_pipe = "\\\\.\\pipe\\smtpmail-" + name + "-" + std::to_string(ProcessId());
        m_hPipe =
            ::CreateNamedPipeA(m_pipe.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT,
                               PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
        EXPECT_NE(m_hPipe, INVALID_HANDLE_VALUE) << "CreateNamedPipe: " << ::GetLastError();
#else
        m_pipe = ::testing::TempDir() + "/" + name + "-fifo-" + std::to_string(ProcessId());
        ::unlink(m_pipe.c_str());
        EXPECT_EQ(::mkfifo(m_pipe.c_str(), 0600), 0);
#endif
    }
    ~NonDiskFiles() {
#if defined(_WIN32)
        if (m_hPipe != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_hPipe);
#else
        ::unlink(m_pipe.c_str());
#endif
    }
    NonDiskFiles(const NonDiskFiles&) = delete;
    NonDiskFiles& operator=(const NonDiskFiles&) = delete;

    // A folder, the pipe, and a device.
    std::vector<std::string> Paths() const {
#if defined(_WIN32)
        return {::testing::TempDir(), m_pipe, "NUL"};
#else
        return {::testing::TempDir(), m_pipe, "/dev/zero"};
#endif
    }

private:
    std::string m_pipe;
#if defined(_WIN32)
    HANDLE m_hPipe = INVALID_HANDLE_VALUE;
#endif
};
