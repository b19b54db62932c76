#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>
#include <vector>

#include "Environment.h"
#include "LogCapture.h"
#include "ScratchDir.h"
#include "vxstring.h"

TEST(Logging, RecordsCarryTheirFieldsToTheHookAndTheLogFile) {
    LogCapture capture;
    Logging::WriteVarLog(nullptr, 10, 7, u"host='%s' port=%d raw=%hs", nullptr,
                         u"TSMTPConnection::Connect", u"mail.example", 25, "x");
    std::vector<std::tuple<int, int, std::u16string, std::u16string, std::u16string>> got;
    for (const auto& r : capture.Records())
        got.emplace_back(r.type, r.level, r.function, r.action, r.message);
    EXPECT_EQ(got, (decltype(got){{10, 7, u"TSMTPConnection::Connect", u"",
                                   u"host='mail.example' port=25 raw=x"}}));

    const std::string path = ::testing::TempDir() + "/vxstring-log-test.log";
    std::remove(path.c_str());
    {
        ScopedEnv file({{"VX_LOG_FILE", path.c_str()}});
        Logging::SetLogHook(nullptr, nullptr);  // reads the outputs again
        Logging::WriteLog(nullptr, 10, 7, u"", u"enter", u"CMailAPI::Execute");
        Logging::WriteLog(nullptr, 10, 7, u"int:0", u"exit", u"CMailAPI::Execute");
    }
    Logging::SetLogHook(nullptr, nullptr);
    const std::string text = ReadBytes(path);
    EXPECT_NE(text.find("[level 7, type 10] CMailAPI::Execute enter"), std::string::npos) << text;
    EXPECT_NE(text.find("CMailAPI::Execute exit: int:0"), std::string::npos) << text;
}
