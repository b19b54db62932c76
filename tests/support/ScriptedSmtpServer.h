// A scripted server for exact dialogue tests: it listens on 127.0.0.1 (an
// ephemeral port), accepts one connection and plays a list of steps in its own
// thread, recording everything it receives.
//
//     ScriptedSmtpServer server;
//     server.Send("220 ready\r\n").Exchange("EHLO", "250 hello\r\n")
//           .Exchange("QUIT", "221 bye\r\n");
//     int port = server.Start();
//     ... run the client ...
//     ASSERT_TRUE(server.Finish());         // script done, client closed
//     EXPECT_THAT(server.Errors(), IsEmpty());
//
// After the last step the server reads (and records lines) until the client
// closes. Every wait is bounded and the destructor unblocks the thread, so a
// faulty client cannot hang a test. TLS runs on OpenSSL over memory buffers,
// so that a script decides which records leave in which segment; it is there
// only where OpenSSL is (not on Windows, where a TLS step fails).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackSocket.h"

class ScriptedSmtpServer {
public:
    enum class Tls { Any, V12, V13 };
    // Items of SendTls besides record texts.
    static constexpr const char* kTicket = "<ticket>";        // a TLS 1.3 session ticket
    static constexpr const char* kKeyUpdate = "<keyupdate>";  // asking for the client's own
    static constexpr const char* kCloseNotify = "<close_notify>";

    ScriptedSmtpServer() = default;
    ~ScriptedSmtpServer();
    ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
    ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

    // --- the script, in order; a step that ends the connection returns false ---
    // Writes the bytes with one write (one TLS record after StartTls).
    ScriptedSmtpServer& Send(std::string bytes) { return SendSegments({std::move(bytes)}); }
    // Each piece in its own segment, with pauses, as a slow or busy server.
    ScriptedSmtpServer& SendSegments(
        std::vector<std::string> pieces,
        std::chrono::milliseconds pause = std::chrono::milliseconds(40));
    // Reads one command line and records it (without its line end); one that
    // does not start with the prefix is a script error.
    ScriptedSmtpServer& Expect(std::string prefix);
    ScriptedSmtpServer& Exchange(std::string prefix, std::string reply) {
        return Expect(std::move(prefix)).Send(std::move(reply));
    }
    // Reads until the text has come and drops what came up to its end.
    ScriptedSmtpServer& ExpectText(std::string text) { return ReadUpTo(std::move(text), false); }
    // Reads the message after DATA up to the line ".", and records it with
    // its final "\r\n.\r\n".
    ScriptedSmtpServer& ExpectData() { return ReadUpTo("\r\n.\r\n", true); }
    // Runs the function in the server's thread at this point.
    ScriptedSmtpServer& Call(std::function<void()> function) {
        return Add([function] { return function(), true; });
    }
    // The server side of the TLS handshake with UseCertificate's certificate.
    // bHoldLastFlight keeps its last flight back, so that it leaves with the
    // next bytes sent.
    ScriptedSmtpServer& StartTls(Tls version = Tls::Any, bool bHoldLastFlight = false) {
        return Add([=, this] { return Handshake(version, bHoldLastFlight); });
    }
    // Over TLS: the items (record texts, kTicket, kKeyUpdate, kCloseNotify)
    // in one segment, or only its first nCut bytes.
    ScriptedSmtpServer& SendTls(std::vector<std::string> items, std::size_t nCut = SIZE_MAX);
    // Closes the connection at this point without a goodbye.
    ScriptedSmtpServer& Close() {
        return Add([] { return false; });
    }
    // Answers nothing any more: reads and records until the client closes.
    ScriptedSmtpServer& StaySilent() {
        return Add([this] { return DrainUntilClosed(), false; });
    }
    // Reads nothing for a while, so that the client's writes fill the
    // connection and block; then reads until the client closes.
    ScriptedSmtpServer& StopReading(std::chrono::milliseconds hold);
    // Writes the line again and again, many lines a write, until the client
    // goes away (at most 64 MiB), as a server whose reply never ends.
    ScriptedSmtpServer& SendForever(std::string line);

    // The server closes the connection instead of running step k (counted
    // from 0 over the steps above); for fault injection.
    void DropAt(std::size_t k) { m_nDropAt = k; }
    std::size_t StepCount() const { return m_steps.size(); }
    // PEM files of the server certificate and its key, for StartTls.
    void UseCertificate(std::string certFile, std::string keyFile) {
        m_certFile = std::move(certFile);
        m_keyFile = std::move(keyFile);
    }
    // StartTls asks the client for its certificate (and takes any, or none).
    void RequestClientCertificate() { m_bRequestClientCert = true; }

    // Starts listening (on nPort, or one the system picks; on ::1 with
    // bIPv6) and the script thread; returns the port, -1 on a failure.
    int Start(int nPort = 0, bool bIPv6 = false);
    // Waits until the script has run and the connection is closed. False
    // when that did not happen in time.
    bool Finish(std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // --- what the server saw ---
    std::vector<std::string> Commands() const { return Locked(m_commands); }
    std::vector<std::string> Data() const { return Locked(m_data); }  // of ExpectData steps
    std::string Received() const { return Locked(m_received); }       // every byte, decrypted
    std::vector<std::string> Errors() const { return Locked(m_errors); }
    bool ClientClosed() const { return Locked(m_bClientClosed); }
    bool CloseNotifyReceived() const { return Locked(m_bCloseNotify); }
    std::string TlsVersion() const { return Locked(m_tlsVersion); }  // "TLSv1.3"
    std::string ServerName() const { return Locked(m_serverName); }  // SNI, "" when none
    // The common name of the certificate the client presented, "" when none.
    std::string ClientCertificateName() const { return Locked(m_clientCertName); }

private:
    ScriptedSmtpServer& Add(std::function<bool()> step) {
        m_steps.push_back(std::move(step));
        return *this;
    }
    template <typename T>
    T Locked(const T& value) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return value;
    }
    template <typename T>
    void Record(T& field, const T& value) {
        std::lock_guard<std::mutex> lock(m_mutex);
        field = value;
    }

    void Run();
    ScriptedSmtpServer& ReadUpTo(std::string end, bool bData);
    bool Handshake(Tls version, bool bHold);
    bool WriteAll(const std::string& bytes);  // through TLS when it is on
    bool WriteRaw(const std::string& bytes);
    bool Flush(std::size_t nCut = SIZE_MAX);  // the TLS bytes queued so far
    bool ReadMore();                          // into m_input; false at the end
    bool ReadTls(std::string& into);
    bool ReadRaw(std::string& into);
    bool ReadLine(std::string& line);
    void DrainUntilClosed();
    void Fail(const std::string& text);

    std::vector<std::function<bool()>> m_steps;
    std::size_t m_nDropAt = SIZE_MAX;
    std::string m_certFile;
    std::string m_keyFile;

    TestSocket m_listenFd = kNoSocket;
    TestSocket m_fd = kNoSocket;
    void* m_ssl = nullptr;   // SSL*, over two memory BIOs
    void* m_rbio = nullptr;  // BIO*: what came from the client
    void* m_wbio = nullptr;  // BIO*: what goes to it
    std::string m_input;     // received, not yet consumed by a step
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_bStopping = false;
    bool m_bFinished = false;
    std::vector<std::string> m_commands;
    std::vector<std::string> m_data;
    std::string m_received;
    std::vector<std::string> m_errors;
    bool m_bClientClosed = false;
    bool m_bCloseNotify = false;
    std::string m_tlsVersion;
    std::string m_serverName;
    std::string m_clientCertName;
    bool m_bRequestClientCert = false;
};

// One TCP segment per byte of the text (for SendSegments).
inline std::vector<std::string> Dripped(const std::string& text) {
    std::vector<std::string> bytes;
    for (char c : text)
        bytes.emplace_back(1, c);
    return bytes;
}

// The greeting and the answer to EHLO of a server without extensions.
inline ScriptedSmtpServer& Helo(ScriptedSmtpServer& server) {
    return server.Send("220 mail.test\r\n").Exchange("EHLO", "250 hello\r\n");
}

// MAIL FROM, one RCPT TO and DATA accepted.
inline ScriptedSmtpServer& UpToData(ScriptedSmtpServer& server) {
    return server.Exchange("MAIL FROM:", "250 ok\r\n")
        .Exchange("RCPT TO:", "250 ok\r\n")
        .Exchange("DATA", "354 go ahead\r\n");
}
