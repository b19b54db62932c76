#include <gtest/gtest.h>

#include <string>

#include "ApiTestSupport.h"
#include "HostMessage.h"
#include "LogCapture.h"
#include "api/HeaderText.h"

namespace {

class SendTest : public ::testing::Test {
protected:
    void SetUp() override {
        MAILINIFLAGS flags = MakeIniFlags(&m_log, LoadTestHostModule(true));
        ASSERT_TRUE(m_api.Initialize(&flags));
    }

    CapturingLogProvider m_log;
    CSMTPMailAPI m_api;
};

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

TEST_F(SendTest, UserAbortAnswers508OnlyWhenNoSenderIsKnown) {
    m_api.m_bAborted = true;
    EXPECT_EQ(m_api.Send(nullptr, nullptr), MAILERR_ABORTED);
    EXPECT_EQ(m_api.GetLastError()->nCode, MAILERR_ABORTED);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription), u"CSMTPMailAPI::Send() - User aborted.");
    EXPECT_EQ(m_api.GetLastError()->dwNativeCode, 0u);

    // With a sender the flag is not looked at: the missing host decides.
    HostMessage message;
    message.Originator(nullptr, u"me@example.org").To(nullptr, u"to@example.org");
    EXPECT_EQ(m_api.Send(message.Record(), nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription),
              u"CSMTPMailAPI::Send() - HostName may not be NULL.");
}

}  // namespace
