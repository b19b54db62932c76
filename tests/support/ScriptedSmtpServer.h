// A scripted server for exact dialogue tests: on 127.0.0.1 it accepts one
// connection and plays its steps in its own thread, recording what it
// receives; after the last step it reads until the client closes. Every wait
// is bounded. TLS is OpenSSL over memory buffers, so that a script decides
// which records leave in which segment (a TLS step fails on Windows).
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
    // Items of SendTls besides record texts: a TLS 1.3 session ticket, a key
    // update that asks for the client's own, a close_notify.
    static constexpr const char* kTicket = "<ticket>";
    static constexpr const char* kKeyUpdate = "<keyupdate>";
    static constexpr const char* kCloseNotify = "<close_notify>";

    ScriptedSmtpServer() = default;
    ~ScriptedSmtpServer();
    ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
    ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

    // --- the script; a step that ends the connection returns false ---
    // One write (one TLS record after StartTls).
    ScriptedSmtpServer& Send(std::string bytes) { return SendSegments({std::move(bytes)}); }
    // Each piece in its own segment, with pauses, as a slow or busy server.
    ScriptedSmtpServer& SendSegments(
        std::vector<std::string> pieces,
        std::chrono::milliseconds pause = std::chrono::milliseconds(40));
    // Reads and records one command line; one without the prefix is a script error.
    ScriptedSmtpServer& Expect(std::string prefix);
    ScriptedSmtpServer& Exchange(std::string prefix, std::string reply) {
        return Expect(std::move(prefix)).Send(std::move(reply));
    }
    // Reads and drops all up to the end of the text.
    ScriptedSmtpServer& ExpectText(std::string text) { return ReadUpTo(std::move(text), false); }
    // Reads and records the message after DATA with its final "\r\n.\r\n".
    ScriptedSmtpServer& ExpectData() { return ReadUpTo("\r\n.\r\n", true); }
    ScriptedSmtpServer& Call(std::function<void()> function) {
        return Add([function] { return function(), true; });
    }
    // The server's TLS handshake; bHoldLastFlight sends its last flight with the next bytes.
    ScriptedSmtpServer& StartTls(Tls version = Tls::Any, bool bHoldLastFlight = false) {
        return Add([=, this] { return Handshake(version, bHoldLastFlight); });
    }
    // Over TLS: the items in one segment, or only its first nCut bytes.
    ScriptedSmtpServer& SendTls(std::vector<std::string> items, std::size_t nCut = SIZE_MAX);
    // Closes the connection and awaits the client's next one, which the
    // steps after it play; TLS starts anew (and may resume).
    ScriptedSmtpServer& AcceptNext();
    ScriptedSmtpServer& Close() {
        return Add([] { return false; });
    }
    ScriptedSmtpServer& StaySilent() {
        return Add([this] { return DrainUntilClosed(), false; });
    }
    // Reads nothing for a while, so that the client's writes block.
    ScriptedSmtpServer& StopReading(std::chrono::milliseconds hold);
    // A reply that never ends: the line again and again (at most 64 MiB).
    ScriptedSmtpServer& SendForever(std::string line);

    // Fault injection: the connection closes instead of step k (from 0).
    void DropAt(std::size_t k) { m_nDropAt = k; }
    std::size_t StepCount() const { return m_steps.size(); }
    void UseCertificate(std::string certFile, std::string keyFile) {
        m_certFile = std::move(certFile);
        m_keyFile = std::move(keyFile);
    }
    // StartTls asks for a client certificate (and takes any, or none).
    void RequestClientCertificate() { m_bRequestClientCert = true; }

    // Listens (on ::1 with bIPv6) and starts the script: the port, -1 on a failure.
    int Start(int nPort = 0, bool bIPv6 = false);
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
    std::string ClientCertificateName() const { return Locked(m_clientCertName); }
    int Connections() const { return Locked(m_nConnections); }
    int ResumedHandshakes() const { return Locked(m_nResumed); }

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
    // The next client, with its socket set up; kNoSocket when none came in time.
    TestSocket AwaitClient();
    void EndConnection();
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
    bool Fail(const std::string& text);  // false

    std::vector<std::function<bool()>> m_steps;
    std::size_t m_nDropAt = SIZE_MAX;
    std::string m_certFile;
    std::string m_keyFile;

    TestSocket m_listenFd = kNoSocket;
    TestSocket m_fd = kNoSocket;
    void* m_ctx = nullptr;   // SSL_CTX*, kept for every connection
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
    int m_nConnections = 0;
    int m_nResumed = 0;
};

inline std::vector<std::string> Dripped(const std::string& text) {
    std::vector<std::string> bytes;
    for (char c : text)
        bytes.emplace_back(1, c);
    return bytes;
}

inline ScriptedSmtpServer& Helo(ScriptedSmtpServer& server) {
    return server.Send("220 mail.test\r\n").Exchange("EHLO", "250 hello\r\n");
}

inline ScriptedSmtpServer& UpToData(ScriptedSmtpServer& server) {
    return server.Exchange("MAIL FROM:", "250 ok\r\n")
        .Exchange("RCPT TO:", "250 ok\r\n")
        .Exchange("DATA", "354 go ahead\r\n");
}
