// The exports from many threads at once; make test-tsan runs this test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Environment.h"
#include "HostMessage.h"
#include "LogCapture.h"
#include "LoopbackSocket.h"
#include "OpenDescriptors.h"
#include "ProviderLibrary.h"
#include "ScratchDir.h"
#if !defined(_WIN32)
#include "ScriptedSmtpServer.h"
#endif
#include "api/ConfigText.h"
#include "config/CMailCfg.h"
#include "platform/Files.h"

namespace {

// An SMTP server with a thread per connection: it refuses recipients at
// "refused.example.org" and counts the messages by their subject.
class SinkServer {
public:
    SinkServer() : m_listener(BindLoopback(m_nPort)), m_accepting([this] { Accept(); }) {}
    ~SinkServer() {
        m_bStop = true;
        m_accepting.join();
        for (std::thread& t : m_serving)
            t.join();
        CloseSocket(m_listener);
    }
    int Port() const { return m_nPort; }
    // Waits (at most 5 s) until the server closed every connection: its
    // side of the last goodbye may close after the client's side.
    void AwaitClosed() {
        for (int i = 0; i < 500 && m_nOpen > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::map<std::string, int> Subjects() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_subjects;
    }

private:
    void Accept() {
        while (!m_bStop) {
            if (!WaitReadable(m_listener, 50))
                continue;
            TestSocket s = AcceptOne(m_listener);
            if (s != kNoSocket)
                ++m_nOpen,
                    m_serving.emplace_back([this, s] { Serve(s), CloseSocket(s), --m_nOpen; });
        }
    }
    void Serve(TestSocket s) {
        SetIoTimeouts(s, 30);
        auto reply = [s](const std::string& text) { SendBytes(s, text.data(), text.size()); };
        reply("220 sink\r\n");
        std::string input, subject, line;
        bool bData = false;
        char buffer[8192];
        for (std::size_t end;; input.erase(0, end + 2)) {
            for (long n; (end = input.find("\r\n")) == std::string::npos; input.append(buffer, n))
                if ((n = ReceiveBytes(s, buffer, sizeof buffer)) <= 0)
                    return;
            line = input.substr(0, end);
            if (bData && line == ".") {
                bData = false;
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_subjects[subject];
                reply("250 queued\r\n");
            } else if (bData && line.starts_with("Subject: ")) {
                subject = line.substr(9);
            } else if (line.starts_with("RCPT TO:")) {
                reply(line.find("refused.example.org") != std::string::npos
                          ? "550 5.1.1 no such user\r\n"
                          : "250 ok\r\n");
            } else if (line == "DATA") {
                bData = true;
                reply("354 go ahead\r\n");
            } else if (line == "QUIT") {
                return reply("221 bye\r\n");
            } else if (!bData) {
                reply("250 ok\r\n");
            }
        }
    }

    int m_nPort = 0;
    TestSocket m_listener;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nOpen{0};
    std::vector<std::thread> m_serving;
    std::thread m_accepting;
    std::mutex m_mutex;
    std::map<std::string, int> m_subjects;
};

class ThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Lib().Loaded()) << Lib().error;
        WriteStore(m_dir.Path(), m_server.Port());
        m_attachment = m_dir.File("report.txt");
        WriteBytes(m_attachment, std::string(100000, 'r'));
    }

    // The server is an address, not a name: glibc's resolver threads are out
    // of ThreadSanitizer's sight (the certificate names the address too).
    static void WriteStore(const std::string& dir, int port, bool bTls = false) {
        CMailCfg cfg;  // the fields in their order (api/ConfigText.h), host to STARTTLS
        cfg.m_strText1 = JoinConfigText({u"127.0.0.1", u"", u"", u"threads@example.org", u"",
                                         FromUtf8(std::to_string(port)), bTls ? u"3" : u"0", u"",
                                         u"", bTls ? u"1" : u"0"});
        ASSERT_TRUE(cfg.save(FromUtf8(dir + "/smtp.cfg").c_str()));
    }

    static ProviderLibrary& Lib() { return ProviderLibrary::Get(); }
    MAILINIFLAGS Flags(ILogProvider* log) const {
        return MakeIniFlags(log, nullptr, m_wdir.c_str());
    }
    HostMessage Message(const std::string& subject, bool bRefused = false) const {
        HostMessage m;
        m.Subject(FromUtf8(subject)).Body(u"b").Attach(m_attachment);
        m.To(nullptr, bRefused ? u"bob@refused.example.org" : u"bob@example.org");
        return m;
    }
    static void OnThreads(int n, const std::function<void(int)>& body) {
        std::vector<std::thread> threads;
        for (int k = 0; k < n; ++k)
            threads.emplace_back(body, k);
        for (std::thread& t : threads)
            t.join();
    }

    SinkServer m_server;
    ScratchDir m_dir;
    const std::u16string m_wdir = FromUtf8(m_dir.Path() + "/");
    std::string m_attachment;
};

}  // namespace

// Own handles while a reader holds the store, then one shared handle: each
// message once, each thread its own outcome; the log's socket goes at the end.
// Each handle keeps its connection, which the shared one's threads take in
// turn (a refused recipient leaves it to be reset), until Uninitialize.
TEST_F(ThreadsTest, EveryMessageOnceAndEachThreadReadsItsOwnError) {
    ScopedEnv keepAlive({{"SMTPMAIL_KEEPALIVE_S", "60"}});
    const int before = OpenDescriptors();
    constexpr int kOwn = 8, kMessages = 10, kSharing = 4, kShared = 25;
    std::atomic<int> failures{0};
    {
        HANDLE reader = platform::CreateFileW(FromUtf8(m_dir.File("smtp.cfg")).c_str(),
                                              GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
        ASSERT_NE(reader, INVALID_HANDLE_VALUE);
        OnThreads(kOwn, [&](int k) {
            CapturingLogProvider log;
            MAILINIFLAGS flags = Flags(&log);
            HMAILPROVIDER h = Lib().Initialize(&flags);
            for (int i = 0; h != nullptr && i < kMessages; ++i) {
                HostMessage m = Message("own " + std::to_string(k) + "." + std::to_string(i));
                failures += Lib().Send(h, m.Record(), nullptr) != MAILERR_OK;
            }
            Lib().Uninitialize(h);
        });
        platform::CloseHandle(reader);
    }
    EXPECT_EQ(failures, 0);

    CapturingLogProvider log;
    MAILINIFLAGS flags = Flags(&log);
    HMAILPROVIDER h = Lib().Initialize(&flags);
    ASSERT_NE(h, nullptr);
    std::atomic<int> wrong{0};
    OnThreads(kSharing, [&](int k) {
        const bool bRefused = k % 2 == 1;
        for (int i = 0; i < kShared; ++i) {
            HostMessage m =
                Message("shared " + std::to_string(k) + "." + std::to_string(i), bRefused);
            const MAILRESULT code = Lib().Send(h, m.Record(), nullptr);
            const MAILERROR* error = Lib().GetLastError(h);
            wrong += code != (bRefused ? MAILERR_SEND : MAILERR_OK) || error->nCode != code ||
                     (error->szDescription[0] == 0) == bRefused;
        }
    });
    EXPECT_EQ(wrong, 0) << "calls whose thread read another's outcome";
    Lib().Uninitialize(h);

    const std::map<std::string, int> subjects = m_server.Subjects();
    EXPECT_EQ(subjects.size(), static_cast<std::size_t>(kOwn * kMessages + kSharing / 2 * kShared));
    for (const auto& [subject, count] : subjects)
        EXPECT_EQ(count, 1) << subject;
#if !defined(_WIN32)
    m_server.AwaitClosed();
    EXPECT_EQ(OpenDescriptors(), before) << "a socket left open";
#endif
    static_cast<void>(before);
}

TEST_F(ThreadsTest, EachHandleLogsToItsOwnProvider) {
    CapturingLogProvider logA, logB;
    MAILINIFLAGS flagsA = Flags(&logA), flagsB = Flags(&logB);
    HMAILPROVIDER a = Lib().Initialize(&flagsA), b = Lib().Initialize(&flagsB);
    ASSERT_TRUE(a != nullptr && b != nullptr);
    auto refused = [this](HMAILPROVIDER h) {
        HostMessage m = Message("refused", true);
        EXPECT_EQ(Lib().Send(h, m.Record(), nullptr), MAILERR_SEND);
    };
    auto refusals = [](const CapturingLogProvider& log) {
        int n = 0;
        for (const auto& entry : log.Entries())
            n += entry.message.find(u"no such user") != std::u16string::npos;
        return n;
    };
    refused(a);
    EXPECT_EQ(refusals(logA), 1);
    EXPECT_EQ(refusals(logB), 0) << "A's record at B's provider";
    OnThreads(2, [&](int k) {
        for (int i = 0; i < 10; ++i)
            refused(k == 0 ? a : b);
    });
    EXPECT_EQ(refusals(logA), 11);
    EXPECT_EQ(refusals(logB), 10);
    Lib().Uninitialize(b);
    const std::size_t atB = logB.Entries().size();
    refused(a);
    EXPECT_EQ(logB.Entries().size(), atB) << "a record after B's Mail_Uninitialize";
    Lib().Uninitialize(a);
}

#if !defined(_WIN32)
// TLS sessions on many threads share the trust store and the TLS package (the
// scripted server's TLS is OpenSSL's, not on Windows).
TEST_F(ThreadsTest, TlsSessionsOnManyThreads) {
    TrustTestCa();
    std::atomic<int> failures{0};
    OnThreads(4, [&](int k) {
        for (int round = 0; round < 5; ++round) {
            ScriptedSmtpServer server;
            server.UseCertificate(TestCertificate("server.pem"), TestCertificate("server.key"));
            server.Send("220 mail.test\r\n")
                .Exchange("EHLO", "250-mail.test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n")
                .Exchange("STARTTLS", "220 go ahead\r\n")
                .StartTls()
                .Exchange("EHLO", "250 AUTH PLAIN\r\n")
                .Exchange("AUTH PLAIN", "334 \r\n")
                .Exchange("", "235 ok\r\n");
            UpToData(server).ExpectData().Send("250 queued\r\n").Exchange("QUIT", "221 bye\r\n");
            const std::string dir = m_dir.File(std::to_string(k * 10 + round));
            std::filesystem::create_directories(dir);
            WriteStore(dir, server.Start(), true);
            CapturingLogProvider log;
            const std::u16string wdir = FromUtf8(dir + "/");
            MAILINIFLAGS flags = MakeIniFlags(&log, nullptr, wdir.c_str());
            HMAILPROVIDER h = Lib().Initialize(&flags);
            HostMessage m = Message("tls");
            failures += Lib().Send(h, m.Record(), nullptr) != MAILERR_OK;
            Lib().Uninitialize(h);
            failures += !server.Finish();
        }
    });
    EXPECT_EQ(failures, 0);
}
#endif
