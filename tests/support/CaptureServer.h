// The project's capture server (tools/capture-server) for one test: an
// aiosmtpd server on a loopback port that stores every message it accepts as
// msg-NNNN.eml with its envelope in msg-NNNN.json.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"

class CaptureServer {
public:
    // Options of capture-server.py: --cert F --key K, --user U --password P, ...
    explicit CaptureServer(const std::vector<std::string>& options = {});
    ~CaptureServer();
    CaptureServer(const CaptureServer&) = delete;
    CaptureServer& operator=(const CaptureServer&) = delete;

    // 0 when the server did not start; Transcript() says why.
    int Port() const { return m_nPort; }
    std::string Transcript() const { return m_process->Transcript(); }
    // Message n (from 1) as stored, waiting for it: the .eml path, "" when
    // it did not come. Its envelope is the .json beside it.
    std::string Message(int n);
    // Messages stored so far.
    int Count() const;

private:
    std::string m_sFolder;
    std::unique_ptr<ChildProcess> m_process;
    int m_nPort = 0;
};
