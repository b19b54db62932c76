// The SMTP provider: one object per handle, with its settings, its state
// flags and the operations behind the exports.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "api/CMailAPI.h"

class TSMTPConnection;
class TSMTPException;
class TSMTPMessage;

class CSMTPMailAPI : public CMailAPI {
public:
    CSMTPMailAPI();
    ~CSMTPMailAPI() override;

    bool Initialize(MAILINIFLAGS* pFlags) override;
    void Uninitialize() override;
    MAILRESULT Send(const MAILMESSAGE* pMessage, const MAILSENDFLAGS* pSendFlags) override;
    HMAILITEM FindFirst(void* pArg) override;
    MAILRESULT ResolveAddress(const char16_t* pszAddress, MAILADDRESS* pResolvedAddress,
                              const MAILRESOLVEADDRESSFLAGS* pFlags) override;
    MAILRESULT Deliver(DWORD dwArgument) override;
    MAILRESULT Execute(DWORD dwCommand, void* pArg) override;
    MAILRESULT GetProperty(const char16_t* pszPropertyName, void* pszPropertyValue,
                           DWORD cbPropertyValue) override;
    std::u16string GetCfgFileName() override { return u"smtp.cfg"; }
    std::u16string GetCfgValueName() override { return u"smtp.cfg"; }
    std::u16string GetRegistryKey() override { return u"Software\\Veltrana\\Orbisuite\\mail"; }
    std::u16string GetProviderName() override { return u"SMTP"; }

    // Fills the settings from the host's password, the store and the INI file.
    bool Login(MAILINIFLAGS* pFlags);

    // Send's delivery helpers: the OAuth2 route through OAuthRelay, a caught
    // session failure recorded as nCode with pszWhat before its text, and an
    // address that cannot be sent recorded as 505 with the reason.
    MAILRESULT SendThroughOAuthRelay(TSMTPMessage& message, const MAILMESSAGE& hostMessage);
    MAILRESULT ReportSendException(const TSMTPException& e, const char16_t* pszWhat,
                                   MAILRESULT nCode);
    MAILRESULT RefuseAddress(const char16_t* pszReason, const std::u16string& sAddress);

    // The connection for a send: the one kept from the last send when it is
    // still good for these settings (bConnected true), else a new object,
    // perhaps the kept one's after its close (its TLS credentials stay, so
    // that the handshake can resume).
    std::unique_ptr<TSMTPConnection> TakeConnection(bool& bConnected);
    // Keeps the connection of a send for the next one when KeepAliveSeconds
    // allows and it can carry another transaction; else ends it.
    void KeepConnection(std::unique_ptr<TSMTPConnection> connection);
    // Connects for a send; a failure is reported as 509 with its reason.
    MAILRESULT ConnectForSend(TSMTPConnection& connection);
    // The message through the connection; a kept one that the server closed
    // before the transaction took a recipient is connected again once.
    MAILRESULT SendOnConnection(TSMTPConnection& connection, TSMTPMessage& message, bool bReused);
    // A note on the kept connection, to the trace and the host's log.
    static void NoteConnection(const std::u16string& sText);
    // Ends the kept connection with QUIT.
    void EndKeptConnection();
    // The settings a kept connection was opened with, in one text.
    std::u16string ConnectionSettings() const;

    // Settings, in their order.
    std::u16string m_strSenderAddr;
    std::u16string m_strHost;
    std::u16string m_strSenderName;
    int m_nPort = 25;
    int m_nBodyFormat = 0;
    bool m_bStartTLS = false;
    DWORD m_dwCertCheckFlags = 0;
    int m_nAuthMethod = 0;
    std::u16string m_strUser;
    std::u16string m_strPassword;
    std::u16string m_strCharset = u"utf-8";
    int m_nDefaultPriority = 2;
    std::u16string m_strOAuthClientSecret;
    std::u16string m_strOAuthClientId;
    std::u16string m_strOAuthTenantId;
    std::u16string m_strOAuthScope;
    std::u16string m_strOAuthTokenUrl;
    std::u16string m_strOAuthAuthority;
    std::u16string m_strOAuthResource;
    // Seconds a connection stays open after a send for the next one (0: none).
    int m_nKeepAliveSeconds = 0;

    // The connection kept open since the last send, what it was opened
    // with, and since when it is idle.
    std::unique_ptr<TSMTPConnection> m_pKeptConnection;
    std::u16string m_strKeptSettings;
    std::chrono::steady_clock::time_point m_KeptSince;

    // State flags.
    bool m_bInitialized = false;
    bool m_bLoggedIn = false;
    bool m_bAborted = false;
};
