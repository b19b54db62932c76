// Mail_Send through the exports against a raw client that plays the same
// dialogue into the same loopback sink, in the same run, pair by pair:
//
// - many small messages: 200 sends of a 2 KiB message on one handle, one
//   connection each, plain (no login) and with STARTTLS and AUTH PLAIN, against a
//   client that writes each command with one write (and the message with its
//   end of data with one more). Messages per second; target: the provider at
//   least 0.8 times the raw client's rate.
// - large attachments: 10 and 50 MiB through the exports from a separate
//   sending process (the provider loaded as a host loads it), against a
//   client in a process of its own that sends the identical bytes with one
//   write (run on a thread next to the sink's, its time moved between 18 and
//   33 ms from run to run for 50 MiB). Wall time of the send; target for 50 MiB: at most 1.15 times
//   the raw client's. And the sending process's peak resident memory above the same send without
//   the attachment; target: at most 16 MiB for both sizes.
//
// Each figure is the median of its rounds; each benchmark prints the ratio.
//
//   SendBench [benchmark options]             the benchmarks
//   SendBench --send-child DIR [FILE]         the sending process (run by the benchmark)
//   SendBench --raw-child DIR PORT            the raw client's process (the same)
//   SendBench --reuse-child DIR COUNT         COUNT sends on one handle (bench/reuse)
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mailapi.h"

extern char** environ;

namespace {

constexpr double kMiB = 1024.0 * 1024.0;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Scratch() {
    static const std::string dir = [] {
        std::string d = std::filesystem::temp_directory_path().string() + "/send-bench-" +
                        std::to_string(::getpid());
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

std::u16string Wide(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// ------------------------------------------------------------ the provider

// The host's log interface: warnings and errors to standard error.
class QuietLog final : public ILogProvider {
public:
    QuietLog() = default;
    virtual ~QuietLog() = default;
    long MAILCALL Slot0() override { return 0; }
    long MAILCALL Slot1() override { return 0; }
    long MAILCALL Slot2() override { return 0; }
    long MAILCALL Slot3() override { return 0; }
    long MAILCALL WriteLog(void*, int, int, const MAILWCHAR*, const MAILWCHAR*,
                           const MAILWCHAR*) override {
        return 0;
    }
    long MAILCALL WriteMessage(void*, int, int level, const MAILWCHAR* message) override {
        if (level <= 4) {
            std::string s;
            for (const MAILWCHAR* p = message; *p; ++p)
                s.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
            std::fprintf(stderr, "provider [%d]: %s\n", level, s.c_str());
        }
        return 0;
    }
};

// The provider loaded with the dynamic loader, one handle on a configuration folder.
class Provider {
public:
    explicit Provider(const std::string& dir) : m_dir(Wide(dir + "/")) {
        const std::string library = std::string(SMTPMAIL_BIN_DIR) + "/libsmtpmail.so";
        m_lib = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m_lib == nullptr)
            return;
        auto init = reinterpret_cast<HMAILPROVIDER(MAILCALL*)(MAILINIFLAGS*)>(
            dlsym(m_lib, "Mail_Initialize"));
        m_send = reinterpret_cast<MAILRESULT(MAILCALL*)(
            HMAILPROVIDER, const MAILMESSAGE*, const MAILSENDFLAGS*)>(dlsym(m_lib, "Mail_Send"));
        m_last = reinterpret_cast<MAILERROR*(MAILCALL*)(HMAILPROVIDER)>(
            dlsym(m_lib, "Mail_GetLastError"));
        m_uninit =
            reinterpret_cast<void(MAILCALL*)(HMAILPROVIDER)>(dlsym(m_lib, "Mail_Uninitialize"));
        if (init == nullptr || m_send == nullptr || m_last == nullptr || m_uninit == nullptr)
            return;
        MAILINIFLAGS flags;
        std::memset(&flags, 0, sizeof flags);
        flags.cbSize = sizeof flags;
        flags.logProvider = &m_log;
        flags.pszPrimaryDir = m_dir.c_str();
        flags.pszSecondaryDir = m_dir.c_str();
        m_h = init(&flags);
    }
    ~Provider() {
        if (m_h != nullptr)
            m_uninit(m_h);
        if (m_lib != nullptr)
            dlclose(m_lib);
    }
    bool Ready() const { return m_h != nullptr; }

    // A text message to one recipient, with the attachment when a path is given.
    bool Send(const std::u16string& body, const std::string& attachment = std::string()) {
        const std::u16string subject = u"Benchmark";
        const std::u16string to = u"bench@example.org";
        const std::u16string path = Wide(attachment);
        MAILRECIPIENT recipient{};
        recipient.nKind = MAILRECIP_TO;
        recipient.pszAddress = to.c_str();
        MAILATTACHMENT file{};
        file.pszPath = path.c_str();
        MAILMESSAGE message;
        std::memset(&message, 0, sizeof message);
        message.pszSubject = subject.c_str();
        message.nBodyType = MAILBODY_MEMORY;
        message.pszBody = body.c_str();
        message.nBodyLength = static_cast<int32_t>(body.size());
        message.nPriority = MAILPRIO_NORMAL;
        message.nRecipients = 1;
        message.pRecipients = &recipient;
        message.nAttachments = attachment.empty() ? 0 : 1;
        message.pAttachments = attachment.empty() ? nullptr : &file;
        const MAILRESULT rc = m_send(m_h, &message, nullptr);
        if (rc != MAILERR_OK) {
            std::string s;
            for (const MAILWCHAR* p = m_last(m_h)->szDescription; *p; ++p)
                s.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
            std::fprintf(stderr, "Mail_Send returned %d: %s\n", static_cast<int>(rc), s.c_str());
        }
        return rc == MAILERR_OK;
    }

private:
    std::u16string m_dir;
    QuietLog m_log;
    void* m_lib = nullptr;
    HMAILPROVIDER m_h = nullptr;
    MAILRESULT(MAILCALL* m_send)(HMAILPROVIDER, const MAILMESSAGE*, const MAILSENDFLAGS*) = nullptr;
    MAILERROR*(MAILCALL* m_last)(HMAILPROVIDER) = nullptr;
    void(MAILCALL* m_uninit)(HMAILPROVIDER) = nullptr;
};

long PeakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// The sending process of the large-attachment benchmark: one send, then the
// send's wall time and the process's peak resident memory into DIR/result.txt.
int SendChild(const std::string& dir, const std::string& file) {
    Provider provider(dir);
    if (!provider.Ready())
        return 2;
    const auto start = Clock::now();
    const bool ok = provider.Send(u"The file is attached.", file);
    const double seconds = Seconds(start);
    std::ofstream(dir + "/result.txt", std::ios::trunc)
        << seconds << " " << PeakResidentKiB() << "\n";
    return ok ? 0 : 1;
}

// bench/reuse/reuse_bench.py's host: count sends of a 2 KiB text on one
// handle, as a host sends a batch; only the sends are timed (the handle's
// set-up and its end, which closes a kept connection, are not).
int ReuseChild(const std::string& dir, int count) {
    Provider provider(dir);
    if (!provider.Ready())
        return 2;
    std::u16string body;
    for (int i = 0; i < 32; ++i)
        body += u"A line of the weekly report, as long as most lines of text are\r\n";
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (!provider.Send(body))
            return 1;
    }
    std::printf("messages=%d total_ms=%.3f\n", count, Seconds(start) * 1000);
    return 0;
}

// ------------------------------------------------------------ TLS material

// A CA and a certificate for "localhost" signed by it, made once per run.
struct Certificates {
    std::string caFile;
    SSL_CTX* server = nullptr;
};

EVP_PKEY* NewKey() {
    return EVP_EC_gen("P-256");
}

X509* NewCertificate(EVP_PKEY* key, const char* cn, X509* issuer, EVP_PKEY* issuerKey, bool ca) {
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), ca ? 1 : 2);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, key);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                               -1, -1, 0);
    X509_set_issuer_name(x, issuer != nullptr ? X509_get_subject_name(issuer) : name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer != nullptr ? issuer : x, x, nullptr, nullptr, 0);
    auto add = [&](int nid, const char* value) {
        X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
        X509_add_ext(x, e, -1);
        X509_EXTENSION_free(e);
    };
    if (ca) {
        add(NID_basic_constraints, "critical,CA:TRUE");
        add(NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        add(NID_basic_constraints, "critical,CA:FALSE");
        add(NID_key_usage, "critical,digitalSignature,keyEncipherment");
        add(NID_ext_key_usage, "serverAuth");
        add(NID_subject_alt_name, "DNS:localhost");
    }
    X509_sign(x, issuerKey != nullptr ? issuerKey : key, EVP_sha256());
    return x;
}

const Certificates& TestCertificates() {
    static const Certificates certs = [] {
        Certificates c;
        EVP_PKEY* caKey = NewKey();
        X509* ca = NewCertificate(caKey, "SendBench CA", nullptr, nullptr, true);
        EVP_PKEY* key = NewKey();
        X509* cert = NewCertificate(key, "localhost", ca, caKey, false);
        c.caFile = Scratch() + "/ca.pem";
        FILE* f = std::fopen(c.caFile.c_str(), "w");
        PEM_write_X509(f, ca);
        std::fclose(f);
        c.server = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(c.server, cert);
        SSL_CTX_add1_chain_cert(c.server, ca);
        SSL_CTX_use_PrivateKey(c.server, key);
        X509_free(cert);
        X509_free(ca);
        EVP_PKEY_free(key);
        EVP_PKEY_free(caKey);
        return c;
    }();
    return certs;
}

// ------------------------------------------------------------ a connection

// One end of an SMTP connection, plain or over TLS, reading lines.
class Connection {
public:
    explicit Connection(int fd) : m_fd(fd) {}
    ~Connection() {
        if (m_ssl != nullptr)
            SSL_free(m_ssl);
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool Write(const char* data, size_t size) {
        while (size > 0) {
            const int n =
                m_ssl != nullptr
                    ? SSL_write(m_ssl, data, static_cast<int>(std::min<size_t>(size, 1 << 30)))
                    : static_cast<int>(::send(m_fd, data, size, MSG_NOSIGNAL));
            if (n <= 0)
                return false;
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }
    bool Write(const std::string& text) { return Write(text.data(), text.size()); }
    // Two pieces with one write (plain connections).
    bool Write(const std::string& first, const char* second) {
        if (m_ssl != nullptr)
            return Write(first + second);
        iovec pieces[2] = {{const_cast<char*>(first.data()), first.size()},
                           {const_cast<char*>(second), std::strlen(second)}};
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = 2;
        size_t total = pieces[0].iov_len + pieces[1].iov_len;
        const ssize_t n = ::sendmsg(m_fd, &message, MSG_NOSIGNAL);
        if (n < 0)
            return false;
        // What the kernel did not take at once goes after it.
        size_t done = static_cast<size_t>(n);
        if (done < pieces[0].iov_len)
            return Write(first.data() + done, first.size() - done) &&
                   Write(second, std::strlen(second));
        done -= pieces[0].iov_len;
        return done == total - pieces[0].iov_len ||
               Write(second + done, std::strlen(second) - done);
    }
    bool Fill() {
        char buffer[1 << 16];
        const int n = m_ssl != nullptr ? SSL_read(m_ssl, buffer, sizeof buffer)
                                       : static_cast<int>(::recv(m_fd, buffer, sizeof buffer, 0));
        if (n <= 0)
            return false;
        m_input.append(buffer, static_cast<size_t>(n));
        return true;
    }
    bool ReadLine(std::string& line) {
        size_t end;
        while ((end = m_input.find("\r\n", m_scanned)) == std::string::npos) {
            m_scanned = m_input.empty() ? 0 : m_input.size() - 1;
            if (!Fill())
                return false;
        }
        line.assign(m_input, 0, end);
        m_input.erase(0, end + 2);
        m_scanned = 0;
        return true;
    }
    // A reply read to its last line ("250 ..."); its code.
    int ReadReply() {
        std::string line;
        do {
            if (!ReadLine(line))
                return -1;
        } while (line.size() > 3 && line[3] == '-');
        return std::atoi(line.substr(0, 3).c_str());
    }
    // The message after DATA up to its end line, counted and kept when asked.
    bool ReadData(long long& count, std::string* keep) {
        static const std::string kEnd = "\r\n.\r\n";
        for (;;) {
            const size_t end = m_input.find(kEnd, m_scanned);
            if (end != std::string::npos) {
                count += static_cast<long long>(end);
                if (keep != nullptr)
                    keep->append(m_input, 0, end);
                m_input.erase(0, end + kEnd.size());
                m_scanned = 0;
                return true;
            }
            if (m_input.size() > kEnd.size()) {
                const size_t take = m_input.size() - (kEnd.size() - 1);
                count += static_cast<long long>(take);
                if (keep != nullptr)
                    keep->append(m_input, 0, take);
                m_input.erase(0, take);
            }
            m_scanned = 0;
            if (!Fill())
                return false;
        }
    }
    bool AcceptTls(SSL_CTX* ctx) {
        m_ssl = SSL_new(ctx);
        SSL_set_fd(m_ssl, m_fd);
        return SSL_accept(m_ssl) == 1;
    }
    bool ConnectTls(SSL_CTX* ctx, const char* host) {
        m_ssl = SSL_new(ctx);
        SSL_set_fd(m_ssl, m_fd);
        SSL_set_tlsext_host_name(m_ssl, host);
        SSL_set1_host(m_ssl, host);
        return SSL_connect(m_ssl) == 1;
    }

private:
    int m_fd;
    SSL* m_ssl = nullptr;
    std::string m_input;
    size_t m_scanned = 0;
};

// ------------------------------------------------------------ the sink

// An SMTP server on loopback that takes one connection after another,
// accepts every command (STARTTLS and AUTH PLAIN included), reads each
// message to its end and throws it away; it can keep one message whole.
class Sink {
public:
    Sink() {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::listen(m_listen, 16) == 0 &&
            ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            m_nPort = ntohs(a.sin_port);
        m_thread = std::thread(&Sink::Run, this);
    }
    ~Sink() {
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        ::close(m_listen);
    }
    int Port() const { return m_nPort; }
    int Messages() const { return m_nMessages; }
    // The next message's data is kept; Kept() gives it once it has come.
    void KeepNext() { m_bKeep = true; }
    std::string Kept() { return std::move(m_kept); }

private:
    void Run() {
        for (;;) {
            int fd;
            do {
                fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            } while (fd < 0 && errno == EINTR);
            if (fd < 0)
                return;
            // As servers do, replies leave at once.
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            Serve(fd);
        }
    }
    void Serve(int fd) {
        Connection c(fd);
        bool tls = false;
        std::string line;
        if (!c.Write("220 sink ready\r\n"))
            return;
        while (c.ReadLine(line)) {
            if (line.rfind("DATA", 0) == 0) {
                c.Write("354 go ahead\r\n");
                long long count = 0;
                const bool keep = m_bKeep.exchange(false);
                if (!c.ReadData(count, keep ? &m_kept : nullptr))
                    return;
                ++m_nMessages;
                c.Write("250 2.0.0 discarded\r\n");
            } else if (line.rfind("EHLO", 0) == 0) {
                c.Write(tls ? "250-sink\r\n250-AUTH PLAIN\r\n250 8BITMIME\r\n"
                            : "250-sink\r\n250-STARTTLS\r\n250-AUTH PLAIN\r\n250 8BITMIME\r\n");
            } else if (line.rfind("STARTTLS", 0) == 0) {
                c.Write("220 go ahead\r\n");
                if (!c.AcceptTls(TestCertificates().server))
                    return;
                tls = true;
            } else if (line.rfind("AUTH PLAIN", 0) == 0) {
                c.Write("334 \r\n");
                if (!c.ReadLine(line))
                    return;
                c.Write("235 2.7.0 ok\r\n");
            } else if (line.rfind("QUIT", 0) == 0) {
                c.Write("221 bye\r\n");
                return;
            } else {
                c.Write("250 ok\r\n");
            }
        }
    }

    int m_listen = -1;
    int m_nPort = 0;
    std::thread m_thread;
    std::atomic<int> m_nMessages{0};
    std::atomic<bool> m_bKeep{false};
    std::string m_kept;
};

// ------------------------------------------------------------ the raw client

// The same dialogue as the provider's, each command with one write.
class RawClient {
public:
    RawClient() = default;
    ~RawClient() { SSL_CTX_free(m_ctx); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // The server by the name the provider is configured with: "localhost"
    // with STARTTLS (the certificate's name), the address otherwise; a name is
    // looked up for each message, as the provider does.
    bool Send(int port, bool startTls, const std::string& data) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(startTls ? "localhost" : "127.0.0.1", nullptr, &hints, &found) != 0)
            return false;
        sockaddr_in a = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
        ::freeaddrinfo(found);
        a.sin_port = htons(static_cast<uint16_t>(port));
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd);
            return false;
        }
        Connection c(fd);
        auto command = [&c](const std::string& line, int code) {
            return c.Write(line + "\r\n") && c.ReadReply() == code;
        };
        if (c.ReadReply() != 220)
            return false;
        if (startTls) {
            if (m_ctx == nullptr) {
                m_ctx = SSL_CTX_new(TLS_client_method());
                SSL_CTX_load_verify_locations(m_ctx, TestCertificates().caFile.c_str(), nullptr);
                SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, nullptr);
            }
            if (!command("EHLO client", 250) || !command("STARTTLS", 220) ||
                !c.ConnectTls(m_ctx, "localhost") || !command("EHLO client", 250) ||
                !command("AUTH PLAIN", 334) || !command("AHVzZXIAcGFzcw==", 235))
                return false;
        } else if (!command("EHLO client", 250)) {
            return false;
        }
        if (!command("MAIL FROM:<sender@example.org>", 250) ||
            !command("RCPT TO:<bench@example.org>", 250) || !command("DATA", 354))
            return false;
        if (!c.Write(data, "\r\n.\r\n") || c.ReadReply() != 250)
            return false;
        return command("QUIT", 221);
    }

private:
    SSL_CTX* m_ctx = nullptr;
};

// The raw client's sending process, placed as the provider's is: the bytes
// are read before the clock starts, then one plain send; its wall time into
// DIR/raw-result.txt.
int RawChild(const std::string& dir, int port) {
    const std::string path = dir + "/raw.eml";
    std::string data(std::filesystem::file_size(path), '\0');
    std::ifstream(path, std::ios::binary)
        .read(data.data(), static_cast<std::streamsize>(data.size()));
    RawClient client;
    const auto start = Clock::now();
    const bool ok = client.Send(port, false, data);
    std::ofstream(dir + "/raw-result.txt", std::ios::trunc) << Seconds(start) << "\n";
    return ok ? 0 : 1;
}

// ------------------------------------------------------------ configuration

void WriteSettings(const std::string& dir, int port, bool startTls) {
    std::filesystem::remove(dir + "/smtp.cfg");
    std::filesystem::remove(dir + "/vx.ini");
    if (!startTls) {
        std::ofstream(dir + "/vx.ini", std::ios::trunc)
            << "[SMTP]\nsmtpHost=127.0.0.1\nsmtpPort=" << port
            << "\nsmtpAuth=0\nsmtpSenderAddr=sender@example.org\n";
        return;
    }
    const std::string command = std::string(SMTPMAIL_BIN_DIR) + "/smtpmail-cfg --dir '" + dir +
                                "' --host localhost --port " + std::to_string(port) +
                                " --starttls on --auth plain --user user --password pass"
                                " --sender-address sender@example.org > /dev/null";
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "smtpmail-cfg failed\n");
}

std::string Folder(const std::string& name) {
    const std::string dir = Scratch() + "/" + name;
    std::filesystem::create_directories(dir);
    return dir;
}

// ------------------------------------------------------------ small messages

constexpr int kMessages = 200;
constexpr int kRounds = 5;

void BM_SmallMessages(benchmark::State& state) {
    const bool startTls = state.range(0) != 0;
    const std::string dir = Folder(startTls ? "small-tls" : "small-plain");
    ::setenv("SSL_CERT_FILE", TestCertificates().caFile.c_str(), 1);
    Sink sink;
    WriteSettings(dir, sink.Port(), startTls);
    Provider provider(dir);
    if (!provider.Ready()) {
        state.SkipWithError("the provider did not load");
        return;
    }
    // About 2 KiB of text, in lines as a newsletter has them.
    std::u16string body;
    while (body.size() < 2048)
        body += u"A line of the newsletter, as long as many lines of text are.\r\n";
    std::string raw =
        "From: sender@example.org\r\nTo: bench@example.org\r\nSubject: Benchmark\r\n"
        "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n";
    raw += std::string(body.begin(), body.end());
    RawClient client;

    std::vector<double> providerRates, rawRates;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            auto start = Clock::now();
            for (int i = 0; i < kMessages; ++i) {
                if (!provider.Send(body)) {
                    state.SkipWithError("a send failed");
                    return;
                }
            }
            providerRates.push_back(kMessages / Seconds(start));
            start = Clock::now();
            for (int i = 0; i < kMessages; ++i) {
                if (!client.Send(sink.Port(), startTls, raw)) {
                    state.SkipWithError("the raw client failed");
                    return;
                }
            }
            rawRates.push_back(kMessages / Seconds(start));
        }
    }
    const double ratio = Median(providerRates) / Median(rawRates);
    state.counters["provider_msg_per_s"] = Median(providerRates);
    state.counters["raw_msg_per_s"] = Median(rawRates);
    state.counters["rate_ratio"] = ratio;
    state.counters["target_met"] = ratio >= 0.8 ? 1 : 0;
    state.SetLabel(startTls ? "STARTTLS + AUTH PLAIN" : "plain");
}

BENCHMARK(BM_SmallMessages)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// ------------------------------------------------------------ large attachments

// Random bytes (incompressible, every byte value) of the given size, made once.
std::string AttachmentOf(long long bytes) {
    const std::string path = Scratch() + "/attachment-" + std::to_string(bytes) + ".bin";
    if (!std::filesystem::exists(path)) {
        std::mt19937_64 random(42);
        std::ofstream out(path, std::ios::binary);
        std::string block(1 << 20, '\0');
        for (long long done = 0; done < bytes; done += static_cast<long long>(block.size())) {
            for (size_t i = 0; i < block.size(); i += 8) {
                const uint64_t v = random();
                std::memcpy(&block[i], &v, 8);
            }
            out.write(block.data(), static_cast<std::streamsize>(std::min<long long>(
                                        bytes - done, static_cast<long long>(block.size()))));
        }
    }
    return path;
}

// Runs this program with the arguments; whether it ended with 0.
bool RunSelf(std::vector<std::string> args) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    args.insert(args.begin(), self);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One send by a sending process; its wall time and peak resident memory.
bool ChildSend(const std::string& dir, const std::string& file, double& seconds, long& peakKiB) {
    std::vector<std::string> args = {"--send-child", dir};
    if (!file.empty())
        args.push_back(file);
    if (!RunSelf(args))
        return false;
    std::ifstream(dir + "/result.txt") >> seconds >> peakKiB;
    return true;
}

// One send of the bytes in DIR/raw.eml by the raw client's process.
bool RawChildSend(const std::string& dir, int port, double& seconds) {
    if (!RunSelf({"--raw-child", dir, std::to_string(port)}))
        return false;
    std::ifstream(dir + "/raw-result.txt") >> seconds;
    return true;
}

void BM_LargeAttachment(benchmark::State& state) {
    const long long bytes = state.range(0) * 1024 * 1024;
    const std::string file = AttachmentOf(bytes);
    const std::string dir = Folder("large-" + std::to_string(state.range(0)));
    Sink sink;
    WriteSettings(dir, sink.Port(), false);
    // The raw client sends the very bytes the provider sends, with one write.
    double seconds = 0;
    long peakKiB = 0;
    sink.KeepNext();
    if (!ChildSend(dir, file, seconds, peakKiB)) {
        state.SkipWithError("the send failed (see the sending process's output)");
        return;
    }
    {
        const std::string data = sink.Kept();
        if (data.size() < static_cast<size_t>(bytes)) {
            state.SkipWithError("the sink received less than the attachment");
            return;
        }
        std::ofstream(dir + "/raw.eml", std::ios::binary)
            .write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    std::vector<double> providerTimes, rawTimes, peaksAbove, baseTimes;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            double baseSeconds = 0;
            long baseKiB = 0;
            if (!ChildSend(dir, std::string(), baseSeconds, baseKiB) ||
                !ChildSend(dir, file, seconds, peakKiB)) {
                state.SkipWithError("a send failed (see the sending process's output)");
                return;
            }
            double rawSeconds = 0;
            if (!RawChildSend(dir, sink.Port(), rawSeconds)) {
                state.SkipWithError("the raw client failed");
                return;
            }
            rawTimes.push_back(rawSeconds);
            providerTimes.push_back(seconds);
            baseTimes.push_back(baseSeconds);
            peaksAbove.push_back(static_cast<double>(peakKiB - baseKiB) / 1024.0);
        }
    }
    const double ratio = Median(providerTimes) / Median(rawTimes);
    const double above = *std::max_element(peaksAbove.begin(), peaksAbove.end());
    state.counters["provider_ms"] = Median(providerTimes) * 1000;
    state.counters["raw_ms"] = Median(rawTimes) * 1000;
    state.counters["no_attachment_ms"] = Median(baseTimes) * 1000;
    state.counters["time_ratio"] = ratio;
    state.counters["peak_above_base_MiB"] = above;
    state.counters["target_met"] = (bytes < 50 * kMiB || ratio <= 1.15) && above <= 16 ? 1 : 0;
    state.SetLabel(std::to_string(state.range(0)) + " MiB attachment");
}

BENCHMARK(BM_LargeAttachment)
    ->Arg(10)
    ->Arg(50)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--send-child") == 0)
        return SendChild(argv[2], argc == 4 ? argv[3] : "");
    if (argc == 4 && std::strcmp(argv[1], "--raw-child") == 0)
        return RawChild(argv[2], std::atoi(argv[3]));
    if (argc == 4 && std::strcmp(argv[1], "--reuse-child") == 0)
        return ReuseChild(argv[2], std::atoi(argv[3]));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(Scratch(), ec);
    return 0;
}
