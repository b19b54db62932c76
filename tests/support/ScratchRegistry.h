// Empty user and machine hives of the test's own while it lives: on POSIX the
// stand-in's root in the scratch folder, on Windows both predefined keys
// redirected (RegOverridePredefKey) to scratch keys below the real user's hive.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ScratchDir.h"
#include "platform/Registry.h"

class ScratchRegistry {
public:
#if defined(_WIN32)
    explicit ScratchRegistry(const ScratchDir& /*dir*/) {
        static int s_count = 0;
        m_path = L"Software\\smtpmail-tests\\" + std::to_wstring(ProcessId()) + L"-" +
                 std::to_wstring(++s_count);
        m_hUser = Create(m_path + L"\\user");
        m_hMachine = Create(m_path + L"\\machine");
        EXPECT_EQ(::RegOverridePredefKey(HKEY_CURRENT_USER, m_hUser), ERROR_SUCCESS);
        EXPECT_EQ(::RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_hMachine), ERROR_SUCCESS);
    }
    ~ScratchRegistry() {
        ::RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        ::RegCloseKey(m_hUser);
        ::RegCloseKey(m_hMachine);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    }
#else
    explicit ScratchRegistry(const ScratchDir& dir) : m_previous(platform::GetRegistryRoot()) {
        platform::SetRegistryRoot(dir.File("registry"));
    }
    ~ScratchRegistry() {
        platform::SetRegistryRoot(m_previous);
    }
#endif
    ScratchRegistry(const ScratchRegistry&) = delete;
    ScratchRegistry& operator=(const ScratchRegistry&) = delete;

private:
#if defined(_WIN32)
    static HKEY Create(const std::wstring& path) {
        HKEY h = nullptr;
        EXPECT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &h, nullptr),
                  ERROR_SUCCESS);
        return h;
    }
    std::wstring m_path;
    HKEY m_hUser = nullptr;
    HKEY m_hMachine = nullptr;
#else
    std::string m_previous;
#endif
};
