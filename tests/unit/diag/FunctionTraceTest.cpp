#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "LogCapture.h"
#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "diag/HostLog.h"

namespace {

// The message of the exit record that running body writes.
template <class Body>
std::u16string ExitText(Body body) {
    LogCapture capture;
    try {
        body();
    } catch (const std::runtime_error&) {
    }
    for (const auto& r : capture.Records()) {
        if (r.action == u"exit")
            return r.message;
    }
    return u"<no exit record>";
}

}  // namespace

// Enter, detail and exit records carry the scope's name.
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

// Pointer kinds show the value at the exit, also when the function throws;
// strings their length and at most their first hundred characters, widened
// with the ANSI code page; an int value is a copy taken when bound.
TEST(FunctionTrace, ExitRecordsShowTheBoundResult) {
    EXPECT_EQ(ExitText([] {
                  bool result = false;
                  TFunctionTrace trace(u"T::BoolOp");
                  trace.Bind(&result);
                  result = true;
              }),
              u"bool*:true");
    EXPECT_EQ(ExitText([] {
                  int result = 1;
                  TFunctionTrace trace(u"T::Throws");
                  trace.Bind(&result);
                  result = -42;
                  throw std::runtime_error("boom");
              }),
              u"int*:-42");
    EXPECT_EQ(ExitText([] {
                  DWORD result = 0;
                  TFunctionTrace trace(u"T::DwordOp");
                  trace.Bind(&result);
                  result = 0x80090308u;
              }),
              u"DWORD*:80090308");
    EXPECT_EQ(ExitText([] {
                  int value = 7;
                  TFunctionTrace trace(u"T::IntValue");
                  trace.Bind(value);
                  value = 8;
              }),
              u"int:7");
    EXPECT_EQ(ExitText([] {
                  std::string result;
                  TFunctionTrace trace(u"T::StringOp");
                  trace.Bind(&result);
                  result = std::string(150, 'a') + "\xe4";
              }),
              u"string(151):" + std::u16string(100, u'a'));
    EXPECT_EQ(ExitText([] {
                  std::string result = "K\xe4se";
                  TFunctionTrace trace(u"T::Latin");
                  trace.Bind(&result);
              }),
              u"string(4):K\u00e4se");
    EXPECT_EQ(ExitText([] {
                  TFunctionTrace trace(u"T::NullKinds");
                  trace.Bind(static_cast<const bool*>(nullptr));
              }),
              u"bool*:");
}

TEST(DiagPrint, StripsOneTrailingLineFeedAndIgnoresEmptyFormats) {
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
}

TEST(HostLog, WritesThroughTheLatestProviderAndNothingWithoutOne) {
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
