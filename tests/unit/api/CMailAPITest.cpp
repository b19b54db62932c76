#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LogCapture.h"
#include "api/CMailApp.h"
#include "api/CSMTPMailApp.h"

// m_api with the host's display texts, m_bare with a module that has none.
class MailApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_hStrings = TestHostModule(true);
        m_hEmpty = TestHostModule(false);
        MAILINIFLAGS flags = MakeIniFlags(&m_log, m_hStrings);
        ASSERT_TRUE(m_api.Initialize(&flags));
        flags.hResource = m_hEmpty;
        ASSERT_TRUE(m_bare.Initialize(&flags));
    }

    CapturingLogProvider m_log;
    HMODULE m_hStrings = nullptr;
    HMODULE m_hEmpty = nullptr;
    CSMTPMailAPI m_api;
    CSMTPMailAPI m_bare;
};

TEST_F(MailApiTest, InitializeChecksTheRecordInOrder) {
    CSMTPMailAPI api;
    EXPECT_FALSE(api.Initialize(nullptr));
    EXPECT_EQ(Text(api.GetLastError()->szDescription),
              u"CMailAPI::Initialize: pFlags may not be NULL.");

    MAILINIFLAGS flags = MakeIniFlags(nullptr, m_hStrings);
    flags.cbSize = 1;  // the missing log provider is reported before the size
    EXPECT_FALSE(api.Initialize(&flags));
    EXPECT_EQ(Text(api.GetLastError()->szDescription),
              u"CMailAPI::Initialize: pFlags->logProvider may not be NULL.");

    flags.logProvider = &m_log;
    flags.cbSize = MAILINIFLAGS_MIN_SIZE - 1;
    EXPECT_FALSE(api.Initialize(&flags));
    EXPECT_EQ(api.GetLastError()->nCode, MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(api.GetLastError()->szDescription),
              u"CMailAPI::Initialize: unsupported version of MAILINIFLAGS.");

    flags.cbSize = MAILINIFLAGS_MIN_SIZE;
    flags.pszPrimaryDir = Host(u"/primary/");
    EXPECT_TRUE(api.Initialize(&flags));
    EXPECT_EQ(api.m_strPrimaryDir, u"/primary/");
    EXPECT_EQ(api.m_strSecondaryDir, u"") << "a null directory gives an empty string";
    EXPECT_EQ(api.m_hResource, m_hStrings);
}

TEST_F(MailApiTest, SetLastErrorTakesTheDisplayTextWhenNoDescriptionIsGiven) {
    m_api.SetLastError(MAILERR_ACCESS_DENIED, nullptr, 5);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription),
              u"The mail server could not be reached or refused the login.");
    std::u16string longText(300, u'x');
    m_api.SetLastError(MAILERR_SEND, longText.c_str(), 0);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription), std::u16string(255, u'x'));
    m_api.ClearLastError();
    EXPECT_EQ(m_api.GetLastError()->nCode, 0);
    EXPECT_EQ(m_api.GetLastError()->szDescription[0], 0);
    EXPECT_EQ(m_api.GetLastError()->dwNativeCode, 0u);
}

TEST_F(MailApiTest, FormatErrorReportsCodeDescriptionAndNativeCode) {
    m_api.SetLastError(MAILERR_ACCESS_DENIED, u"D", 10061);
    MAILFORMATERROR report{};
    report.cbSize = sizeof report;
    ASSERT_EQ(m_api.Execute(MAILCMD_FORMATERROR, &report), MAILERR_OK);
    EXPECT_EQ(
        Text(report.szText),
        u"The mail server could not be reached or refused the login. (509, 0x1FD)\r\n\r\nD 0x274D");

    m_api.SetLastError(MAILERR_SEND, u"", 0);
    ASSERT_EQ(m_api.FormatError(&report), MAILERR_OK);
    EXPECT_EQ(Text(report.szText), u"The message could not be sent. (200, 0xC8)\r\n\r\n0x0");

    m_bare.SetLastError(MAILERR_ACCESS_DENIED, u"D", 10061);
    ASSERT_EQ(m_bare.FormatError(&report), MAILERR_OK);
    EXPECT_EQ(Text(report.szText), u"509, 0x1FD\r\n\r\nD 0x274D");

    report.cbSize = 1031;
    EXPECT_EQ(m_bare.FormatError(&report), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_bare.GetLastError()->szDescription), u"invalid pFormatError->cbSize");
    EXPECT_EQ(m_bare.FormatError(nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_bare.GetLastError()->szDescription), u"pFormatError may not be NULL");
}

TEST_F(MailApiTest, GetErrorTextDescribesTheRecordsOwnCode) {
    m_api.SetLastError(MAILERR_SEND, u"unrelated", 0);
    MAILERRORTEXT text{};
    text.cbSize = sizeof text;
    text.nCode = MAILERR_INVALID_PARAMS;
    text.dwFlags = 1;
    ASSERT_EQ(m_api.Execute(MAILCMD_GETERRORTEXT, &text), MAILERR_OK);
    EXPECT_EQ(Text(text.szText), u"Invalid parameters. (505)");
    text.dwFlags = 0;
    ASSERT_EQ(m_api.GetErrorText(&text), MAILERR_OK);
    EXPECT_EQ(Text(text.szText), u"Invalid parameters.");
    text.nCode = 42;  // no display text for it
    text.dwFlags = 1;
    ASSERT_EQ(m_api.GetErrorText(&text), MAILERR_OK);
    EXPECT_EQ(Text(text.szText), u"42");

    text.nCode = MAILERR_INVALID_PARAMS;
    ASSERT_EQ(m_bare.GetErrorText(&text), MAILERR_OK);
    EXPECT_EQ(Text(text.szText), u"505");
    text.cbSize = 523;
    EXPECT_EQ(m_bare.GetErrorText(&text), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_bare.GetLastError()->szDescription), u"invalid pErrorText->cbSize");
    EXPECT_EQ(m_bare.Execute(MAILCMD_GETERRORTEXT, nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_bare.GetLastError()->szDescription), u"pErrorText may not be NULL");
}

TEST_F(MailApiTest, LookupErrorTextUsesTheCodeTableAndTheModule) {
    EXPECT_EQ(CMailApp::LookupErrorText(m_hStrings, 0), u"No error.");
    EXPECT_EQ(CMailApp::LookupErrorText(m_hStrings, 1000), u"Internal error.");
    EXPECT_EQ(CMailApp::LookupErrorText(m_hStrings, 510), u"Reserved error.");
    EXPECT_EQ(CMailApp::LookupErrorText(m_hStrings, 42), u"");
    EXPECT_EQ(CMailApp::LookupErrorText(m_hEmpty, 505), u"");
    EXPECT_EQ(CMailApp::LookupErrorText(nullptr, 505), u"");
}

TEST_F(MailApiTest, ExecuteDispatchesOnlyItsThreeCommands) {
    m_api.SetLastError(MAILERR_SEND, u"kept", 7);
    MAILNAME name{};
    name.cbSize = sizeof name;
    EXPECT_EQ(m_api.Execute(999, &name), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(m_api.Execute(1003, &name), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(m_api.GetLastError()->nCode, MAILERR_SEND) << "unknown commands leave the last error";
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription), u"kept");
    ASSERT_EQ(m_api.Execute(MAILCMD_GETNAME, &name), MAILERR_OK);
    EXPECT_EQ(Text(name.szName), u"SMTP");
    name.cbSize = 163;
    EXPECT_EQ(m_api.GetName(&name), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription), u"invalid pName->cbSize");
    EXPECT_EQ(m_api.Execute(MAILCMD_GETNAME, nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription), u"pName may not be NULL");
    EXPECT_EQ(m_api.GetLastError()->dwNativeCode, 0u);
}

TEST_F(MailApiTest, ErrorNamesForTraceLines) {
    EXPECT_EQ(std::u16string(MailErrorName(0)), u"MAILERR_OK");
    EXPECT_EQ(std::u16string(MailErrorName(509)), u"MAILERR_ACCESS_DENIED");
    EXPECT_EQ(std::u16string(MailErrorName(1000)), u"MAILERR_INTERNAL");
    EXPECT_EQ(std::u16string(MailErrorName(510)), u"MAILERR_???");
    EXPECT_EQ(std::u16string(MailErrorName(42)), u"MAILERR_???");
}

TEST_F(MailApiTest, SetLastErrorWritesItsTraceLines) {
    LogCapture capture;
    CSMTPMailAPI api;
    api.SetLastError(MAILERR_NOT_FOUND, u"x", 0);
    EXPECT_TRUE(capture.Contains(u"CMailAPI::SetLastError(nCode='MAILERR_NOT_FOUND' (=501)) ==>"))
        << capture.Dump();
    EXPECT_TRUE(capture.Contains(u"CMailAPI::SetLastError() <=="));
}

TEST_F(MailApiTest, UseCountFollowsTheHandles) {
    DWORD before = theApp.m_nUseCount;
    {
        CSMTPMailAPI first;
        CSMTPMailAPI second;
        MAILINIFLAGS flags = MakeIniFlags(&m_log, m_hStrings);
        ASSERT_TRUE(first.Initialize(&flags));
        ASSERT_TRUE(second.Initialize(&flags));
        EXPECT_EQ(theApp.m_nUseCount, before + 2);
        EXPECT_TRUE(theApp.m_bAppInitialized);
        first.Uninitialize();
        first.Uninitialize();  // a second release does nothing
        EXPECT_EQ(theApp.m_nUseCount, before + 1);
    }
    EXPECT_EQ(theApp.m_nUseCount, before) << "the destructor releases the handle";
}

TEST(CSMTPMailApp, UninitializeSmtpNeverGoesBelowZero) {
    CSMTPMailApp app;
    app.UninitializeSMTP();
    EXPECT_EQ(app.m_nUseCount, 0u);
    EXPECT_TRUE(app.InitializeSMTP());
    EXPECT_TRUE(app.InitializeSMTP());
    EXPECT_EQ(app.m_nUseCount, 2u);
}
