// The receiving end of the provider's network log: a UDP socket on a loopback
// port of its own, and the registry key that points the log at it. The log
// reads its settings once per process, at its first line.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "LoopbackSocket.h"
#include "platform/Registry.h"

class NetworkLogListener {
public:
    explicit NetworkLogListener(bool bIPv6 = false) {
        m_fd = BindLoopback(m_port, false, true, bIPv6);
    }
    ~NetworkLogListener() { CloseSocket(m_fd); }
    NetworkLogListener(const NetworkLogListener&) = delete;
    NetworkLogListener& operator=(const NetworkLogListener&) = delete;

    // The log key of root names the host and this listener's port, with the level.
    void PointTheLogHere(platform::HKEY root, DWORD level,
                         const std::u16string& host = u"127.0.0.1") const {
        platform::HKEY h = nullptr;
        ASSERT_EQ(platform::RegCreateKeyExW(root, u"Software\\Veltrana\\Orbisuite\\log\\default",
                                            KEY_ALL_ACCESS, &h),
                  ERROR_SUCCESS);
        const DWORD port = static_cast<DWORD>(m_port);
        platform::RegSetValueExW(h, u"loglevel", REG_DWORD, reinterpret_cast<const BYTE*>(&level),
                                 4);
        platform::RegSetValueExW(h, u"port", REG_DWORD, reinterpret_cast<const BYTE*>(&port), 4);
        platform::RegSetValueExW(h, u"host", REG_SZ, reinterpret_cast<const BYTE*>(host.c_str()),
                                 static_cast<DWORD>((host.size() + 1) * sizeof(char16_t)));
        platform::RegCloseKey(h);
    }

    // The next datagram, or an empty string when none comes within the wait.
    std::string Next(int waitMs = 2000) const {
        if (!WaitReadable(m_fd, waitMs))
            return std::string();
        char buffer[4096];
        const long n = ReceiveBytes(m_fd, buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }

private:
    TestSocket m_fd = kNoSocket;
    int m_port = 0;
};
