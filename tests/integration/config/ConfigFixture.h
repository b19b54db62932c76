// A provider set-up for the settings tests: two scratch directories, the
// host's record, and helpers that write stores and INI files into them.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "CapturingLogProvider.h"
#include "LogCapture.h"
#include "api/ConfigText.h"
#include "config/CMailCfg.h"
#include "mailapi.h"

inline const std::u16string kSep(kConfigSeparator);

class ConfigFixture : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_root = ::testing::TempDir() + "/cfgint-" + std::to_string(::getpid()) + "-" +
                 info->test_suite_name() + "-" + info->name();
        std::filesystem::remove_all(m_root);
        std::filesystem::create_directories(m_root + "/primary");
        std::filesystem::create_directories(m_root + "/secondary");
        m_primary = FromUtf8(m_root + "/primary/");
        m_secondary = FromUtf8(m_root + "/secondary/");
        std::memset(&m_flags, 0, sizeof m_flags);
        m_flags.cbSize = sizeof m_flags;
        m_flags.logProvider = &m_log;
        m_flags.pszPrimaryDir = HostText(m_primary);
        m_flags.pszSecondaryDir = HostText(m_secondary);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
    }

    static const MAILWCHAR* HostText(const std::u16string& s) {
        return reinterpret_cast<const MAILWCHAR*>(s.c_str());
    }

    std::string Dir(bool primary) const { return m_root + (primary ? "/primary/" : "/secondary/"); }

    void WriteStore(bool primary, const std::u16string& text1, const std::u16string& text2) {
        CMailCfg cfg;
        cfg.m_strText1 = text1;
        cfg.m_strText2 = text2;
        ASSERT_TRUE(cfg.save(FromUtf8(Dir(primary) + "smtp.cfg").c_str()));
    }

    void WriteIni(bool primary, const std::string& text) {
        std::ofstream f(Dir(primary) + "vx.ini", std::ios::binary | std::ios::trunc);
        f << text;
    }

    std::u16string ContentType() const {
        return std::u16string(reinterpret_cast<const char16_t*>(m_flags.szContentType));
    }

    std::string m_root;
    std::u16string m_primary, m_secondary;
    CapturingLogProvider m_log;
    MAILINIFLAGS m_flags{};
};
