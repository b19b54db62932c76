// A TLS server for tests: one connection on 127.0.0.1 (ephemeral port),
// served by a script on its own thread. OpenSSL runs over memory buffers, so
// the script decides what goes out in which TCP segment: several records in
// one send, half a record and then a close, a close_notify after data, TLS
// 1.3 session tickets and key updates between replies, plain text before the
// handshake (as with STARTTLS).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;

enum class TlsTestVersion { Any, Tls12, Tls13 };

struct TlsServerOptions {
    std::string certFile;  // empty: the test certificates' server.pem and server.key
    std::string keyFile;
    TlsTestVersion version = TlsTestVersion::Any;  // Any: TLS 1.2 and 1.3
    // A listening socket of the caller's to accept on (it stays open): a fuzz
    // target makes thousands of connections and keeps them to one port.
    int listenFd = -1;
    // Bound of the wait for the client's connection and of every read.
    int timeoutMs = 30000;
    // Every write leaves at once (TCP_NODELAY), instead of waiting for the
    // acknowledgement of the one before.
    bool noDelay = false;
    // A context from NewContext to use instead of a new one (which takes
    // OpenSSL milliseconds to make); the server takes its own reference.
    ssl_ctx_st* context = nullptr;
};

class TlsServerConnection {
public:
    // Plain text before the handshake.
    void WritePlain(const std::string& text);
    std::string ReadPlainLine();  // up to and including "\n"
    std::string ReadPlainSome();  // what one recv brings ("" at the end)
    void WaitPlainEnd();          // reads until the client closes

    // flushFinal false keeps the last handshake flight queued, so that data
    // written next leaves in the same segment.
    void Handshake(bool flushFinal = true);
    std::string Read(size_t count);  // exactly count bytes of application data
    std::string ReadSome();          // one record's data; "" at close_notify
    // Queues one record (or more for long text); flush sends what is queued.
    void Write(const std::string& text, bool flush = true);
    void Flush() { FlushPartial(static_cast<size_t>(-1)); }
    // Sends only the first count queued bytes (the rest is dropped).
    void FlushPartial(size_t count);
    void SendTicket(bool flush = true);                   // TLS 1.3 NewSessionTicket
    void KeyUpdate(bool requestPeer, bool flush = true);  // TLS 1.3 KeyUpdate
    void CloseNotify(bool flush = true);
    // Reads until the peer's close_notify (true) or the end of the stream.
    bool WaitCloseNotify();
    void CloseSocket();
    // Bound of the reads from now on.
    void SetReadTimeout(int ms);
    // Sends the end of the stream; reading goes on.
    void ShutdownWrite();
    // Waits at most ms for input (poll, to the millisecond); true when some
    // is there to read, also input already buffered.
    bool WaitInput(int ms);
    // Reads what has come without waiting; true when the client has closed.
    bool ClientClosed();
    // Closes with a reset: no TIME_WAIT is left on either side.
    void Reset();

    std::string Version() const;     // "TLSv1.2", "TLSv1.3"
    std::string ServerName() const;  // SNI the client sent, "" when none

private:
    friend class TlsTestServer;
    bool Fill();  // one recv into OpenSSL's input; false at the end of the stream
    int m_fd = -1;
    ssl_st* m_ssl = nullptr;
    bio_st* m_rbio = nullptr;
    bio_st* m_wbio = nullptr;
    std::string m_plainInput;
};

class TlsTestServer {
public:
    using Script = std::function<void(TlsServerConnection&)>;
    explicit TlsTestServer(Script script, TlsServerOptions options = {});
    ~TlsTestServer();
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    // A server context for the options' certificate and versions.
    static ssl_ctx_st* NewContext(const TlsServerOptions& options);

    int Port() const { return m_nPort; }
    // Waits for the script; returns its failure ("" when it ran through).
    std::string Finish();

private:
    void Run(Script script);
    int m_listen = -1;
    int m_nPort = 0;
    bool m_bOwnListen = true;
    int m_timeoutMs = 30000;
    bool m_bNoDelay = false;
    ssl_ctx_st* m_ctx = nullptr;
    std::thread m_thread;
    std::string m_error;
    bool m_bJoined = false;
};
