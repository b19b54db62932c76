// A scripted SMTP server for exact dialogue tests: it listens on 127.0.0.1
// (an ephemeral port), accepts one connection and plays a list of steps in
// its own thread (send bytes, possibly in separate TCP segments; read and
// record a command line; read the message data; switch to TLS; close; stay
// silent), recording everything it receives.
//
//     ScriptedSmtpServer server;
//     server.Send("220 ready\r\n").Exchange("EHLO", "250 hello\r\n")
//           .Exchange("QUIT", "221 bye\r\n");
//     int port = server.Start();
//     ... run the client ...
//     ASSERT_TRUE(server.Finish());         // script done, client closed
//     EXPECT_THAT(server.Errors(), IsEmpty());
//
// After the last step the server keeps reading (and recording lines) until
// the client closes the connection. Every wait of the server thread is
// bounded, and the destructor unblocks it, so a faulty client cannot hang a test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackSocket.h"

class ScriptedSmtpServer {
public:
    ScriptedSmtpServer();
    ~ScriptedSmtpServer();
    ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
    ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

    // --- the script, in order ---
    // Writes the bytes with one write.
    ScriptedSmtpServer& Send(std::string bytes) { return Add({Kind::Send, {std::move(bytes)}}); }
    // Writes each piece as its own TCP segment, pausing between them, as a
    // slow or busy server does.
    ScriptedSmtpServer& SendSegments(
        std::vector<std::string> pieces,
        std::chrono::milliseconds pause = std::chrono::milliseconds(40)) {
        return Add({Kind::Send, std::move(pieces), pause});
    }
    // Reads one command line and records it (without its line end). A line
    // that does not start with the prefix is recorded as a script error.
    ScriptedSmtpServer& Expect(std::string prefix) {
        return Add({Kind::Expect, {}, {}, std::move(prefix)});
    }
    // Expect, then Send.
    ScriptedSmtpServer& Exchange(std::string prefix, std::string reply) {
        return Expect(std::move(prefix)).Send(std::move(reply));
    }
    // Reads until the text has come (in the message data, say), and drops
    // what came up to its end.
    ScriptedSmtpServer& ExpectText(std::string text) {
        return Add({Kind::ExpectText, {}, {}, std::move(text)});
    }
    // Runs the function in the server's thread at this point of the script.
    ScriptedSmtpServer& Call(std::function<void()> function) {
        Step step{Kind::Call};
        step.function = std::move(function);
        return Add(std::move(step));
    }
    // Reads the message after DATA up to and including the line ".", and
    // records it (the final "\r\n.\r\n" included).
    ScriptedSmtpServer& ExpectData() { return Add({Kind::ExpectData}); }
    // Server side of the TLS handshake with the certificate given to
    // UseCertificate. TLS runs on OpenSSL, so only where that is (not on
    // Windows, where the step fails).
    ScriptedSmtpServer& StartTls() { return Add({Kind::StartTls}); }
    // Closes the connection at this point without a goodbye.
    ScriptedSmtpServer& Close() { return Add({Kind::Close}); }
    // Answers nothing any more: reads and records until the client closes.
    ScriptedSmtpServer& StaySilent() { return Add({Kind::StaySilent}); }
    // Reads nothing for a while, so that the client's writes fill the
    // connection and block; then reads and records until the client closes.
    ScriptedSmtpServer& StopReading(std::chrono::milliseconds hold) {
        return Add({Kind::StopReading, {}, hold});
    }
    // Over TLS: the first half of the record that carries the bytes, then
    // silence until the client closes.
    ScriptedSmtpServer& SendPartialRecord(std::string bytes) {
        return Add({Kind::SendPartialRecord, {std::move(bytes)}});
    }
    // Writes the line again and again, many lines a write, until the client
    // goes away (at most 64 MiB), as a server whose reply never ends.
    ScriptedSmtpServer& SendForever(std::string line) {
        return Add({Kind::SendForever, {std::move(line)}});
    }

    // The server closes the connection instead of running step k (counted
    // from 0 over every step added above); for fault injection.
    void DropAt(std::size_t k) { m_nDropAt = k; }
    std::size_t StepCount() const { return m_steps.size(); }

    // PEM files of the server certificate and its key, for StartTls.
    void UseCertificate(std::string certFile, std::string keyFile) {
        m_certFile = std::move(certFile);
        m_keyFile = std::move(keyFile);
    }

    // Starts listening and the script thread; returns the port.
    int Start();
    // Waits until the script has run and the connection is closed (by the
    // client or by the script). False when that did not happen in time.
    bool Finish(std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // --- what the server saw ---
    std::vector<std::string> Commands() const { return Locked(m_commands); }
    // Message data read by ExpectData steps, in order.
    std::vector<std::string> Data() const { return Locked(m_data); }
    // Every byte received (after TLS: the decrypted bytes), in order.
    std::string Received() const { return Locked(m_received); }
    // Bytes a SendForever step got out before the client went away.
    std::size_t SentForever() const { return Locked(m_nSentForever); }
    std::vector<std::string> Errors() const { return Locked(m_errors); }
    // The client closed the connection (the server read its end of stream).
    bool ClientClosed() const { return Locked(m_bClientClosed); }

private:
    enum class Kind {
        Send,
        Expect,
        ExpectData,
        StartTls,
        Close,
        StaySilent,
        StopReading,
        SendPartialRecord,
        SendForever,
        ExpectText,
        Call
    };
    struct Step {
        Kind kind;
        std::vector<std::string> pieces;  // Send
        std::chrono::milliseconds pause{0};
        std::string prefix;              // Expect, ExpectText
        std::function<void()> function;  // Call
    };

    ScriptedSmtpServer& Add(Step step) {
        m_steps.push_back(std::move(step));
        return *this;
    }
    template <typename T>
    T Locked(const T& value) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return value;
    }

    void Run();
    bool RunStep(const Step& step);
    bool WriteAll(const std::string& bytes);
    // Reads more bytes into m_input; false at end of stream or failure.
    bool ReadMore();
    bool ReadLine(std::string& line);
    void DrainUntilClosed();
    void Fail(const std::string& text);
    void CloseConnection();

    std::vector<Step> m_steps;
    std::size_t m_nDropAt = static_cast<std::size_t>(-1);
    std::string m_certFile;
    std::string m_keyFile;

    TestSocket m_listenFd = kNoSocket;
    TestSocket m_fd = kNoSocket;
    void* m_sslCtx = nullptr;  // SSL_CTX*
    void* m_ssl = nullptr;     // SSL*
    std::string m_input;       // received, not yet consumed by a step
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_bStopping = false;  // the destructor runs
    bool m_bFinished = false;
    std::vector<std::string> m_commands;
    std::vector<std::string> m_data;
    std::string m_received;
    std::vector<std::string> m_errors;
    bool m_bClientClosed = false;
    std::size_t m_nSentForever = 0;
};
