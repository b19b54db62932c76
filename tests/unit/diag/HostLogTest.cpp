#include <gtest/gtest.h>

#include "CapturingLogProvider.h"
#include "diag/HostLog.h"

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
