// AUTH PLAIN, LOGIN and CRAM-MD5 against the scripted server: the exact lines
// the session sends, the prompts it accepts and the failures it reports.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "ScriptedSmtpServer.h"
#include "SessionTestSupport.h"
#include "vxutil.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const char* const kGreeting = "220 mail.test ESMTP\r\n";
const char* const kEhloReply = "250-mail.test\r\n250-AUTH CRAM-MD5 LOGIN PLAIN\r\n250 8BITMIME\r\n";

std::string Base64(const std::string& bytes) {
    std::string text;
    EncodeBase64(text, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return text;
}

// Runs Connect with the authentication type against the server's script
// (greeting and EHLO come first, QUIT is answered last) and returns what it threw.
struct AuthRun {
    std::optional<TSMTPException> error;
    std::vector<std::string> commands;
};

}  // namespace

class AuthTest : public SessionTest {
protected:
    AuthRun Run(ScriptedSmtpServer& server, int nAuthType, const char16_t* user,
                const char16_t* password) {
        const int port = server.Start();
        AuthRun run;
        {
            auto session = NewSession();
            run.error =
                Catch([&] { session->Connect(u"127.0.0.1", nAuthType, user, password, port); });
            if (run.error) {
                EXPECT_TRUE(IsClosed(*session));
            }
        }
        EXPECT_TRUE(server.Finish());
        EXPECT_THAT(server.Errors(), IsEmpty());
        run.commands = server.Commands();
        return run;
    }

    static ScriptedSmtpServer& Start(ScriptedSmtpServer& server) {
        return server.Send(kGreeting).Exchange("EHLO", kEhloReply);
    }
};

TEST_F(AuthTest, PlainSendsNulUserNulPasswordAsUtf8) {
    ScriptedSmtpServer server;
    Start(server)
        .Exchange("AUTH PLAIN", "334 \r\n")
        .Exchange("", "235 ok\r\n")
        .Exchange("QUIT", "221 bye\r\n");
    const AuthRun run = Run(server, TSMTPConnection::AUTH_PLAIN, u"J\u00f6rg", u"p\u00e4ss w0rd");
    EXPECT_FALSE(run.error);
    const std::string plain = std::string(1, '\0') + "J\xc3\xb6rg" + '\0' + "p\xc3\xa4ss w0rd";
    EXPECT_THAT(run.commands, ElementsAre("EHLO client.test", "AUTH PLAIN", Base64(plain), "QUIT"));
}

TEST_F(AuthTest, PlainRefusedReportsTheReply) {
    ScriptedSmtpServer server;
    Start(server)
        .Exchange("AUTH PLAIN", "334 \r\n")
        .Exchange("", "535 5.7.8 Authentication credentials invalid\r\n")
        .Exchange("QUIT", "221 bye\r\n");
    const AuthRun run = Run(server, TSMTPConnection::AUTH_PLAIN, u"u", u"wrong");
    ASSERT_TRUE(run.error);
    EXPECT_EQ(run.error->m_nKind, 3);
    EXPECT_EQ(run.error->m_strMessage,
              u"Unexpected AUTH PLAIN password response. Last Response : 535 5.7.8 Authentication "
              u"credentials "
              u"invalid\r\n");
    EXPECT_EQ(run.commands.back(), "QUIT");
}

TEST_F(AuthTest, LoginAnswersUsernameAndPasswordPromptsInAnyCase) {
    ScriptedSmtpServer server;
    Start(server)
        .Exchange("AUTH LOGIN", "334 " + Base64("USERNAME:") + "\r\n")
        .Exchange(Base64("J\xc3\xb6rg"), kPasswordPrompt)
        .Exchange(Base64("secret"), "235 2.7.0 ok\r\n")
        .Exchange("QUIT", "221 bye\r\n");
    const AuthRun run = Run(server, TSMTPConnection::AUTH_LOGIN, u"J\u00f6rg", u"secret");
    EXPECT_FALSE(run.error);
    EXPECT_EQ(run.commands.size(), 5u);
}

TEST_F(AuthTest, LoginRefusesOtherPrompts) {
    struct Case {
        std::string userPrompt, passwordPrompt;
        const char16_t* expected;
    } cases[] = {
        {"Username: ", "Password:",
         u"Unexpected AUTH LOGIN username request. Last Response : 334 "},
        {"User Name", "Password:", u"Unexpected AUTH LOGIN username request. Last Response : 334 "},
        {"Username:", "Passwort:", u"Unexpected AUTH LOGIN password request. Last Response : 334 "},
    };
    for (const Case& c : cases) {
        ScriptedSmtpServer server;
        Start(server).Exchange("AUTH LOGIN", "334 " + Base64(c.userPrompt) + "\r\n");
        if (c.userPrompt == "Username:")
            server.Exchange("", "334 " + Base64(c.passwordPrompt) + "\r\n");
        server.Exchange("QUIT", "221 bye\r\n");
        const AuthRun run = Run(server, TSMTPConnection::AUTH_LOGIN, u"u", u"p");
        ASSERT_TRUE(run.error) << c.userPrompt;
        EXPECT_EQ(run.error->m_strMessage.rfind(c.expected, 0), 0u)
            << Utf8(run.error->m_strMessage);
    }
}

TEST_F(AuthTest, CramMd5AnswersTheRfc2195Example) {
    // RFC 2195, section 2: user tim, key tanstaaftanstaaf.
    ScriptedSmtpServer server;
    Start(server)
        .Exchange("AUTH CRAM-MD5",
                  "334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n")
        .Exchange("", "235 ok\r\n")
        .Exchange("QUIT", "221 bye\r\n");
    const AuthRun run = Run(server, TSMTPConnection::CRAM_MD5, u"tim", u"tanstaaftanstaaf");
    EXPECT_FALSE(run.error);
    EXPECT_THAT(run.commands,
                ElementsAre("EHLO client.test", "AUTH CRAM-MD5",
                            "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw", "QUIT"));
}

TEST_F(AuthTest, CramMd5HashesAPasswordLongerThanTheBlockFirst) {
    // Expected digest from RFC 2202 test case 6 (an 80-byte key).
    const std::string challenge = "Test Using Larger Than Block-Size Key - Hash Key First";
    ScriptedSmtpServer server;
    Start(server)
        .Exchange("AUTH CRAM-MD5", "334 " + Base64(challenge) + "\r\n")
        .Exchange("", "235 ok\r\n")
        .Exchange("QUIT", "221 bye\r\n");
    const std::u16string password(80, u'\u00aa');  // not ASCII: goes in as UTF-8, 160 bytes
    const AuthRun run = Run(server, TSMTPConnection::CRAM_MD5, u"user", password.c_str());
    EXPECT_FALSE(run.error);
    ASSERT_EQ(run.commands.size(), 4u);
    // Independently: HMAC with the MD5 of the 160-byte UTF-8 key.
    std::string key;
    for (int i = 0; i < 80; ++i)
        key += "\xc2\xaa";
    unsigned char digest[16];
    TSMTPConnection::MD5Digest(reinterpret_cast<const unsigned char*>(challenge.data()),
                               static_cast<int>(challenge.size()),
                               reinterpret_cast<const unsigned char*>(key.data()),
                               static_cast<int>(key.size()), digest);
    char hex[33];
    for (int i = 0; i < 16; ++i)
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    EXPECT_EQ(run.commands[2], Base64(std::string("user ") + hex));
}

TEST_F(AuthTest, CramMd5RefusedFails) {
    ScriptedSmtpServer server;
    Start(server)
        .Exchange("AUTH CRAM-MD5", "334 " + Base64("<1.2@mail.test>") + "\r\n")
        .Exchange("", "535 5.7.8 no\r\n")
        .Exchange("QUIT", "221 bye\r\n");
    const AuthRun run = Run(server, TSMTPConnection::CRAM_MD5, u"u", u"p");
    ASSERT_TRUE(run.error);
    EXPECT_EQ(run.error->m_strMessage,
              u"TSMTPConnection::AuthCramMD5; Authentication unsuccesful!");
}

TEST_F(AuthTest, ChallengeThatIsNotBase64FailsWithKind3) {
    for (int type : {TSMTPConnection::CRAM_MD5, TSMTPConnection::AUTH_LOGIN}) {
        ScriptedSmtpServer server;
        Start(server)
            .Exchange(type == TSMTPConnection::CRAM_MD5 ? "AUTH CRAM-MD5" : "AUTH LOGIN",
                      "334 not*base64!\r\n")
            .Exchange("QUIT", "221 bye\r\n");
        const AuthRun run = Run(server, type, u"u", u"p");
        ASSERT_TRUE(run.error) << type;
        EXPECT_EQ(run.error->m_nKind, 3);
        EXPECT_EQ(run.commands.back(), "QUIT");
    }
}

TEST_F(AuthTest, MechanismRefusedAtTheAuthCommand) {
    ScriptedSmtpServer server;
    Start(server)
        .Exchange("AUTH CRAM-MD5", "504 5.5.4 Unrecognized authentication type\r\n")
        .Exchange("QUIT", "221 bye\r\n");
    const AuthRun run = Run(server, TSMTPConnection::CRAM_MD5, u"u", u"p");
    ASSERT_TRUE(run.error);
    EXPECT_EQ(run.error->m_strMessage, u"Unexpected AUTH CRAM_MD5 response.");
}
