#include <gtest/gtest.h>

#include <cstdio>

#include "Environment.h"
#include "LogCapture.h"
#include "ScratchDir.h"
#include "vxstring.h"

TEST(Logging, RecordsCarryTheirFieldsToTheHookAndTheLogFile) {
    LogCapture capture;
    Logging::WriteVarLog(nullptr, 10, 7, u"host='%s' port=%d raw=%hs", nullptr,
                         u"TSMTPConnection::Connect", u"mail.example", 25, "x");
    auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].type, 10);
    EXPECT_EQ(records[0].level, 7);
    EXPECT_EQ(records[0].function, u"TSMTPConnection::Connect");
    EXPECT_EQ(records[0].action, u"");
    EXPECT_EQ(records[0].message, u"host='mail.example' port=25 raw=x");

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
