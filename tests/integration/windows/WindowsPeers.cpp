#include "WindowsPeers.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <filesystem>
#include <fstream>

#include "UnixPath.h"

namespace {

std::string Trim(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return std::string();
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

const WindowsPeers& WindowsPeers::Get() {
    static const WindowsPeers peers;
    return peers;
}

WindowsPeers::WindowsPeers() {
    const std::string file = std::string(SMTPMAIL_WINDOWS_PEERS_DIR) + "/peers.ini";
    std::ifstream in(WindowsPathOf(file));
    if (!in) {
        m_error = "cannot read " + file + " (the windows_peers fixture did not run?)";
        return;
    }
    std::string line;
    std::string section;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
        } else if (const size_t eq = line.find('='); eq != std::string::npos) {
            m_values[section + "." + Trim(line.substr(0, eq))] = Trim(line.substr(eq + 1));
        }
    }
    if (Port("control") == 0)
        m_error = file + " names no control port";
}

std::string WindowsPeers::Value(const std::string& section, const std::string& key) const {
    const auto it = m_values.find(section + "." + key);
    return it == m_values.end() ? std::string() : it->second;
}

int WindowsPeers::Port(const std::string& peer) const {
    const std::string value = Value("ports", peer);
    return value.empty() ? 0 : std::stoi(value);
}

std::string WindowsPeers::TestFolder() const {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string folder =
        Value("paths", "scratch") + "/" + info->test_suite_name() + "-" + info->name();
    std::error_code ec;
    std::filesystem::remove_all(WindowsPathOf(folder), ec);
    std::filesystem::create_directories(WindowsPathOf(folder));
    return folder;
}

std::vector<std::string> WindowsPeers::Ask(const std::string& request) const {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = ::htons(static_cast<u_short>(Port("control")));
    a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    DWORD timeoutMs = 90000;
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                 sizeof timeoutMs);
    if (s == INVALID_SOCKET || ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::closesocket(s);
        return {"cannot reach the peers' control port " + Value("ports", "control")};
    }
    const std::string line = request + "\n";
    ::send(s, line.data(), static_cast<int>(line.size()), 0);
    std::string answer;
    auto complete = [&answer] { return answer == ".\n" || answer.ends_with("\n.\n"); };
    char buffer[4096];
    int n = 0;
    while (!complete() && (n = ::recv(s, buffer, sizeof buffer, 0)) > 0)
        answer.append(buffer, static_cast<size_t>(n));
    ::closesocket(s);
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = answer.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string l = answer.substr(at, end - at);
        if (l == ".")
            return lines;
        lines.push_back(l);
    }
    lines.push_back("the answer ended early");
    return lines;
}

::testing::AssertionResult WindowsPeers::MessageMatches(const std::string& marker,
                                                        const std::string& expectedJson) const {
    const std::vector<std::string> answer = Ask("check " + marker + " " + expectedJson);
    if (!answer.empty() && answer.front() == "ok")
        return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << "read back of " << marker << ":";
    for (const std::string& l : answer)
        failure << "\n  " << l;
    return failure;
}

bool WindowsPeers::Said(const std::string& peer, const std::string& text) const {
    const std::vector<std::string> answer = Ask("said " + peer + " " + text);
    return answer.size() == 1 && answer.front() == "yes";
}
