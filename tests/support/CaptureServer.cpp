#include "CaptureServer.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace {

std::string Stored(const std::string& folder, int n) {
    char name[32];
    std::snprintf(name, sizeof name, "/msg-%04d.eml", n);
    return folder + name;
}

}  // namespace

CaptureServer::CaptureServer(const std::vector<std::string>& options) {
    static int s_count = 0;
    m_sFolder = std::filesystem::temp_directory_path().string() + "/capture-" +
                std::to_string(::getpid()) + "-" + std::to_string(++s_count);
    std::vector<std::string> args = {SMTPMAIL_TEST_PYTHON,
                                     std::string(SMTPMAIL_BIN_DIR) + "/capture-server.py", "--dir",
                                     m_sFolder};
    args.insert(args.end(), options.begin(), options.end());
    m_process = std::make_unique<ChildProcess>(args);
    std::string line;
    if (m_process->WaitForLine("listening on", line))
        m_nPort = std::stoi(line.substr(line.rfind(' ') + 1));
}

CaptureServer::~CaptureServer() {
    m_process.reset();
    std::error_code ec;
    std::filesystem::remove_all(m_sFolder, ec);
}

std::string CaptureServer::Message(int n) {
    // The server names the file once it is whole.
    std::string line;
    while (!std::filesystem::exists(Stored(m_sFolder, n))) {
        if (!m_process->WaitForLine(" -> ", line))
            return std::string();
    }
    return Stored(m_sFolder, n);
}

int CaptureServer::Count() const {
    int n = 0;
    while (std::filesystem::exists(Stored(m_sFolder, n + 1)))
        ++n;
    return n;
}
