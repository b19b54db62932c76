#include <gtest/gtest.h>

#include <string>

#include "LogCapture.h"
#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "diag/HostLog.h"

TEST(FunctionTrace, WritesEnterDetailAndExitRecordsWithTheFunctionName) {
    LogCapture capture;
    {
        TFunctionTrace trace(u"TSMTPSSLSocket::Send");
        trace.Detail(u"Send data; cb='%d', c='%d'", 10, 10);
    }
    auto records = capture.Records();
    ASSERT_EQ(records.size(), 3u);
    for (const auto& r : records) {
        EXPECT_EQ(r.function, u"TSMTPSSLSocket::Send");
        EXPECT_EQ(r.type, 10);
        EXPECT_EQ(r.level, 7);
    }
    EXPECT_EQ(records[0].action, u"enter");
    EXPECT_EQ(records[0].message, u"");
    EXPECT_EQ(records[1].action, u"");
    EXPECT_EQ(records[1].message, u"Send data; cb='10', c='10'");
    EXPECT_EQ(records[2].action, u"exit");
    EXPECT_EQ(records[2].message, u"int:0") << "an unbound scope shows int 0";
}

// DiagPrint strips one trailing line feed and ignores empty formats.
TEST(Diag, PrintedLinesAndTheHostLogsProvider) {
    LogCapture capture;
    DiagPrint(u"CMailAPI::Execute() ==>\n");
    DiagPrint(u"two\n\n");
    DiagPrint(u"");
    DiagPrint(nullptr);
    DiagPrint(u"value=%d %s\n", 5, u"x");
    auto records = capture.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].message, u"CMailAPI::Execute() ==>");
    EXPECT_EQ(records[1].message, u"two\n");
    EXPECT_EQ(records[2].message, u"value=5 x");
    EXPECT_EQ(records[2].function, u"") << "the printer passes no function name";
    EXPECT_EQ(records[2].level, 7);

    // The host log writes through the latest provider, and nothing without one.
    SetHostLogProvider(nullptr);
    HostLogMessage(HOSTLOG_WARNING, u"lost");  // must not crash

    CapturingLogProvider first;
    CapturingLogProvider second;
    SetHostLogProvider(&first);
    SetHostLogProvider(&second);
    HostLogMessage(HOSTLOG_WARNING, u"Already connected!");
    HostLogWrite(4, u"closed", u"TSMTPSSLSocket::Receive");
    SetHostLogProvider(nullptr);

    EXPECT_TRUE(first.Entries().empty());
    auto entries = second.Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_FALSE(entries[0].bWriteLog);
    EXPECT_EQ(entries[0].type, 10);
    EXPECT_EQ(entries[0].level, 4);
    EXPECT_EQ(entries[0].message, u"Already connected!");
    EXPECT_TRUE(entries[1].bWriteLog);
    EXPECT_EQ(entries[1].function, u"TSMTPSSLSocket::Receive");
}
