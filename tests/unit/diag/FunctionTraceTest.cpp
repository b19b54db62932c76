#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

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
    std::vector<std::tuple<std::u16string, int, int, std::u16string, std::u16string>> got;
    for (const auto& r : capture.Records())
        got.emplace_back(r.function, r.type, r.level, r.action, r.message);
    const std::u16string f = u"TSMTPSSLSocket::Send";
    EXPECT_EQ(got, (decltype(got){{f, 10, 7, u"enter", u""},
                                  {f, 10, 7, u"", u"Send data; cb='10', c='10'"},
                                  {f, 10, 7, u"exit", u"int:0"}}))
        << "an unbound scope shows int 0";
}

// DiagPrint strips one trailing line feed and ignores empty formats.
TEST(Diag, PrintedLinesAndTheHostLogsProvider) {
    LogCapture capture;
    DiagPrint(u"CMailAPI::Execute() ==>\n");
    DiagPrint(u"two\n\n");
    DiagPrint(u"");
    DiagPrint(nullptr);
    DiagPrint(u"value=%d %s\n", 5, u"x");
    std::vector<std::tuple<std::u16string, int, std::u16string>> printed;
    for (const auto& r : capture.Records())
        printed.emplace_back(r.function, r.level, r.message);
    EXPECT_EQ(printed, (decltype(printed){{u"", 7, u"CMailAPI::Execute() ==>"},
                                          {u"", 7, u"two\n"},
                                          {u"", 7, u"value=5 x"}}))
        << "the printer passes no function name";

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
    std::vector<std::tuple<bool, int, int, std::u16string, std::u16string>> written;
    for (const auto& e : second.Entries())
        written.emplace_back(e.bWriteLog, e.type, e.level, e.message, e.function);
    EXPECT_EQ(written, (decltype(written){{false, 10, 4, u"Already connected!", u""},
                                          {true, 10, 4, u"closed", u"TSMTPSSLSocket::Receive"}}));
}
