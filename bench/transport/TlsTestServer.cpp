#include "TlsTestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "Environment.h"
#include "LoopbackSocket.h"
#include "OpenSslErrors.h"

namespace {

void SendAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t sent = ::send(fd, data, n, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(std::string("send: ") + std::strerror(errno));
        }
        data += sent;
        n -= static_cast<size_t>(sent);
    }
}

}  // namespace

// ----- connection ----------------------------------------------------------------

void TlsServerConnection::WritePlain(const std::string& text) {
    SendAll(m_fd, text.data(), text.size());
}

std::string TlsServerConnection::ReadPlainLine() {
    for (;;) {
        size_t eol = m_plainInput.find('\n');
        if (eol != std::string::npos) {
            std::string line = m_plainInput.substr(0, eol + 1);
            m_plainInput.erase(0, eol + 1);
            return line;
        }
        char buf[1024];
        ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
        if (n <= 0)
            throw std::runtime_error("connection ended before a line");
        m_plainInput.append(buf, static_cast<size_t>(n));
    }
}

std::string TlsServerConnection::ReadPlainSome() {
    if (!m_plainInput.empty())
        return std::exchange(m_plainInput, std::string());
    char buf[16384];
    ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
    if (n < 0)
        throw std::runtime_error(std::string("recv: ") + std::strerror(errno));
    return std::string(buf, static_cast<size_t>(n));
}

void TlsServerConnection::WaitPlainEnd() {
    while (!ReadPlainSome().empty()) {
    }
}

bool TlsServerConnection::Fill() {
    if (!m_plainInput.empty()) {
        // Bytes read ahead of the handshake belong to it.
        BIO_write(m_rbio, m_plainInput.data(), static_cast<int>(m_plainInput.size()));
        m_plainInput.clear();
        return true;
    }
    char buf[16384];
    for (;;) {
        ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
        if (n > 0) {
            BIO_write(m_rbio, buf, static_cast<int>(n));
            return true;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        throw std::runtime_error(std::string("recv: ") + std::strerror(errno));
    }
}

void TlsServerConnection::FlushPartial(size_t count) {
    std::vector<char> out(BIO_ctrl_pending(m_wbio));
    int n = BIO_read(m_wbio, out.data(), static_cast<int>(out.size()));
    out.resize(static_cast<size_t>(n > 0 ? n : 0));
    if (count > out.size())
        count = out.size();
    SendAll(m_fd, out.data(), count);
}

void TlsServerConnection::Handshake(bool flushFinal) {
    for (;;) {
        ERR_clear_error();
        int rc = SSL_accept(m_ssl);
        if (rc == 1) {
            if (flushFinal)
                Flush();
            return;
        }
        Flush();
        if (SSL_get_error(m_ssl, rc) != SSL_ERROR_WANT_READ)
            throw std::runtime_error("handshake failed: " + OpenSslErrors());
        if (!Fill())
            throw std::runtime_error("client left during the handshake");
    }
}

std::string TlsServerConnection::ReadSome() {
    std::vector<char> buf(16384);
    for (;;) {
        ERR_clear_error();
        int n = SSL_read(m_ssl, buf.data(), static_cast<int>(buf.size()));
        if (n > 0) {
            Flush();  // a key-update answer, if the read produced one
            return std::string(buf.data(), static_cast<size_t>(n));
        }
        int e = SSL_get_error(m_ssl, n);
        if (e == SSL_ERROR_ZERO_RETURN)
            return std::string();
        if (e != SSL_ERROR_WANT_READ)
            throw std::runtime_error("SSL_read failed: " + OpenSslErrors());
        Flush();
        if (!Fill())
            throw std::runtime_error("client closed the connection without close_notify");
    }
}

std::string TlsServerConnection::Read(size_t count) {
    std::string data;
    while (data.size() < count) {
        std::string part = ReadSome();
        if (part.empty())
            throw std::runtime_error("close_notify before all data arrived");
        data += part;
    }
    if (data.size() > count)
        throw std::runtime_error("more data than expected arrived");
    return data;
}

void TlsServerConnection::Write(const std::string& text, bool flush) {
    size_t at = 0;
    while (at < text.size()) {
        ERR_clear_error();
        int n = SSL_write(m_ssl, text.data() + at, static_cast<int>(text.size() - at));
        if (n <= 0)
            throw std::runtime_error("SSL_write failed: " + OpenSslErrors());
        at += static_cast<size_t>(n);
    }
    if (flush)
        Flush();
}

void TlsServerConnection::SendTicket(bool flush) {
    ERR_clear_error();
    if (SSL_new_session_ticket(m_ssl) != 1 || SSL_do_handshake(m_ssl) != 1)
        throw std::runtime_error("cannot send a session ticket: " + OpenSslErrors());
    if (flush)
        Flush();
}

void TlsServerConnection::KeyUpdate(bool requestPeer, bool flush) {
    ERR_clear_error();
    if (SSL_key_update(
            m_ssl, requestPeer ? SSL_KEY_UPDATE_REQUESTED : SSL_KEY_UPDATE_NOT_REQUESTED) != 1 ||
        SSL_do_handshake(m_ssl) != 1)
        throw std::runtime_error("cannot send a key update: " + OpenSslErrors());
    if (flush)
        Flush();
}

void TlsServerConnection::CloseNotify(bool flush) {
    SSL_shutdown(m_ssl);
    ERR_clear_error();
    if (flush)
        Flush();
}

bool TlsServerConnection::WaitCloseNotify() {
    try {
        for (;;) {
            if (ReadSome().empty())
                return true;
        }
    } catch (const std::runtime_error&) {
        ERR_clear_error();
        return false;
    }
}

void TlsServerConnection::SetReadTimeout(int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

void TlsServerConnection::ShutdownWrite() {
    ::shutdown(m_fd, SHUT_WR);
}

bool TlsServerConnection::WaitInput(int ms) {
    if (!m_plainInput.empty() ||
        (m_ssl != nullptr && (SSL_pending(m_ssl) > 0 || BIO_ctrl_pending(m_rbio) > 0)))
        return true;
    pollfd p{m_fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

bool TlsServerConnection::ClientClosed() {
    char buf[4096];
    for (;;) {
        ssize_t n = ::recv(m_fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0)
            return true;
        if (n < 0)
            return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
    }
}

void TlsServerConnection::Reset() {
    linger hard{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    CloseSocket();
}

void TlsServerConnection::CloseSocket() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

std::string TlsServerConnection::Version() const {
    return SSL_get_version(m_ssl);
}

std::string TlsServerConnection::ServerName() const {
    const char* name = SSL_get_servername(m_ssl, TLSEXT_NAMETYPE_host_name);
    return name != nullptr ? name : "";
}

// ----- server ---------------------------------------------------------------------

ssl_ctx_st* TlsTestServer::NewContext(const TlsServerOptions& options) {
    std::string cert = options.certFile.empty() ? TestCertificate("server.pem") : options.certFile;
    std::string key = options.keyFile.empty() ? TestCertificate("server.key") : options.keyFile;
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr || SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(ctx);
        throw std::runtime_error("test server certificate: " + OpenSslErrors());
    }
    int minVersion = options.version == TlsTestVersion::Tls13 ? TLS1_3_VERSION : TLS1_2_VERSION;
    int maxVersion = options.version == TlsTestVersion::Tls12 ? TLS1_2_VERSION : TLS1_3_VERSION;
    SSL_CTX_set_min_proto_version(ctx, minVersion);
    SSL_CTX_set_max_proto_version(ctx, maxVersion);
    return ctx;
}

TlsTestServer::TlsTestServer(Script script, TlsServerOptions options) {
    if (options.context != nullptr) {
        SSL_CTX_up_ref(options.context);
        m_ctx = options.context;
    } else {
        m_ctx = NewContext(options);
    }

    m_timeoutMs = options.timeoutMs;
    m_bNoDelay = options.noDelay;
    if (options.listenFd >= 0) {
        m_listen = options.listenFd;
        m_bOwnListen = false;
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
        m_nPort = ntohs(address.sin_port);
    } else {
        m_listen = BindLoopback(m_nPort);
    }
    if (m_listen < 0)
        throw std::runtime_error(std::string("test server socket: ") + std::strerror(errno));
    // Listening before the thread starts: a client may connect at once.
    m_thread = std::thread(&TlsTestServer::Run, this, std::move(script));
}

TlsTestServer::~TlsTestServer() {
    Finish();
    if (m_listen >= 0 && m_bOwnListen)
        ::close(m_listen);
    SSL_CTX_free(m_ctx);
}

std::string TlsTestServer::Finish() {
    if (!m_bJoined) {
        m_thread.join();
        m_bJoined = true;
    }
    return m_error;
}

void TlsTestServer::Run(Script script) {
    TlsServerConnection conn;
    try {
        pollfd p{m_listen, POLLIN, 0};
        if (::poll(&p, 1, m_timeoutMs) != 1)
            throw std::runtime_error("no client connected");
        conn.m_fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn.m_fd < 0)
            throw std::runtime_error(std::string("accept: ") + std::strerror(errno));
        conn.SetReadTimeout(m_timeoutMs);
        timeval tv{m_timeoutMs / 1000, (m_timeoutMs % 1000) * 1000};
        ::setsockopt(conn.m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (m_bNoDelay) {
            int one = 1;
            ::setsockopt(conn.m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        conn.m_ssl = SSL_new(m_ctx);
        conn.m_rbio = BIO_new(BIO_s_mem());
        conn.m_wbio = BIO_new(BIO_s_mem());
        SSL_set_bio(conn.m_ssl, conn.m_rbio, conn.m_wbio);
        SSL_set_accept_state(conn.m_ssl);
        script(conn);
    } catch (const std::exception& e) {
        m_error = e.what();
    }
    ERR_clear_error();
    if (conn.m_ssl != nullptr)
        SSL_free(conn.m_ssl);
    conn.CloseSocket();
}
