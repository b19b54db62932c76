#include <gtest/gtest.h>

#include <string>

#include "ApiTestSupport.h"
#include "HostMessage.h"
#include "LogCapture.h"
#include "api/HeaderText.h"

namespace {

TEST(OneHeaderLineTest, EveryKindOfLineBreakBecomesOneBlank) {
    for (const auto& [text, line] : {std::pair{u"plain text", u"plain text"},
                                     {u"a\r\nb", u"a b"},
                                     {u"a\rb\nc", u"a b c"},
                                     {u"a\r\n\r\n\nb", u"a b"},
                                     {u"\r\nlead and trail\n", u" lead and trail "},
                                     {u"", u""},
                                     {u"tab\tstays", u"tab\tstays"}})
        EXPECT_EQ(OneHeaderLine(text), line) << ToUtf8(text);
}

TEST(SendTest, UserAbortAnswers508OnlyWhenNoSenderIsKnown) {
    CapturingLogProvider log;
    CSMTPMailAPI api;
    MAILINIFLAGS flags = MakeIniFlags(&log, LoadTestHostModule(true));
    ASSERT_TRUE(api.Initialize(&flags));
    api.m_bAborted = true;
    EXPECT_EQ(api.Send(nullptr, nullptr), MAILERR_ABORTED);
    EXPECT_EQ(api.GetLastError()->nCode, MAILERR_ABORTED);
    EXPECT_EQ(Text(api.GetLastError()->szDescription), u"CSMTPMailAPI::Send() - User aborted.");
    EXPECT_EQ(api.GetLastError()->dwNativeCode, 0u);

    // With a sender the flag is not looked at: the missing host decides.
    HostMessage message;
    message.Originator(nullptr, u"me@example.org").To(nullptr, u"to@example.org");
    EXPECT_EQ(api.Send(message.Record(), nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(api.GetLastError()->szDescription),
              u"CSMTPMailAPI::Send() - HostName may not be NULL.");
}

}  // namespace
