#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ApiTestSupport.h"
#include "LogCapture.h"
#include "api/CMailApp.h"
#include "api/ConfigText.h"

namespace {

// m_bare: with a host module that has no display texts.
class MailApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        MAILINIFLAGS flags = MakeIniFlags(&m_log, m_hStrings);
        ASSERT_TRUE(m_api.Initialize(&flags));
        flags.hResource = m_hEmpty;
        ASSERT_TRUE(m_bare.Initialize(&flags));
    }
    std::u16string Description(CSMTPMailAPI& api) {
        return Text(api.GetLastError()->szDescription);
    }

    CapturingLogProvider m_log;
    HMODULE m_hStrings = TestHostModule(true);
    HMODULE m_hEmpty = TestHostModule(false);
    CSMTPMailAPI m_api;
    CSMTPMailAPI m_bare;
};

}  // namespace

// The exports' tests see only the codes; the missing log provider is
// reported before the record's size.
TEST_F(MailApiTest, BadRecordsAreRefusedWithTheirOwnTexts) {
    CSMTPMailAPI api;
    EXPECT_FALSE(api.Initialize(nullptr));
    EXPECT_EQ(Description(api), u"CMailAPI::Initialize: pFlags may not be NULL.");
    MAILINIFLAGS flags = MakeIniFlags(nullptr, m_hStrings);
    flags.cbSize = 1;
    EXPECT_FALSE(api.Initialize(&flags));
    EXPECT_EQ(Description(api), u"CMailAPI::Initialize: pFlags->logProvider may not be NULL.");
    flags.logProvider = &m_log;
    EXPECT_FALSE(api.Initialize(&flags));
    EXPECT_EQ(Description(api), u"CMailAPI::Initialize: unsupported version of MAILINIFLAGS.");
    flags.cbSize = MAILINIFLAGS_MIN_SIZE;
    EXPECT_TRUE(api.Initialize(&flags));

    MAILNAME name{163};  // each a byte short
    MAILFORMATERROR report{1031};
    MAILERRORTEXT text{523};
    for (const auto& [command, record, description] :
         {std::tuple{MAILCMD_GETNAME, static_cast<void*>(&name), u"invalid pName->cbSize"},
          {MAILCMD_GETNAME, nullptr, u"pName may not be NULL"},
          {MAILCMD_FORMATERROR, &report, u"invalid pFormatError->cbSize"},
          {MAILCMD_FORMATERROR, nullptr, u"pFormatError may not be NULL"},
          {MAILCMD_GETERRORTEXT, &text, u"invalid pErrorText->cbSize"},
          {MAILCMD_GETERRORTEXT, nullptr, u"pErrorText may not be NULL"}}) {
        EXPECT_EQ(m_bare.Execute(command, record), MAILERR_INVALID_PARAMS);
        EXPECT_EQ(Description(m_bare), description);
    }
    name.cbSize = sizeof name;
    ASSERT_EQ(m_api.Execute(MAILCMD_GETNAME, &name), MAILERR_OK);
    EXPECT_EQ(Text(name.szName), u"SMTP");

    char wide[8] = {};
    for (const auto& [property, buffer, size, part] :
         {std::tuple{u"SupportsHTML", static_cast<void*>(wide), 8u, u"sizeof(BOOL)"},
          {u"Other", wide, 0u, u"may not be 0"},
          {nullptr, wide, 8u, u"pszPropertyName"},
          {u"SupportsHTML", nullptr, 4u, u"pszPropertyValue"}}) {
        EXPECT_EQ(m_api.GetProperty(property, buffer, size), MAILERR_INVALID_PARAMS);
        EXPECT_NE(Description(m_api).find(part), std::u16string::npos) << ToUtf8(part);
    }
    int untouched = 77;  // another name (they are case-sensitive): an untouched buffer
    EXPECT_EQ(m_api.GetProperty(u"supportshtml", &untouched, 4), MAILERR_OK);
    EXPECT_EQ(untouched, 77);

    MAILADDRESS address{sizeof address}, small{12};
    MAILRESOLVEADDRESSFLAGS options{sizeof options}, smallOptions{12};
    for (const auto& [who, record, resolveFlags, description] :
         {std::tuple{static_cast<const char16_t*>(nullptr), &address, &options,
                     u"pszAddress may not be NULL."},
          {u"x", nullptr, &options, u"pResolvedAddress may not be NULL."},
          {u"x", &small, &options, u"unsupported MAILADDRESS structure."},
          {u"x", &address, &smallOptions, u"unsupported MAILRESOLVEADDRESSFLAGS structure."}}) {
        EXPECT_EQ(m_api.ResolveAddress(who, record, resolveFlags), MAILERR_INVALID_PARAMS);
        EXPECT_EQ(Description(m_api),
                  u"CSMTPMailAPI::ResolveAddress: " + std::u16string(description));
    }
}

TEST_F(MailApiTest, LastErrorAndItsTexts) {
    m_api.SetLastError(MAILERR_ACCESS_DENIED, nullptr, 5);
    EXPECT_EQ(Description(m_api), u"The mail server could not be reached or refused the login.");
    m_api.SetLastError(MAILERR_SEND, std::u16string(300, u'x').c_str(), 0);
    EXPECT_EQ(Description(m_api), std::u16string(252, u'x') + u"...");
    m_api.SetLastError(MAILERR_SEND, (std::u16string(251, u'x') + u"\U0001F600 tail").c_str(), 0);
    EXPECT_EQ(Description(m_api), std::u16string(251, u'x') + u"...");
    m_api.ClearLastError();
    EXPECT_EQ(m_api.GetLastError()->nCode, 0);
    EXPECT_EQ(m_api.GetLastError()->szDescription[0], 0);

    MAILFORMATERROR report{sizeof report};
    for (const auto& [api, code, description, text] :
         {std::tuple{&m_api, MAILERR_ACCESS_DENIED, u"D",
                     u"The mail server could not be reached or refused the login. (509, "
                     u"0x1FD)\r\n\r\nD 0x274D"},
          {&m_api, MAILERR_SEND, u"", u"The message could not be sent. (200, 0xC8)\r\n\r\n0x274D"},
          {&m_bare, MAILERR_ACCESS_DENIED, u"D", u"509, 0x1FD\r\n\r\nD 0x274D"}}) {
        api->SetLastError(code, description, 10061);
        ASSERT_EQ(api->Execute(MAILCMD_FORMATERROR, &report), MAILERR_OK);
        EXPECT_EQ(Text(report.szText), text);
    }
    MAILERRORTEXT text{sizeof text};
    for (const auto& [api, code, flags, expected] :
         {std::tuple{&m_api, MAILERR_INVALID_PARAMS, 1u, u"Invalid parameters. (505)"},
          {&m_api, MAILERR_INVALID_PARAMS, 0u, u"Invalid parameters."},
          {&m_api, 42, 1u, u"42"},
          {&m_bare, MAILERR_INVALID_PARAMS, 1u, u"505"}}) {
        text.nCode = code;
        text.dwFlags = flags;
        ASSERT_EQ(api->Execute(MAILCMD_GETERRORTEXT, &text), MAILERR_OK);
        EXPECT_EQ(Text(text.szText), expected);
    }
    for (const auto& [code, expected] : {std::pair{0, u"No error."},
                                         {1000, u"Internal error."},
                                         {510, u"Reserved error."},
                                         {42, u""}})
        EXPECT_EQ(CMailApp::LookupErrorText(m_hStrings, code), expected) << code;
    EXPECT_EQ(CMailApp::LookupErrorText(m_hEmpty, 505), u"");
    EXPECT_EQ(CMailApp::LookupErrorText(nullptr, 505), u"");
}

TEST(ConfigText, FieldsAndTheirNumbers) {
    using Fields = std::vector<std::u16string>;
    Fields fields(CFG_FIELD_COUNT);
    fields[CFG_HOST] = u"smtp.example.com";
    fields[CFG_PORT] = u"587";
    fields[CFG_OAUTH_RESOURCE] = u"last";
    const std::u16string text = JoinConfigText(fields);
    EXPECT_EQ(text.substr(0, 20), u"smtp.example.com\u00C2\u00A7\u00C2\u00A7");
    EXPECT_EQ(SplitConfigText(text), fields);
    // Each separator character ends a field, and the next search starts four
    // characters on, so a stray one swallows what follows it.
    const std::u16string S = u"\u00C2\u00A7\u00C2\u00A7";
    for (const auto& [joined, split] :
         {std::pair{u"\u00A7host" + S + u"user", Fields{u"", u"t", u"user"}},
          {std::u16string(u"ab\u00C2cdefg"), Fields{u"ab", u"fg"}},
          {u"a" + S + S + u"b" + S + u"c", Fields{u"a", u"", u"b", u"c"}},
          {std::u16string(), Fields{}},
          {S, Fields{u""}},
          {std::u16string(u"only"), Fields{u"only"}},
          {u"a" + S, Fields{u"a"}}})
        EXPECT_EQ(SplitConfigText(joined), split) << ToUtf8(joined);
    for (const auto& [field, number] : {std::pair{u"587", 587},
                                        {u" \t+42x", 42},
                                        {u"-12", -12},
                                        {u"x", 0},
                                        {u"", 0},
                                        {u"- 1", 0},
                                        {u"99999999999", 2147483647},
                                        {u"-99999999999", -2147483647 - 1}})
        EXPECT_EQ(ConfigFieldToInt(field), number) << ToUtf8(field);
}
