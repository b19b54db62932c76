// The project's capture server (tools/capture-server) for one test: an
// aiosmtpd server on a loopback port that stores every message it accepts as
// msg-NNNN.eml with its envelope in msg-NNNN.json.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"

class CaptureServer {
public:
    // Options of capture-server.py: --cert F --key K, --user U --password P, ...
    explicit CaptureServer(const std::vector<std::string>& options = {}) {
        static int s_count = 0;
        m_sFolder = std::filesystem::temp_directory_path().string() + "/capture-" +
                    std::to_string(::getpid()) + "-" + std::to_string(++s_count);
        std::vector<std::string> args = {SMTPMAIL_TEST_PYTHON,
                                         SMTPMAIL_BIN_DIR "/capture-server.py", "--dir", m_sFolder};
        args.insert(args.end(), options.begin(), options.end());
        m_process = std::make_unique<ChildProcess>(args);
        std::string line;
        if (m_process->WaitForLine("listening on", line))
            m_nPort = std::stoi(line.substr(line.rfind(' ') + 1));
    }
    ~CaptureServer() {
        m_process.reset();
        std::error_code ec;
        std::filesystem::remove_all(m_sFolder, ec);
    }
    CaptureServer(const CaptureServer&) = delete;
    CaptureServer& operator=(const CaptureServer&) = delete;

    // 0 when the server did not start; Transcript() says why.
    int Port() const { return m_nPort; }
    std::string Transcript() const { return m_process->Transcript(); }
    // Message n (from 1) as stored, waiting for it: the .eml path, "" when
    // it did not come. Its envelope is the .json beside it.
    std::string Message(int n) {
        char name[32];
        std::snprintf(name, sizeof name, "/msg-%04d.eml", n);
        // The server names the file once it is whole.
        std::string line;
        while (!std::filesystem::exists(m_sFolder + name)) {
            if (!m_process->WaitForLine(" -> ", line))
                return std::string();
        }
        return m_sFolder + name;
    }

private:
    std::string m_sFolder;
    std::unique_ptr<ChildProcess> m_process;
    int m_nPort = 0;
};
