// Connect against the scripted server, one dialogue a row: the capability
// tests, STARTTLS, HELO after a refused EHLO, AUTH PLAIN, LOGIN and CRAM-MD5
// with the exact lines the session sends, and every way the greeting or the
// login fails.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ScriptedSmtpServer.h"
#include "SessionTestSupport.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const char* const kAuthEhlo = "250-mail.test\r\n250-AUTH CRAM-MD5 LOGIN PLAIN\r\n250 8BITMIME\r\n";

struct Dialogue {
    const char* what;
    int nAuthType = TSMTPConnection::AUTH_LOGIN;  // unless the row names another
    const char* hello = kAuthEhlo;                // the reply to EHLO; null: the server closes
    // Then each command the session sends and the reply to it; QUIT is answered last.
    std::vector<std::pair<const char*, const char*>> script;
    const char16_t* error = nullptr;  // the exception's message; null: Connect succeeds
    int nKind = 3;
    bool bStartTLS = false;
    const char16_t* user = u"user";
    const char16_t* password = u"pass";
};

}  // namespace

TEST_F(SessionTest, ConnectDialogues) {
    const std::u16string kLongPassword(80, u'\u00aa');
    const Dialogue dialogues[] = {
        // Capabilities and STARTTLS.
        {.what = "no AUTH line still authenticates",
         .hello = "250-mail.test\r\n250 8BITMIME\r\n",
         .script = {{"AUTH LOGIN", kUsernamePrompt},
                    {"dXNlcg==", kPasswordPrompt},
                    {"cGFzcw==", "235 ok\r\n"}}},
        {.what = "AUTH line without the mechanism",
         .nAuthType = TSMTPConnection::CRAM_MD5,
         .hello = "250-mail.test\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME\r\n",
         .error = u"False command response!",
         .nKind = 4},
        {.what = "a lower-case AUTH line counts as one without the mechanism",
         .hello = "250-mail.test\r\n250-auth login plain\r\n250 8BITMIME\r\n",
         .error = u"This authentication type is not supported by current SMTP server."},
        {.what = "STARTTLS not offered",
         .nAuthType = TSMTPConnection::AUTH_PLAIN,
         .hello = "250-mail.test\r\n250-AUTH PLAIN\r\n250 SIZE 1000\r\n",
         .error = u"TLS is not supported by current SMTP server.",
         .bStartTLS = true},
        {.what = "\"250 TLS\" passes for STARTTLS, whose refusal ends the greeting",
         .nAuthType = TSMTPConnection::AUTH_PLAIN,
         .hello = "250-mail.test\r\n250-AUTH PLAIN\r\n250 TLS\r\n",
         .script = {{"STARTTLS", "454 4.7.0 TLS not available due to local problem\r\n"}},
         .error = u"SMTP server not ready to start TLS negotiation.",
         .bStartTLS = true},
        {.what = "STARTTLS without a login, not offered",
         .nAuthType = TSMTPConnection::AUTH_NONE,
         .hello = "250-mail.test\r\n250 DSN\r\n",
         .error = u"TLS is not supported by current SMTP server.",
         .bStartTLS = true},
        {.what = "without a login the AUTH line plays no part",
         .nAuthType = TSMTPConnection::AUTH_NONE,
         .hello = "250-mail.test\r\n250-auth login\r\n250 DSN\r\n"},
        {.what = "EHLO refused without a login: HELO",
         .nAuthType = TSMTPConnection::AUTH_NONE,
         .hello = "502 5.5.2 Error: command not recognized\r\n",
         .script = {{"HELO client.test", "250 mail.test\r\n"}},
         .user = nullptr,
         .password = nullptr},
        {.what = "500 is a refusal too; HELO's own refusal ends the greeting",
         .nAuthType = TSMTPConnection::AUTH_NONE,
         .hello = "500 unknown\r\n",
         .script = {{"HELO client.test", "504 not even that\r\n"}},
         .error = u"Unexpected HELO response. Last Response : 504 not even that\r\n"},
        {.what = "504 is a refusal too",
         .nAuthType = TSMTPConnection::AUTH_NONE,
         .hello = "504 5.5.2 no\r\n",
         .script = {{"HELO client.test", "250 mail.test\r\n"}}},
        {.what = "no HELO after another failure",
         .nAuthType = TSMTPConnection::AUTH_NONE,
         .hello = "421 4.3.2 closing\r\n",
         .error = u"Unexpected EHLO response. Last Response : 421 4.3.2 closing\r\n\n"},
        {.what = "nor for a login, which needs the extensions",
         .nAuthType = TSMTPConnection::AUTH_PLAIN,
         .hello = "502 5.5.2 no\r\n",
         .error = u"Unexpected EHLO response. Last Response : 502 5.5.2 no\r\n\n"},
        {.what = "nor when STARTTLS is asked for, which only EHLO offers",
         .nAuthType = TSMTPConnection::AUTH_NONE,
         .hello = "502 5.5.2 no\r\n",
         .error = u"TLS is not supported by current SMTP server.",
         .bStartTLS = true},
        {.what = "OAuth2 tests for XOAUTH2 and sends no AUTH",
         .nAuthType = TSMTPConnection::AUTH_OAUTH2,
         .hello = "250-mail.test\r\n250-AUTH LOGIN XOAUTH2\r\n250 8BITMIME\r\n"},
        {.what = "OAuth2 without XOAUTH2",
         .nAuthType = TSMTPConnection::AUTH_OAUTH2,
         .hello = "250-mail.test\r\n250 AUTH LOGIN PLAIN\r\n",
         .error = u"False command response!",
         .nKind = 4},
        {.what = "unknown authentication type",
         .nAuthType = 9,
         .hello = "250 mail.test\r\n",
         .error = u"Unrecognized authentication type."},
        {.what = "a server that closes instead of replying",
         .hello = nullptr,
         .error = u"The server closed the connection after EHLO."},

        // AUTH PLAIN: NUL user NUL password, as UTF-8.
        {.what = "PLAIN",
         .nAuthType = TSMTPConnection::AUTH_PLAIN,
         .script = {{"AUTH PLAIN", "334 \r\n"}, {"AErDtnJnAHDDpHNzIHcwcmQ=", "235 ok\r\n"}},
         .user = u"J\u00f6rg",
         .password = u"p\u00e4ss w0rd"},
        {.what = "PLAIN refused",
         .nAuthType = TSMTPConnection::AUTH_PLAIN,
         .script = {{"AUTH PLAIN", "334 \r\n"},
                    {"AHVzZXIAcGFzcw==", "535 5.7.8 Authentication credentials invalid\r\n"}},
         .error = u"Unexpected AUTH PLAIN password response. Last Response : 535 5.7.8 "
                  u"Authentication credentials invalid\r\n"},

        // AUTH LOGIN: the prompts in any case, and nothing else.
        {.what = "LOGIN with an upper-case prompt",
         .script = {{"AUTH LOGIN", "334 VVNFUk5BTUU6\r\n"},  // USERNAME:
                    {"SsO2cmc=", kPasswordPrompt},
                    {"cGFzcw==", "235 2.7.0 ok\r\n"}},
         .user = u"J\u00f6rg"},
        {.what = "LOGIN prompt with a trailing blank",
         .script = {{"AUTH LOGIN", "334 VXNlcm5hbWU6IA==\r\n"}},
         .error = u"Unexpected AUTH LOGIN username request. Last Response : 334 "
                  u"VXNlcm5hbWU6IA==\r\n"},
        {.what = "LOGIN password prompt in another language",
         .script = {{"AUTH LOGIN", kUsernamePrompt}, {"dXNlcg==", "334 UGFzc3dvcnQ6\r\n"}},
         .error = u"Unexpected AUTH LOGIN password request. Last Response : 334 UGFzc3dvcnQ6\r\n"},
        {.what = "LOGIN challenge that is not Base64",
         .script = {{"AUTH LOGIN", "334 not*base64!\r\n"}},
         .error = u"The server's challenge is not valid Base64. Last Response : 334 "
                  u"not*base64!\r\n"},

        // CRAM-MD5: RFC 2195, section 2 (user tim, key tanstaaftanstaaf); a
        // password longer than the block is hashed first (RFC 2202 case 6 with
        // the key as UTF-8, 160 bytes).
        {.what = "CRAM-MD5, the RFC 2195 example",
         .nAuthType = TSMTPConnection::CRAM_MD5,
         .script = {{"AUTH CRAM-MD5",
                     "334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n"},
                    {"dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw", "235 ok\r\n"}},
         .user = u"tim",
         .password = u"tanstaaftanstaaf"},
        {.what = "CRAM-MD5 with a password longer than the block",
         .nAuthType = TSMTPConnection::CRAM_MD5,
         .script = {{"AUTH CRAM-MD5",
                     "334 VGVzdCBVc2luZyBMYXJnZXIgVGhhbiBCbG9jay1TaXplIEtleSAtI"
                     "Ehhc2ggS2V5IEZpcnN0\r\n"},
                    {"dXNlciA0ZGEzODdlMDUzNzI2M2Y3ODViNjIzNTBmYmU4NjE2OQ==", "235 ok\r\n"}},
         .password = kLongPassword.c_str()},
        {.what = "CRAM-MD5 refused",
         .nAuthType = TSMTPConnection::CRAM_MD5,
         .script = {{"AUTH CRAM-MD5", "334 PDEuMkBtYWlsLnRlc3Q+\r\n"},
                    {"dXNlciA3ZDkxYjQ1ZjQ1NWI2YzI0MTg3NTNkOTk1ZmMxZGQ5Mw==", "535 5.7.8 no\r\n"}},
         .error = u"TSMTPConnection::AuthCramMD5; Authentication unsuccesful!"},
        {.what = "LOGIN answered by a bare 334",
         .script = {{"AUTH LOGIN", "334\r\n"}},
         .error = u"The server's reply carries no challenge. Last Response : 334\r\n"},
        {.what = "CRAM-MD5 answered by a bare 334",
         .nAuthType = TSMTPConnection::CRAM_MD5,
         .script = {{"AUTH CRAM-MD5", "334 \r\n"}},
         .error = u"The server's reply carries no challenge. Last Response : 334 \r\n"},
        {.what = "CRAM-MD5 refused at the AUTH command",
         .nAuthType = TSMTPConnection::CRAM_MD5,
         .script = {{"AUTH CRAM-MD5", "504 5.5.4 Unrecognized authentication type\r\n"}},
         .error = u"Unexpected AUTH CRAM_MD5 response."},
    };
    for (const Dialogue& d : dialogues) {
        SCOPED_TRACE(d.what);
        std::vector<std::string> expected = {"EHLO client.test"};
        ScriptedSmtpServer server;
        server.Send(kGreeting).Expect(expected[0]);
        if (d.hello != nullptr) {
            server.Send(d.hello);
            for (const auto& [command, reply] : d.script) {
                server.Exchange(command, reply);
                expected.push_back(command);
            }
            server.Exchange("QUIT", "221 Bye\r\n");
            expected.push_back("QUIT");
        } else {
            server.Close();
        }
        const SessionRun run =
            Run(server, ConnectAndSend(d.nAuthType, nullptr, d.user, d.password), d.bStartTLS);
        EXPECT_EQ(ToUtf8(Thrown(run.error)), ToUtf8(d.error ? d.error : u"(none)"));
        if (run.error) {
            EXPECT_EQ(run.error->m_nKind, d.nKind);
            EXPECT_TRUE(run.bClosed) << "a failed Connect leaves nothing open";
        }
        EXPECT_EQ(server.Commands(), expected);
        EXPECT_THAT(server.Errors(), IsEmpty());
        EXPECT_EQ(server.ClientClosed(), d.hello != nullptr);
    }
}
