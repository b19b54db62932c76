#include "ScriptedSmtpServer.h"

#if !defined(_WIN32)
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <csignal>

#include "TestCertificates.h"
#endif

namespace {

// Longest the server thread waits for the client at any one point.
constexpr int IO_TIMEOUT_SECONDS = 15;

}  // namespace

ScriptedSmtpServer::ScriptedSmtpServer() {
#if !defined(_WIN32)
    // A client that goes away must not end the test program when TLS writes
    // to it.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bFinished) {
            // Wake the server thread wherever it waits.
            m_bStopping = true;
            if (m_listenFd != kNoSocket)
                ShutdownSocket(m_listenFd);
            if (m_fd != kNoSocket)
                ShutdownSocket(m_fd);
        }
    }
    if (m_thread.joinable())
        m_thread.join();
    if (m_listenFd != kNoSocket)
        CloseSocket(m_listenFd);
#if !defined(_WIN32)
    if (m_sslCtx != nullptr)
        SSL_CTX_free(static_cast<SSL_CTX*>(m_sslCtx));
#endif
}

int ScriptedSmtpServer::Start() {
    int port = -1;
    m_listenFd = BindLoopback(port);
    if (m_listenFd == kNoSocket)
        return -1;
    m_thread = std::thread(&ScriptedSmtpServer::Run, this);
    return port;
}

bool ScriptedSmtpServer::Finish(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_done.wait_for(lock, timeout, [this] { return m_bFinished; });
}

void ScriptedSmtpServer::Fail(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_errors.push_back(text);
}

void ScriptedSmtpServer::Run() {
    // The client is awaited in short slices, so that the destructor can end
    // the wait on every system (a shut-down listening socket does not wake
    // every system's accept).
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(IO_TIMEOUT_SECONDS);
    bool bReady = false;
    while (!(bReady = WaitReadable(m_listenFd, 50)) && !Locked(m_bStopping) &&
           std::chrono::steady_clock::now() < deadline) {
    }
    const TestSocket fd = bReady ? AcceptOne(m_listenFd) : kNoSocket;
    if (fd == kNoSocket) {
        Fail("no client connected");
    } else {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_fd = fd;
        }
        SetIoTimeouts(fd, IO_TIMEOUT_SECONDS);
        // Each write its own segment: split replies must arrive split.
        SetNoDelay(fd);

        bool bOpen = true;
        bool bServerClosed = false;
        for (std::size_t i = 0; i < m_steps.size() && bOpen; ++i) {
            if (i == m_nDropAt || m_steps[i].kind == Kind::Close) {
                bServerClosed = true;
                break;
            }
            bOpen = RunStep(m_steps[i]);
        }
        if (bOpen && !bServerClosed)
            DrainUntilClosed();
        CloseConnection();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bFinished = true;
    m_done.notify_all();
}

bool ScriptedSmtpServer::RunStep(const Step& step) {
    switch (step.kind) {
        case Kind::Send:
            for (std::size_t i = 0; i < step.pieces.size(); ++i) {
                if (i > 0)
                    std::this_thread::sleep_for(step.pause);
                if (!WriteAll(step.pieces[i]))
                    return false;
            }
            return true;
        case Kind::Expect: {
            std::string line;
            if (!ReadLine(line)) {
                Fail("connection ended while expecting \"" + step.prefix + "\"");
                return false;
            }
            if (line.compare(0, step.prefix.size(), step.prefix) != 0) {
                Fail("expected \"" + step.prefix + "\", got \"" + line + "\"");
            }
            return true;
        }
        case Kind::ExpectData: {
            static const std::string kEnd = "\r\n.\r\n";
            std::size_t end;
            while ((end = m_input.find(kEnd)) == std::string::npos) {
                if (!ReadMore()) {
                    Fail("connection ended inside the message data");
                    return false;
                }
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_data.push_back(m_input.substr(0, end + kEnd.size()));
            m_input.erase(0, end + kEnd.size());
            return true;
        }
        case Kind::StartTls: {
            if (!m_input.empty())
                Fail("bytes before the TLS handshake: \"" + m_input + "\"");
            m_input.clear();
#if defined(_WIN32)
            Fail("the scripted server has no TLS on Windows");
            return false;
#else
            if (m_sslCtx == nullptr) {
                SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
                if (ctx == nullptr ||
                    SSL_CTX_use_certificate_chain_file(ctx, m_certFile.c_str()) != 1 ||
                    SSL_CTX_use_PrivateKey_file(ctx, m_keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
                    Fail("server certificate not usable: " + testcerts::OpenSslErrors());
                    if (ctx != nullptr)
                        SSL_CTX_free(ctx);
                    return false;
                }
                // A client that drops the connection without a close
                // notification still counts as gone.
                SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
                m_sslCtx = ctx;
            }
            SSL* ssl = SSL_new(static_cast<SSL_CTX*>(m_sslCtx));
            SSL_set_fd(ssl, m_fd);
            m_ssl = ssl;
            if (SSL_accept(ssl) != 1) {
                Fail("TLS handshake failed: " + testcerts::OpenSslErrors());
                return false;
            }
            return true;
#endif
        }
        case Kind::StaySilent:
            DrainUntilClosed();
            return false;
        case Kind::ExpectText: {
            std::size_t at;
            while ((at = m_input.find(step.prefix)) == std::string::npos) {
                if (!ReadMore()) {
                    Fail("connection ended while expecting \"" + step.prefix + "\"");
                    return false;
                }
            }
            m_input.erase(0, at + step.prefix.size());
            return true;
        }
        case Kind::Call:
            step.function();
            return true;
        case Kind::StopReading:
            std::this_thread::sleep_for(step.pause);
            // What piled up is message data, not commands: read it to its end.
            while (ReadMore())
                m_input.clear();
            if (!ClientClosed())
                Fail("the client did not close the connection");
            return false;
        case Kind::SendPartialRecord: {
            if (m_ssl == nullptr) {
                Fail("a partial record needs TLS");
                return false;
            }
#if !defined(_WIN32)
            // The record goes into memory instead of the socket; half of it
            // goes out by hand.
            SSL* ssl = static_cast<SSL*>(m_ssl);
            BIO* socketBio = SSL_get_wbio(ssl);
            BIO_up_ref(socketBio);
            SSL_set0_wbio(ssl, BIO_new(BIO_s_mem()));
            SSL_write(ssl, step.pieces[0].data(), static_cast<int>(step.pieces[0].size()));
            char* record = nullptr;
            const long size = BIO_get_mem_data(SSL_get_wbio(ssl), &record);
            const std::string half(record, static_cast<std::size_t>(size) / 2);
            SSL_set0_wbio(ssl, socketBio);
            if (SendBytes(m_fd, half.data(), half.size()) != static_cast<long>(half.size()))
                return false;
            DrainUntilClosed();
#endif
            return false;
        }
        case Kind::SendForever: {
            constexpr std::size_t kMost = 64u << 20;
            // Many lines a write: a write per line would test the speed of
            // the system's socket calls (slow under Wine), not the client.
            std::string block;
            while (block.size() < 16384)
                block += step.pieces[0];
            std::size_t sent = 0;
            while (sent < kMost && WriteAll(block))
                sent += block.size();
            std::lock_guard<std::mutex> lock(m_mutex);
            m_nSentForever = sent;
            m_bClientClosed = sent < kMost;
            return false;
        }
        case Kind::Close:
            return false;
    }
    return false;
}

bool ScriptedSmtpServer::WriteAll(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        long n;
#if !defined(_WIN32)
        if (m_ssl != nullptr) {
            n = SSL_write(static_cast<SSL*>(m_ssl), bytes.data() + done,
                          static_cast<int>(bytes.size() - done));
        } else
#endif
        {
            n = SendBytes(m_fd, bytes.data() + done, bytes.size() - done);
        }
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool ScriptedSmtpServer::ReadMore() {
    char buffer[16384];
    long n;
#if !defined(_WIN32)
    if (m_ssl != nullptr) {
        n = SSL_read(static_cast<SSL*>(m_ssl), buffer, sizeof buffer);
        if (n <= 0) {
            if (SSL_get_error(static_cast<SSL*>(m_ssl), n) == SSL_ERROR_ZERO_RETURN) {
                // The client's close notification; its TCP close follows.
                char rest[256];
                while (ReceiveBytes(m_fd, rest, sizeof rest) > 0) {
                }
                std::lock_guard<std::mutex> lock(m_mutex);
                m_bClientClosed = true;
            } else {
                ERR_clear_error();
            }
            return false;
        }
    } else
#endif
    {
        n = ReceiveBytes(m_fd, buffer, sizeof buffer);
        if (n == 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bClientClosed = true;
        }
        if (n <= 0)
            return false;
    }
    m_input.append(buffer, static_cast<std::size_t>(n));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.append(buffer, static_cast<std::size_t>(n));
    return true;
}

bool ScriptedSmtpServer::ReadLine(std::string& line) {
    std::size_t end;
    while ((end = m_input.find('\n')) == std::string::npos) {
        if (!ReadMore())
            return false;
    }
    line = m_input.substr(0, end);
    m_input.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_commands.push_back(line);
    return true;
}

void ScriptedSmtpServer::DrainUntilClosed() {
    std::string line;
    while (ReadLine(line)) {
    }
    if (!ClientClosed())
        Fail("the client did not close the connection");
}

void ScriptedSmtpServer::CloseConnection() {
    std::lock_guard<std::mutex> lock(m_mutex);
#if !defined(_WIN32)
    if (m_ssl != nullptr) {
        SSL_free(static_cast<SSL*>(m_ssl));
        m_ssl = nullptr;
    }
#endif
    if (m_fd != kNoSocket) {
        CloseSocket(m_fd);
        m_fd = kNoSocket;
    }
}
