#include "PeerScript.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "Environment.h"
#include "LoopbackSocket.h"
#include "ScratchFolder.h"
#include "TlsTestServer.h"

namespace fuzzing {

namespace {

// How long the peer waits for the client's next line before it goes on, for
// the client's later TLS handshake messages, and for its close at the end.
constexpr int kLineWaitMs = 3;
constexpr int kHandshakeWaitMs = 30;
// The client's first handshake message may take a while (credentials, the
// trust store); when it does not come, the client is waiting for a reply.
constexpr int kHelloWaitMs = 20;
constexpr int kCloseWaitMs = 50;
// Bound of the wait for the client's connection.
constexpr int kConnectWaitMs = 2000;
// Most bytes one repeat may send (a reply of the client's must never hold
// that much), and the size of its writes.
constexpr std::size_t kMaxRepeated = std::size_t{64} << 20;
constexpr std::size_t kRepeatBlock = 64 * 1024;

enum Control : char {
    kAwaitLine = 0x00,
    kStartTls = 0x01,
    kRepeat = 0x02,
    kRaw = 0x03,
    kCloseNotify = 0x04,
    kKeyUpdate = 0x05,
    kTicket = 0x06,
    kHalfRecords = 0x07,
};

// Once per process, before any client: the client trusts the test CA (the
// peer's certificate is its "localhost" one), and NTLM has a logged-on user.
struct Environment {
    Environment() {
        TrustTestCa();
        setenv("NTLM_USER_FILE", WriteScratchFile("ntlm-users", "FUZZ:user:password\n").c_str(), 1);
        m_listen = BindLoopback(m_port);
        if (m_listen < 0)
            std::abort();
        m_context = TlsTestServer::NewContext(TlsServerOptions());
    }
    int m_listen = -1;
    int m_port = 0;
    ssl_ctx_st* m_context = nullptr;
};

Environment& TheEnvironment() {
    static Environment environment;
    return environment;
}

class Player {
public:
    Player(TlsServerConnection& c, const std::string& script) : m_c(c), m_script(script) {}

    void Play() {
        try {
            for (std::size_t i = 0; i < m_script.size(); ++i)
                Step(i);
            Flush();
        } catch (const std::runtime_error&) {
            // A failed write or handshake ends the script; the client sees
            // the connection go.
        }
        End();
    }

private:
    void Step(std::size_t& i) {
        const char b = m_script[i];
        if (b > kHalfRecords || b < 0) {
            m_pending.push_back(b);
            return;
        }
        if (b == kRepeat) {
            const std::size_t n =
                (i + 1 < m_script.size() ? static_cast<unsigned char>(m_script[++i]) : 0) + 1;
            Repeat(n * n * 16);
            return;
        }
        Flush();
        switch (b) {
            case kAwaitLine:
                AwaitLine();
                break;
            case kStartTls:
                // A client that is not starting a handshake is waiting for
                // the server: the script goes on in plain text.
                if (!m_c.WaitInput(kHelloWaitMs))
                    break;
                m_c.SetReadTimeout(kHandshakeWaitMs);
                m_c.Handshake();
                m_bTls = true;
                m_bSent = true;
                break;
            case kRaw:
                m_bRaw = !m_bRaw;
                break;
            case kCloseNotify:
                if (m_bTls)
                    m_c.CloseNotify();
                break;
            case kKeyUpdate:
                if (m_bTls)
                    m_c.KeyUpdate(false);
                break;
            case kTicket:
                if (m_bTls)
                    m_c.SendTicket();
                break;
            case kHalfRecords:
                m_bHalf = true;
                break;
            default:
                break;
        }
    }

    void Flush() {
        Send(m_pending);
        m_pending.clear();
    }

    void Send(const std::string& bytes) {
        if (bytes.empty())
            return;
        if (m_bTls && !m_bRaw) {
            m_c.Write(bytes, false);
            m_c.FlushPartial(m_bHalf ? bytes.size() / 2 : static_cast<std::size_t>(-1));
        } else {
            m_c.WritePlain(m_bHalf ? bytes.substr(0, bytes.size() / 2) : bytes);
        }
        m_bHalf = false;
        m_bSent = true;
    }

    // The bytes not yet sent, count times over (at most kMaxRepeated bytes),
    // in blocks of about kRepeatBlock: a long run never sits in memory whole,
    // so that the client's memory is the only one that could grow with it.
    void Repeat(std::size_t count) {
        if (m_pending.empty())
            return;
        const std::size_t length = m_pending.size();
        const std::size_t copies = std::min(count, kMaxRepeated / length);
        const std::size_t perBlock =
            std::min(copies, std::max<std::size_t>(1, kRepeatBlock / length));
        std::string block;
        for (std::size_t k = 0; k < perBlock; ++k)
            block += m_pending;
        m_pending.clear();
        for (std::size_t sent = 0; sent < copies; sent += perBlock)
            Send(block.substr(0, std::min(perBlock, copies - sent) * length));
    }

    // A client that is waiting for more of a reply sends nothing: the wait
    // is short, and then the script goes on.
    void AwaitLine() {
        // The client answers what it was sent: a wait with nothing sent
        // since the last one has nothing to wait for.
        if (!m_bSent)
            return;
        m_bSent = false;
        if (!m_c.WaitInput(kLineWaitMs))
            return;
        // The line (or record) is on its way.
        m_c.SetReadTimeout(kHandshakeWaitMs);
        try {
            if (m_bTls)
                m_c.ReadSome();
            else
                m_c.ReadPlainLine();
        } catch (const std::runtime_error&) {
        }
    }

    // A client that has closed already gets a reset, so that neither side
    // keeps the connection in TIME_WAIT: a fuzz run makes far more
    // connections than there are ports. Otherwise the client gets the end of
    // the stream and a moment to close.
    void End() {
        try {
            if (!m_c.ClientClosed()) {
                m_c.ShutdownWrite();
                m_c.SetReadTimeout(kCloseWaitMs);
                m_c.WaitPlainEnd();
            }
        } catch (const std::runtime_error&) {
        }
        m_c.Reset();
    }

    TlsServerConnection& m_c;
    const std::string& m_script;
    std::string m_pending;
    bool m_bTls = false;
    bool m_bRaw = false;
    bool m_bHalf = false;
    bool m_bSent = false;  // something went out since the last wait
};

}  // namespace

PeerScript::PeerScript(std::string script) {
    Environment& environment = TheEnvironment();
    TlsServerOptions options;
    options.listenFd = environment.m_listen;
    options.timeoutMs = kConnectWaitMs;
    options.noDelay = true;
    options.context = environment.m_context;
    m_server = std::make_unique<TlsTestServer>(
        [script = std::move(script)](TlsServerConnection& c) { Player(c, script).Play(); },
        options);
}

PeerScript::~PeerScript() = default;

int PeerScript::Port() const {
    return m_server->Port();
}

RunSettings SplitInput(const unsigned char* data, std::size_t size) {
    RunSettings settings;
    if (size > 0)
        settings.first = data[0];
    if (size > 1)
        settings.second = data[1];
    if (size > 2)
        settings.script.assign(reinterpret_cast<const char*>(data) + 2, size - 2);
    return settings;
}

}  // namespace fuzzing
