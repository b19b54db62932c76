// The connection a handle keeps between sends (KeepAliveSeconds): taken by
// the next send when it is still good for the same settings, ended with QUIT
// when it idled too long, the settings changed or the handle goes.
#include <chrono>
#include <memory>
#include <string>

#include "api/CSMTPMailAPI.h"
#include "diag/DiagPrint.h"
#include "diag/HostLog.h"
#include "platform/WideFormat.h"
#include "smtp/TSMTPConnection.h"
#include "transport/TSMTPException.h"

namespace {

// QUIT, within the short limit of a goodbye; a server that is gone already
// only gets the socket closed.
void EndConnection(std::unique_ptr<TSMTPConnection>& connection) {
    try {
        connection->Disconnect(true);
    } catch (const TSMTPException& e) {
        DiagPrint(u"%s", e.GetErrorText().c_str());
        connection->AbortConnection();
    }
}

}  // namespace

void CSMTPMailAPI::NoteConnection(const std::u16string& sText) {
    DiagPrint(u"%s\n", sText.c_str());
    HostLogMessage(HOSTLOG_PROGRESS, sText.c_str());
}

std::u16string CSMTPMailAPI::ConnectionSettings() const {
    // Everything the greeting, the channel and the login depend on.
    return platform::WFormat(u"%s\x1f%d\x1f%d\x1f%u\x1f%d\x1f", m_strHost.c_str(), m_nPort,
                             m_bStartTLS ? 1 : 0, static_cast<unsigned>(m_dwCertCheckFlags),
                             m_nAuthMethod) +
           m_strUser + u"\x1f" + m_strPassword;
}

std::unique_ptr<TSMTPConnection> CSMTPMailAPI::TakeConnection(bool& bConnected) {
    bConnected = false;
    std::unique_ptr<TSMTPConnection> kept = std::move(m_pKeptConnection);
    const std::u16string sWhere = platform::WFormat(u"%s port %d", m_strHost.c_str(), m_nPort);
    if (kept != nullptr) {
        const auto idle = std::chrono::steady_clock::now() - m_KeptSince;
        if (m_strKeptSettings != ConnectionSettings() || m_nKeepAliveSeconds <= 0) {
            NoteConnection(
                u"CSMTPMailAPI::Send() - The kept connection is closed: the settings changed.");
            EndConnection(kept);
            kept.reset();
        } else if (idle > std::chrono::seconds(m_nKeepAliveSeconds)) {
            NoteConnection(
                platform::WFormat(u"CSMTPMailAPI::Send() - The kept connection to %s is closed: "
                                  u"idle for longer than %d seconds.",
                                  sWhere.c_str(), m_nKeepAliveSeconds));
            EndConnection(kept);
        } else if (kept->IsClosedWhileIdle()) {
            NoteConnection(
                platform::WFormat(u"CSMTPMailAPI::Send() - The server closed the kept "
                                  u"connection to %s; a new connection replaces it.",
                                  sWhere.c_str()));
            kept->AbortConnection();
        } else {
            NoteConnection(platform::WFormat(
                u"CSMTPMailAPI::Send() - The connection to %s is used again.", sWhere.c_str()));
            bConnected = true;
            return kept;
        }
    }
    // The closed object connects again with its TLS credentials, so that
    // the handshake can resume; one whose socket would not close is dropped.
    if (kept != nullptr && !kept->HasSocket())
        return kept;
    return std::make_unique<TSMTPConnection>(m_bStartTLS, m_dwCertCheckFlags);
}

void CSMTPMailAPI::KeepConnection(std::unique_ptr<TSMTPConnection> connection) {
    if (connection == nullptr)
        return;
    if (m_nKeepAliveSeconds > 0 && m_nAuthMethod != TSMTPConnection::AUTH_OAUTH2 &&
        connection->CanBeKept()) {
        m_pKeptConnection = std::move(connection);
        m_strKeptSettings = ConnectionSettings();
        m_KeptSince = std::chrono::steady_clock::now();
        return;
    }
    // The destructor says goodbye, or only closes what broke.
    connection.reset();
}

void CSMTPMailAPI::EndKeptConnection() {
    if (m_pKeptConnection == nullptr)
        return;
    EndConnection(m_pKeptConnection);
    m_pKeptConnection.reset();
}
