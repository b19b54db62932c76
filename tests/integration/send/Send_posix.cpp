// What only the Linux host shows: the provider's socket past descriptor
// 1024, implicit TLS against a scripted server on port 465, certificates of a
// partial chain and an address as the host name (checked by the POSIX chain
// policy; Wine's answers them its own way), and a host log that throws.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "ScriptedSmtpServer.h"
#include "SendFixture.h"
#include "api/ConfigText.h"

namespace {

using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::Not;

// A host whose log interface throws at one message: an exception that is not
// the session's own, which Send must still contain.
class ThrowingLogProvider : public CapturingLogProvider {
public:
    long MAILCALL WriteMessage(void* session, int type, int level,
                               const MAILWCHAR* message) override {
        CapturingLogProvider::WriteMessage(session, type, level, message);
        if (std::u16string(message) == u"Email Address must be valid.")
            throw std::runtime_error("host log failed");
        return 0;
    }
};

using SendPosixTest = SendFixture;

// The host's process may hold many handles: the provider's socket then has a
// descriptor number past 1024, which every wait of the session must take.
TEST_F(SendPosixTest, SocketPastDescriptor1024) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_GE(limit.rlim_max, 1200u) << "the test needs room for 1100 more descriptors";
    const rlimit raised{std::max<rlim_t>(limit.rlim_cur, 1200), limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    std::vector<int> held;
    while (held.empty() || held.back() < 1100) {
        held.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        ASSERT_GE(held.back(), 0);
    }
    Configure(Peer("server"));
    HostMessage message = SimpleText();
    const std::string marker = Mark(message);
    EXPECT_EQ(Send(message.Record()), MAILERR_OK) << ToUtf8(Description());
    for (int fd : held)
        ::close(fd);
    setrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_TRUE(Stored(marker, R"({"envelope": {"tls": true}})"));
}

TEST_F(SendPosixTest, PartialChainAndAddressAsHostName) {
    ExpectCertificateRows({
        // Without the intermediate no chain leads to the trusted CA.
        {"partialchain", "localhost", 0, 0x800B010A},
        {"partialchain", "localhost", 0x100, 0},
        // An address as the host: the literal is the name the certificate must hold.
        {"server", "127.0.0.1", 0, 0},
    });
}

// Port 465 is submission over TLS from the first byte: the handshake, with
// the same certificate check as after STARTTLS, comes before the greeting, and
// no STARTTLS follows. The server must listen on 465 itself.
TEST_F(SendPosixTest, ImplicitTlsOnPort465ChecksTheCertificateAndSendsNoStartTls) {
    for (const auto& [cert, code, native] :
         {std::tuple{"server", MAILERR_OK, 0u},
          std::tuple{"wrongname", MAILERR_ACCESS_DENIED, 0x800B010Fu}}) {
        SCOPED_TRACE(cert);
        ScriptedSmtpServer server;
        const std::string path = PeerValue("path.certs") + "/" + cert;
        server.UseCertificate(path + ".pem", path + ".key");
        server.StartTls()
            .Send("220 ready\r\n")
            .Exchange("EHLO", "250-mail.test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n")
            .Exchange("AUTH PLAIN", "334 \r\n")
            .Exchange("AHNhbQBwdw==", "235 ok\r\n")
            .Exchange("MAIL FROM:<tls@example.org>", "250 ok\r\n")
            .Exchange("RCPT TO:", "250 ok\r\n")
            .Exchange("DATA", "354 go\r\n")
            .ExpectData()
            .Send("250 queued\r\n")
            .Exchange("QUIT", "221 bye\r\n");
        if (server.Start(465) != 465 && ::getuid() != 0 && std::getenv("CI") == nullptr)
            GTEST_SKIP() << "port 465 needs root here";
        // STARTTLS on: it must not be asked for over a channel that is TLS already.
        StoreSettings settings{"localhost", 465, kAuthPlain, true, 0, "sam", "pw"};
        settings.more[CFG_SENDER_ADDR] = "tls@example.org";
        Configure(settings);
        EXPECT_EQ(Send(SimpleText().Record()), code) << ToUtf8(Description());
        ExpectLastError(code, code == MAILERR_OK ? u"" : kConnecting, native, false);
        ASSERT_TRUE(server.Finish());
        if (code == MAILERR_OK) {
            EXPECT_THAT(server.Errors(), IsEmpty());
            EXPECT_EQ(server.Data().size(), 1u);
        }
        EXPECT_THAT(server.Commands(), Not(Contains("STARTTLS")));
        Close();
    }
}

TEST_F(SendPosixTest, AnyOtherExceptionIs100) {
    ThrowingLogProvider thrower;
    m_flags.logProvider = &thrower;
    WriteIni(ServerIni(UnusedLoopbackPort()));
    HostMessage message = SimpleText();
    message.To(u"No Address", nullptr);  // warns through the host log, which throws
    EXPECT_EQ(Send(message.Record()), MAILERR_INIT);
    ExpectLastError(MAILERR_INIT, u"CSMTPMailAPI::Send() - unspecified exception.", 0);
}

}  // namespace
