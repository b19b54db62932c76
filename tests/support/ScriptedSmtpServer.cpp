#include "ScriptedSmtpServer.h"

#if !defined(_WIN32)
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <csignal>

#include "OpenSslErrors.h"
#endif

namespace {

// Longest the server thread waits for the client at any one point.
constexpr int IO_TIMEOUT_SECONDS = 15;

}  // namespace

ScriptedSmtpServer::~ScriptedSmtpServer() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bFinished) {
            // Wake the server thread wherever it waits.
            m_bStopping = true;
            if (m_fd != kNoSocket)
                ShutdownSocket(m_fd);
        }
    }
    if (m_thread.joinable())
        m_thread.join();
    if (m_listenFd != kNoSocket)
        CloseSocket(m_listenFd);
}

ScriptedSmtpServer& ScriptedSmtpServer::SendSegments(std::vector<std::string> pieces,
                                                     std::chrono::milliseconds pause) {
    return Add([this, pieces, pause] {
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0)
                std::this_thread::sleep_for(pause);
            if (!WriteAll(pieces[i]))
                return false;
        }
        return true;
    });
}

ScriptedSmtpServer& ScriptedSmtpServer::Expect(std::string prefix) {
    return Add([this, prefix] {
        std::string line;
        if (!ReadLine(line))
            return Fail("connection ended while expecting \"" + prefix + "\"");
        if (line.compare(0, prefix.size(), prefix) != 0)
            Fail("expected \"" + prefix + "\", got \"" + line + "\"");
        return true;
    });
}

ScriptedSmtpServer& ScriptedSmtpServer::ReadUpTo(std::string end, bool bData) {
    return Add([this, end, bData] {
        std::size_t at;
        while ((at = m_input.find(end)) == std::string::npos) {
            if (!ReadMore())
                return Fail("connection ended while expecting \"" + end + "\"");
        }
        if (bData) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_data.push_back(m_input.substr(0, at + end.size()));
        }
        m_input.erase(0, at + end.size());
        return true;
    });
}

ScriptedSmtpServer& ScriptedSmtpServer::SendTls(std::vector<std::string> items, std::size_t nCut) {
    return Add([this, items, nCut] {
#if !defined(_WIN32)
        SSL* ssl = static_cast<SSL*>(m_ssl);
        if (ssl == nullptr)
            return Fail("SendTls needs TLS");
        for (const std::string& item : items) {
            if (item == kTicket) {
                SSL_new_session_ticket(ssl);
                SSL_do_handshake(ssl);
            } else if (item == kKeyUpdate) {
                SSL_key_update(ssl, SSL_KEY_UPDATE_REQUESTED);
                SSL_do_handshake(ssl);
            } else if (item == kCloseNotify) {
                SSL_shutdown(ssl);
            } else {
                SSL_write(ssl, item.data(), static_cast<int>(item.size()));
            }
        }
        ERR_clear_error();
        return Flush(nCut);
#else
        return Fail("the scripted server has no TLS on Windows");
#endif
    });
}

ScriptedSmtpServer& ScriptedSmtpServer::StopReading(std::chrono::milliseconds hold) {
    return Add([this, hold] {
        std::this_thread::sleep_for(hold);
        // What piled up is message data, not commands: read it to its end.
        while (ReadMore())
            m_input.clear();
        if (!ClientClosed())
            Fail("the client did not close the connection");
        return false;
    });
}

ScriptedSmtpServer& ScriptedSmtpServer::SendForever(std::string line) {
    return Add([this, line] {
        constexpr std::size_t kMost = 64u << 20;
        // Many lines a write: a write per line would test the speed of the
        // system's socket calls (slow under Wine), not the client.
        std::string block;
        while (block.size() < 16384)
            block += line;
        std::size_t sent = 0;
        while (sent < kMost && WriteAll(block))
            sent += block.size();
        Record(m_bClientClosed, sent < kMost);
        return false;
    });
}

int ScriptedSmtpServer::Start(int nPort, bool bIPv6) {
#if !defined(_WIN32)
    // A client that goes away must not end the test program when TLS writes to it.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    m_listenFd = BindLoopback(nPort, true, false, bIPv6);
    if (m_listenFd == kNoSocket)
        return -1;
    m_thread = std::thread(&ScriptedSmtpServer::Run, this);
    return nPort;
}

bool ScriptedSmtpServer::Finish(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_done.wait_for(lock, timeout, [this] { return m_bFinished; });
}

bool ScriptedSmtpServer::Fail(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_errors.push_back(text);
    return false;
}

TestSocket ScriptedSmtpServer::AwaitClient() {
    // The client is awaited in short slices, so that the destructor can end
    // the wait on every system.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(IO_TIMEOUT_SECONDS);
    bool bReady = false;
    while (!(bReady = WaitReadable(m_listenFd, 50)) && !Locked(m_bStopping) &&
           std::chrono::steady_clock::now() < deadline) {
    }
    const TestSocket fd = bReady ? AcceptOne(m_listenFd) : kNoSocket;
    if (fd == kNoSocket)
        return fd;
    SetIoTimeouts(fd, IO_TIMEOUT_SECONDS);
    // Each write its own segment: split replies must arrive split.
    SetNoDelay(fd);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fd = fd;
    ++m_nConnections;
    return fd;
}

void ScriptedSmtpServer::EndConnection() {
    std::lock_guard<std::mutex> lock(m_mutex);
#if !defined(_WIN32)
    SSL_free(static_cast<SSL*>(m_ssl));  // and its two memory BIOs
    m_ssl = nullptr;
    ERR_clear_error();
#endif
    CloseSocket(m_fd);
    m_fd = kNoSocket;
    m_input.clear();
}

ScriptedSmtpServer& ScriptedSmtpServer::AcceptNext() {
    return Add([this] {
        EndConnection();
        if (AwaitClient() == kNoSocket)
            return Fail("no client connected again");
        return true;
    });
}

void ScriptedSmtpServer::Run() {
    if (AwaitClient() == kNoSocket) {
        Fail("no client connected");
    } else {
        bool bOpen = true;
        for (std::size_t i = 0; i < m_steps.size() && bOpen && i != m_nDropAt; ++i)
            bOpen = m_steps[i]();
        if (bOpen && m_nDropAt >= m_steps.size())
            DrainUntilClosed();
        EndConnection();
    }
#if !defined(_WIN32)
    SSL_CTX_free(static_cast<SSL_CTX*>(m_ctx));
    m_ctx = nullptr;
#endif
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bFinished = true;
    m_done.notify_all();
}

bool ScriptedSmtpServer::Handshake(Tls version, bool bHold) {
    if (!m_input.empty())
        Fail("bytes before the TLS handshake: \"" + m_input + "\"");
    m_input.clear();
#if defined(_WIN32)
    static_cast<void>(version), static_cast<void>(bHold);
    return Fail("the scripted server has no TLS on Windows");
#else
    // One context for every connection of the script: a later one can
    // resume the session of an earlier one (its tickets' keys are the context's).
    auto* ctx = static_cast<SSL_CTX*>(m_ctx);
    if (ctx == nullptr) {
        ctx = SSL_CTX_new(TLS_server_method());
        if (ctx == nullptr || SSL_CTX_use_certificate_chain_file(ctx, m_certFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx, m_keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            SSL_CTX_free(ctx);
            return Fail("server certificate not usable: " + OpenSslErrors());
        }
        m_ctx = ctx;
    }
    SSL_CTX_set_min_proto_version(ctx, version == Tls::V13 ? TLS1_3_VERSION : TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, version == Tls::V12 ? TLS1_2_VERSION : TLS1_3_VERSION);
    if (m_bRequestClientCert)
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
    SSL* ssl = SSL_new(ctx);
    BIO* rbio = BIO_new(BIO_s_mem());
    BIO* wbio = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, rbio, wbio);
    SSL_set_accept_state(ssl);
    m_ssl = ssl;
    m_rbio = rbio;
    m_wbio = wbio;
    for (;;) {
        ERR_clear_error();
        const int rc = SSL_accept(ssl);
        if (rc == 1)
            break;
        if (!Flush() || SSL_get_error(ssl, rc) != SSL_ERROR_WANT_READ)
            return Fail("TLS handshake failed: " + OpenSslErrors());
        std::string raw;
        if (!ReadRaw(raw))
            return Fail("the client left during the TLS handshake");
        BIO_write(rbio, raw.data(), static_cast<int>(raw.size()));
    }
    const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    Record(m_tlsVersion, std::string(SSL_get_version(ssl)));
    if (SSL_session_reused(ssl) == 1)
        Record(m_nResumed, m_nResumed + 1);
    Record(m_serverName, std::string(name != nullptr ? name : ""));
    if (X509* client = SSL_get1_peer_certificate(ssl)) {
        char cn[256] = "";
        X509_NAME_get_text_by_NID(X509_get_subject_name(client), NID_commonName, cn, sizeof cn);
        Record(m_clientCertName, std::string(cn));
        X509_free(client);
    }
    return bHold || Flush();
#endif
}

bool ScriptedSmtpServer::WriteRaw(const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const long n = SendBytes(m_fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool ScriptedSmtpServer::Flush(std::size_t nCut) {
#if !defined(_WIN32)
    if (m_ssl != nullptr) {
        std::string out(BIO_ctrl_pending(static_cast<BIO*>(m_wbio)), '\0');
        if (!out.empty())
            BIO_read(static_cast<BIO*>(m_wbio), out.data(), static_cast<int>(out.size()));
        return WriteRaw(out.substr(0, nCut));
    }
#endif
    static_cast<void>(nCut);
    return true;
}

bool ScriptedSmtpServer::WriteAll(const std::string& bytes) {
#if !defined(_WIN32)
    if (m_ssl != nullptr)
        return SSL_write(static_cast<SSL*>(m_ssl), bytes.data(), static_cast<int>(bytes.size())) >
                   0 &&
               Flush();
#endif
    return WriteRaw(bytes);
}

bool ScriptedSmtpServer::ReadRaw(std::string& into) {
    char buffer[16384];
    const long n = ReceiveBytes(m_fd, buffer, sizeof buffer);
    if (n == 0)
        Record(m_bClientClosed, true);
    if (n <= 0)
        return false;
    into.append(buffer, static_cast<std::size_t>(n));
    return true;
}

bool ScriptedSmtpServer::ReadTls(std::string& into) {
#if !defined(_WIN32)
    SSL* ssl = static_cast<SSL*>(m_ssl);
    for (;;) {
        char buffer[16384];
        ERR_clear_error();
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        // A key update's answer, if the read made one.
        if (!Flush())
            return false;
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            return true;
        }
        std::string raw;
        if (SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN) {
            // The client's close notification; its TCP close follows.
            while (ReadRaw(raw)) {
            }
            Record(m_bCloseNotify, true);
            Record(m_bClientClosed, true);
            return false;
        }
        if (SSL_get_error(ssl, n) != SSL_ERROR_WANT_READ || !ReadRaw(raw))
            return false;
        BIO_write(static_cast<BIO*>(m_rbio), raw.data(), static_cast<int>(raw.size()));
    }
#else
    static_cast<void>(into);
    return false;
#endif
}

bool ScriptedSmtpServer::ReadMore() {
    std::string got;
    if (!(m_ssl != nullptr ? ReadTls(got) : ReadRaw(got)))
        return false;
    m_input += got;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received += got;
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
