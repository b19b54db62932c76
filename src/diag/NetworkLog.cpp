#include "diag/NetworkLog.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/DebugOutput.h"
#include "platform/Registry.h"
#include "platform/Sockets.h"
#include "platform/WideFormat.h"
#include "vxutil.h"

namespace {

struct NetworkLogSettings {
    DWORD cbSize = 272;
    LONG loglevel = 4;
    char host[260] = "127.0.0.1";
    DWORD port = 514;
};

constexpr size_t kMaxDatagram = 900;
// How long the log host's name may take to resolve.
constexpr DWORD kResolveTimeoutMs = 5000;
constexpr const char16_t* kKeyPrefix = u"Software\\Veltrana\\Orbisuite\\log\\";

// Guards the set-up, every send and the close: a socket is closed only while
// no thread can be sending on it.
std::mutex g_lock;
int g_nThreshold = -1;
platform::SOCKET g_hSocket = INVALID_SOCKET;
platform::SocketAddress g_logHost{};

// Reads the values of one key; true when "loglevel" was there.
bool ReadSettings(platform::HKEY root, const std::u16string& key, NetworkLogSettings& s) {
    platform::HKEY h = nullptr;
    if (platform::RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    DWORD level = 0;
    DWORD cb = sizeof level;
    bool found = platform::RegQueryValueExW(h, u"loglevel", &type, reinterpret_cast<BYTE*>(&level),
                                            &cb) == ERROR_SUCCESS &&
                 cb == sizeof level;
    if (found)
        s.loglevel = static_cast<LONG>(level);
    char host[sizeof s.host];
    cb = sizeof host;
    if (platform::RegQueryValueExA(h, "host", &type, reinterpret_cast<BYTE*>(host), &cb) ==
            ERROR_SUCCESS &&
        cb > 0) {
        host[cb < sizeof host ? cb : sizeof host - 1] = '\0';
        std::memcpy(s.host, host, sizeof host);
    }
    DWORD port = 0;
    cb = sizeof port;
    if (platform::RegQueryValueExW(h, u"port", &type, reinterpret_cast<BYTE*>(&port), &cb) ==
            ERROR_SUCCESS &&
        cb == sizeof port)
        s.port = port;
    platform::RegCloseKey(h);
    return found;
}

NetworkLogSettings LoadSettings(const char16_t* name) {
    NetworkLogSettings s;
    std::u16string key = std::u16string(kKeyPrefix) + name;
    if (key.size() > 260)
        key.resize(260);
    if (ReadSettings(HKEY_LOCAL_MACHINE, key, s))
        return s;
    if (ReadSettings(HKEY_CURRENT_USER, key, s))
        return s;
    // No settings anywhere: leave the default level for the administrator to change.
    platform::HKEY h = nullptr;
    if (platform::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_SET_VALUE, &h) ==
        ERROR_SUCCESS) {
        DWORD level = 4;
        platform::RegSetValueExW(h, u"loglevel", REG_DWORD, reinterpret_cast<const BYTE*>(&level),
                                 sizeof level);
        platform::RegCloseKey(h);
    }
    return s;
}

// A set-up made outside the lock (the registry, the resolver and the socket
// may each take a while) and installed under it.
struct Prepared {
    int nThreshold = -99;
    platform::SOCKET hSocket = INVALID_SOCKET;
    platform::SocketAddress logHost{};
};

Prepared Prepare() {
    NetworkLogSettings s = LoadSettings(u"default");
    Prepared p;
    // The log host is an address of either family, or a name for one; a
    // failed lookup (but one that ran out of time) is tried once more. The
    // socket layer starts Winsock itself.
    std::u16string host;
    strAnsiToWide(host, s.host, -1, CP_ACP, false);
    const auto port = static_cast<std::uint16_t>(s.port);
    std::vector<platform::SocketAddress> addresses(1);
    if (!platform::ParseAddressLiteral(host.c_str(), port, &addresses[0])) {
        int rc = platform::ResolveHost(host.c_str(), port, kResolveTimeoutMs, addresses);
        if (rc != 0 && rc != static_cast<int>(WSAETIMEDOUT))
            rc = platform::ResolveHost(host.c_str(), port, kResolveTimeoutMs, addresses);
        if (rc != 0)
            return p;
    }
    p.logHost = addresses[0];
    p.hSocket = platform::socket(p.logHost.nFamily, platform::SOCK_DGRAM_, 0);
    if (p.hSocket != INVALID_SOCKET)
        p.nThreshold = s.loglevel;
    return p;
}

// Makes p the set-up (unless bFirstOnly and another thread set the log up
// meanwhile) and closes the socket that is left over.
void Install(const Prepared& p, bool bFirstOnly) {
    std::lock_guard<std::mutex> lock(g_lock);
    platform::SOCKET hLeftOver = p.hSocket;
    if (!bFirstOnly || g_nThreshold == -1) {
        hLeftOver = g_hSocket;
        g_hSocket = p.hSocket;
        g_logHost = p.logHost;
        g_nThreshold = p.nThreshold;
    }
    if (hLeftOver != INVALID_SOCKET)
        platform::closesocket(hLeftOver);
}

}  // namespace

bool NetworkLogSetup() {
    const Prepared p = Prepare();
    Install(p, false);
    return p.hSocket != INVALID_SOCKET;
}

void NetworkLogClose() {
    Install(Prepared{-1}, false);
}

int NetworkLogThreshold() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_nThreshold;
}

void NetworkLogWriteV(int level, const char16_t* format, va_list args) {
    if (NetworkLogThreshold() == -1)
        Install(Prepare(), true);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_hSocket == INVALID_SOCKET || level > g_nThreshold)
            return;
    }
    std::u16string message = platform::WFormatV(format, args);
    platform::OutputDebugStringW(message.c_str());
    if (message.empty())
        return;
    std::u16string prefix = platform::WFormat(u"<%d>", level);
    size_t room = prefix.size() < kMaxDatagram ? kMaxDatagram - prefix.size() : 1;
    for (size_t at = 0; at < message.size(); at += room) {
        std::u16string piece = prefix + message.substr(at, room);
        std::string datagram;
        strWideToAnsi(datagram, piece.c_str(), static_cast<int>(piece.size()), CP_ACP, false);
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_hSocket != INVALID_SOCKET)
            platform::sendto(g_hSocket, datagram.data(), static_cast<int>(datagram.size()),
                             &g_logHost);
    }
}

void NetworkLogWrite(int level, const char16_t* format, ...) {
    va_list ap;
    va_start(ap, format);
    NetworkLogWriteV(level, format, ap);
    va_end(ap);
}
