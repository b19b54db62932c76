#include <gtest/gtest.h>

#include "ApiTestSupport.h"

class SmtpMailApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        MAILINIFLAGS flags = MakeIniFlags(&m_log, LoadTestHostModule(true));
        ASSERT_TRUE(m_api.Initialize(&flags));
    }

    CapturingLogProvider m_log;
    CSMTPMailAPI m_api;
};

TEST_F(SmtpMailApiTest, SupportsHtmlIsTheOneProperty) {
    BOOL value = 0;
    EXPECT_EQ(m_api.GetProperty(u"SupportsHTML", &value, sizeof value), MAILERR_OK);
    EXPECT_EQ(value, 1);
    char wide[8] = {};
    EXPECT_EQ(m_api.GetProperty(u"SupportsHTML", wide, 8), MAILERR_INVALID_PARAMS);
    EXPECT_NE(Text(m_api.GetLastError()->szDescription).find(u"sizeof(BOOL)"),
              std::u16string::npos);
    EXPECT_EQ(m_api.GetProperty(u"Other", wide, 0), MAILERR_INVALID_PARAMS);
    EXPECT_NE(Text(m_api.GetLastError()->szDescription).find(u"may not be 0"),
              std::u16string::npos);
    EXPECT_EQ(m_api.GetProperty(nullptr, wide, 8), MAILERR_INVALID_PARAMS);
    EXPECT_NE(Text(m_api.GetLastError()->szDescription).find(u"pszPropertyName"),
              std::u16string::npos);
    EXPECT_EQ(m_api.GetProperty(u"SupportsHTML", nullptr, 4), MAILERR_INVALID_PARAMS);
    EXPECT_NE(Text(m_api.GetLastError()->szDescription).find(u"pszPropertyValue"),
              std::u16string::npos);
    // Another name is answered with success and an untouched buffer; the name is case-sensitive.
    int untouched = 77;
    EXPECT_EQ(m_api.GetProperty(u"supportshtml", &untouched, 4), MAILERR_OK);
    EXPECT_EQ(untouched, 77);
}

TEST_F(SmtpMailApiTest, SetPropertyIsNeverSupported) {
    EXPECT_EQ(m_api.SetProperty(u"SupportsHTML", nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription), u"Property not supported.");
    EXPECT_EQ(m_api.GetLastError()->dwNativeCode, 0u);
}

TEST_F(SmtpMailApiTest, ResolveAddressChecksItsRecordsAndFindsNothing) {
    MAILADDRESS address{};
    address.cbSize = sizeof address;
    MAILRESOLVEADDRESSFLAGS flags{};
    flags.cbSize = sizeof flags;
    m_api.ClearLastError();
    EXPECT_EQ(m_api.ResolveAddress(u"someone", &address, nullptr), MAILERR_NOT_FOUND);
    EXPECT_EQ(m_api.GetLastError()->nCode, 0) << "the regular answer sets no error";
    EXPECT_EQ(m_api.ResolveAddress(u"someone", &address, &flags), MAILERR_NOT_FOUND);
    EXPECT_EQ(m_api.ResolveAddress(nullptr, &address, nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription),
              u"CSMTPMailAPI::ResolveAddress: pszAddress may not be NULL.");
    EXPECT_EQ(m_api.ResolveAddress(u"x", nullptr, nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription),
              u"CSMTPMailAPI::ResolveAddress: pResolvedAddress may not be NULL.");
    address.cbSize = 12;
    EXPECT_EQ(m_api.ResolveAddress(u"x", &address, nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription),
              u"CSMTPMailAPI::ResolveAddress: unsupported MAILADDRESS structure.");
    address.cbSize = 16;
    flags.cbSize = 12;
    EXPECT_EQ(m_api.ResolveAddress(u"x", &address, &flags), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(Text(m_api.GetLastError()->szDescription),
              u"CSMTPMailAPI::ResolveAddress: unsupported MAILRESOLVEADDRESSFLAGS structure.");
}

TEST_F(SmtpMailApiTest, NameOperationsAndTheQuietOperations) {
    EXPECT_EQ(m_api.GetCfgFileName(), u"smtp.cfg");
    EXPECT_EQ(m_api.GetCfgValueName(), u"smtp.cfg");
    EXPECT_EQ(m_api.GetRegistryKey(), u"Software\\Veltrana\\Orbisuite\\mail");
    EXPECT_EQ(m_api.GetProviderName(), u"SMTP");
    EXPECT_EQ(m_api.FindFirst(nullptr), nullptr);
    EXPECT_EQ(m_api.Deliver(123), MAILERR_OK);
    m_api.ClearLastError();
    EXPECT_EQ(m_api.FreeBuffer(nullptr), MAILERR_INVALID_PARAMS);
    EXPECT_EQ(m_api.GetLastError()->nCode, 0) << "a null block sets no description";
}
