#include "SessionRun.h"

#include "PeerScript.h"
#include "mime/TSMTPMessage.h"
#include "smtp/TSMTPConnection.h"
#include "transport/TSMTPException.h"

namespace fuzzing {

void RunSession(const std::string& script, const SessionOptions& options) {
    PeerScript peer(script);
    TSMTPMessage message;
    message.m_From = TSMTPAddress(u"Alice", u"alice@example.org");
    message.AddRecipient(TSMTPAddress(u"Bob", u"bob@example.org"), TSMTPMessage::TO);
    message.AddRecipient(TSMTPAddress(u"", u"carol@example.org"), TSMTPMessage::CC);
    message.m_sSubject = u"Fuzz";
    message.AddTextBody(u"Hello\r\n.\r\nBob");
    // The session goes before the peer: its goodbye is part of the run.
    TSMTPConnection session(options.bStartTLS, options.dwCertFlags);
    session.m_dwTimeout = kClientTimeoutMs;
    session.SetHeloHostname(u"client.test");
    session.SetDSNFlags(options.bNotify, options.bNotify);
    try {
        session.Connect(u"127.0.0.1", options.nAuthType, u"user", u"password", peer.Port());
        if (options.bSend)
            session.SendMessageW(message);
    } catch (const TSMTPException&) {
        // Refusals, protocol errors and broken connections are the product's
        // answers to a hostile server; only a crash or a sanitizer report is
        // a finding.
    }
}

}  // namespace fuzzing
