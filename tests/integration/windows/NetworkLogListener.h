// The receiving end of the provider's network log: a UDP socket on a loopback
// port of its own, and the registry key that points the log at it. The log
// reads its settings once per process, at the provider's first log line, so
// a test that points it somewhere must be the process's first user of the DLL
// (CTest runs every test in a process of its own).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoopbackSocket.h"

class NetworkLogListener {
public:
    NetworkLogListener() { m_socket = BindLoopback(m_port, false, true); }
    ~NetworkLogListener() { CloseSocket(m_socket); }
    NetworkLogListener(const NetworkLogListener&) = delete;
    NetworkLogListener& operator=(const NetworkLogListener&) = delete;

    int Port() const { return m_port; }

    // HKEY_CURRENT_USER's log key (as the process sees it) names this
    // listener; the level is set only when given (-1: none).
    void PointTheLogHere(int level) const {
        HKEY key = nullptr;
        ASSERT_EQ(
            ::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Veltrana\\Orbisuite\\log\\default", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
        const DWORD port = static_cast<DWORD>(m_port);
        ::RegSetValueExW(key, L"host", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"127.0.0.1"),
                         sizeof L"127.0.0.1");
        ::RegSetValueExW(key, L"port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port),
                         sizeof port);
        if (level >= 0) {
            const DWORD value = static_cast<DWORD>(level);
            ::RegSetValueExW(key, L"loglevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                             sizeof value);
        }
        ::RegCloseKey(key);
    }

    // Every datagram that arrives until none has come for the wait.
    std::vector<std::string> Datagrams(int waitMs = 1500) const {
        std::vector<std::string> all;
        char buffer[4096];
        while (WaitReadable(m_socket, waitMs)) {
            const long n = ReceiveBytes(m_socket, buffer, sizeof buffer);
            if (n <= 0)
                break;
            all.emplace_back(buffer, static_cast<size_t>(n));
        }
        return all;
    }

private:
    TestSocket m_socket = kNoSocket;
    int m_port = 0;
};

// Whether the provider has been loaded into this process already.
inline bool ProviderAlreadyLoaded() {
    return ::GetModuleHandleW(L"smtpmail.dll") != nullptr;
}
