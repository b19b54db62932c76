// Mail_Send of the Windows DLL under Wine against the Linux peers: what it
// delivers over STARTTLS with a verified certificate (the real Schannel and
// chain engine of the prefix, with the test CA trusted) is read back
// by Python's email package; each certificate problem has its own code and its
// own waiver; NTLM runs through Wine's real NTLM package; the network log
// reaches a UDP listener.
#include <windows.h>

#define SECURITY_WIN32
#include <security.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ImportPatch.h"
#include "LogCapture.h"
#include "NetworkLogListener.h"
#include "UnixPath.h"
#include "WineSendFixture.h"

namespace {

// A JSON string literal of UTF-8 text.
std::string Json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Json(const std::u16string& text) {
    return Json(ToUtf8(text));
}

// Every byte value, in an order that is not a simple count.
std::string BinaryBytes(size_t size) {
    std::string bytes(size, '\0');
    unsigned x = 12345;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return bytes;
}

// HTML with two attachments over STARTTLS and AUTH LOGIN; text parts and the
// other mechanisms are the session tests' part, which run under Wine too.
TEST_F(WineSendTest, DeliversHtmlAndAttachmentsOverVerifiedStartTls) {
    ASSERT_EQ(GoodPeerChainProblems(), 0u) << "the prefix does not trust the test CA";
    const std::u16string subject = u"Gr\u00fc\u00dfe aus K\u00f6ln \u2013 \u00d1and\u00fa";
    const std::u16string html =
        u"<html><body><p>Gr\u00fc\u00dfe</p><p style=\"color: red\">=rot=</p></body></html>";
    const std::string binary = WriteFile("image.bin", BinaryBytes(300 * 1024));
    const std::string notes = WriteFile("notes.txt", "line one\r\nline two\nline three\r\n");
    Configure(Peer("good", kAuthLogin));
    const std::string marker = NewMarker();
    const std::u16string to = FromUtf8(marker + "@example.org");
    HostMessage message;
    message.Subject(subject)
        .To(u"J\u00fcrgen M\u00fcller", to.c_str())
        .Cc(nullptr, u"cc@example.org")
        .Body(html)
        .ContentType(u"text/html")
        .Attach(WindowsPathOf(binary), u"image.bin")
        .Attach(WindowsPathOf(notes), u"notes.txt");
    ASSERT_EQ(Send(message.Record()), MAILERR_OK) << ToUtf8(Description());
    const std::string expected =
        "{\"subject\": " + Json(subject) +
        ", \"from\": [\"Wine Sender\", \"wine-sender@example.org\"], \"to\": [[" +
        Json(u"J\u00fcrgen M\u00fcller") + ", " + Json(to) +
        "]], \"cc\": [[\"\", \"cc@example.org\"]], \"mail_from\": \"wine-sender@example.org\", "
        "\"rcpt_tos\": [" +
        Json(to) +
        ", \"cc@example.org\"], \"message_id\": \"example.org\", \"header_lines\": 998, "
        "\"envelope\": {\"tls\": true, \"auth_user\": " +
        Json(Peers().Value("account", "user")) + "}, \"html\": " + Json(html) +
        ", \"attachments\": [{\"filename\": \"image.bin\", \"path\": \"image.bin\"}, "
        "{\"filename\": \"notes.txt\", \"path\": \"notes.txt\"}]}";
    EXPECT_TRUE(Peers().MessageMatches(marker, WriteFile(marker + ".json", expected)));
}

TEST_F(WineSendTest, EachCertificateProblemHasItsCodeAndItsWaiver) {
    ASSERT_EQ(GoodPeerChainProblems(), 0u) << "the prefix does not trust the test CA";
    struct Row {
        const char* peer;
        unsigned flags;
        uint32_t policyError;  // 0: delivered
        const char* host = "localhost";
    };
    const Row rows[] = {
        {"good", 0, 0},
        {"wrongname", 0, 0x800B010F},
        {"wrongname", 0x1000, 0},
        {"expired", 0, 0x800B0101},
        {"expired", 0x2000, 0},
        {"untrusted", 0, 0x800B0109},
        {"untrusted", 0x100, 0},
        // Nothing is examined: a self-signed certificate for another name passes.
        {"untrusted", 0x4000, 0, "127.0.0.1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.peer) + " flags " + std::to_string(row.flags) + " host " +
                     row.host);
        StoreSettings settings = Peer(row.peer);
        settings.certFlags = row.flags;
        settings.host = row.host;
        Configure(settings);
        ExpectDeliveredOrRefusedByPolicy(row.policyError);
    }
}

// Wine's NTLM package (winbind's ntlm_auth) has no credentials of a logged-on
// user, which the provider asks for as on Windows (single sign-on). The test
// therefore puts a substitute in place of the provider's import of
// AcquireCredentialsHandleW: it checks that the provider asked for the session
// user (no principal, no logon id, no identity) and hands the real package the
// test account instead, as a Windows logon session would hold it. Everything
// after that is the real package against the Linux NTLM acceptor.
struct SessionUser {
    static inline ImportPatch* patch = nullptr;
    static inline std::wstring domain;
    static inline std::wstring user;
    static inline std::wstring password;
    static inline int nCalls = 0;
    static inline int nAskedForSessionUser = 0;

    static SECURITY_STATUS SEC_ENTRY Acquire(LPWSTR principal, LPWSTR package, unsigned long use,
                                             void* logonId, void* authData, SEC_GET_KEY_FN getKey,
                                             void* getKeyArgument, PCredHandle credential,
                                             PTimeStamp expiry) {
        ++nCalls;
        if (principal == nullptr && logonId == nullptr && authData == nullptr &&
            package != nullptr && std::wstring(package) == L"NTLM" && use == SECPKG_CRED_OUTBOUND)
            ++nAskedForSessionUser;
        SEC_WINNT_AUTH_IDENTITY_W identity{};
        identity.User = reinterpret_cast<unsigned short*>(user.data());
        identity.UserLength = static_cast<unsigned long>(user.size());
        identity.Domain = reinterpret_cast<unsigned short*>(domain.data());
        identity.DomainLength = static_cast<unsigned long>(domain.size());
        identity.Password = reinterpret_cast<unsigned short*>(password.data());
        identity.PasswordLength = static_cast<unsigned long>(password.size());
        identity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
        return patch->Original<ACQUIRE_CREDENTIALS_HANDLE_FN_W>()(principal, package, use, logonId,
                                                                  &identity, getKey, getKeyArgument,
                                                                  credential, expiry);
    }
};

TEST_F(WineSendTest, NtlmLogsOnWithTheSessionUsersCredentials) {
    HMODULE provider = ::GetModuleHandleW(L"smtpmail.dll");
    ImportPatch patch(provider, "Secur32.dll", "AcquireCredentialsHandleW",
                      reinterpret_cast<const void*>(&SessionUser::Acquire));
    ASSERT_EQ(patch.Error(), "");
    SessionUser::patch = &patch;
    auto wide = [](const std::string& s) { return std::wstring(s.begin(), s.end()); };
    SessionUser::domain = wide(Peers().Value("ntlm", "domain"));
    SessionUser::user = wide(Peers().Value("ntlm", "user"));
    StoreSettings settings;
    settings.port = Peers().Port("ntlm");
    settings.auth = kAuthNtlm;
    settings.user = "not-used";
    settings.password = "not used either";
    Configure(settings);

    for (const bool bRight : {true, false}) {
        SCOPED_TRACE(bRight ? "the account's password" : "a wrong password");
        SessionUser::password = wide(Peers().Value("ntlm", "password") + (bRight ? "" : "x"));
        SessionUser::nCalls = SessionUser::nAskedForSessionUser = 0;
        const std::string marker = NewMarker();
        HostMessage message = Simple(marker);
        if (bRight) {
            EXPECT_EQ(Send(message.Record()), MAILERR_OK) << ToUtf8(Description());
            EXPECT_TRUE(Peers().Said("ntlm", "AUTH NTLM accepted"));
            EXPECT_TRUE(Peers().Said("ntlm", "to <" + marker + "@example.org>"));
        } else {
            EXPECT_EQ(Send(message.Record()), MAILERR_ACCESS_DENIED);
            EXPECT_NE(Description().find(
                          u"TSMTPConnection::AuthenticateNTLM; Authentication unsuccesful!"),
                      std::u16string::npos)
                << ToUtf8(Description());
            EXPECT_TRUE(Peers().Said("ntlm", "AUTH NTLM refused"));
            EXPECT_FALSE(Peers().Said("ntlm", "to <" + marker + "@example.org>"));
        }
        EXPECT_EQ(SessionUser::nCalls, 1);
        EXPECT_EQ(SessionUser::nAskedForSessionUser, 1) << "the provider names no user of its own";
    }
}

// The network log's datagrams reach a UDP listener that the registry names:
// the record of a failed send (a refused connection, with Winsock's number),
// at its level, with the native code in hex.
class NetworkLogUnderWineTest : public WineSendTest {
protected:
    void SetUp() override {
        if (::GetModuleHandleW(L"smtpmail.dll") != nullptr)
            GTEST_SKIP() << "the network log of this process is set up already; run the test "
                            "alone, as CTest does";
        WineSendTest::SetUp();
    }
};

TEST_F(NetworkLogUnderWineTest, ReachesTheListenerTheRegistryNames) {
    NetworkLogListener listener;
    listener.PointTheLogHere(HKEY_CURRENT_USER, 3);
    int port = 0;
    CloseSocket(BindLoopback(port, false));  // nobody listens there
    StoreSettings settings;
    settings.host = "127.0.0.1";
    settings.port = port;
    Configure(settings);
    HostMessage message = Simple(NewMarker());
    ASSERT_EQ(Send(message.Record()), MAILERR_ACCESS_DENIED);
    ExpectLastError(MAILERR_ACCESS_DENIED,
                    kConnecting + u"Cannot establish a connection to a specified socket!",
                    WSAECONNREFUSED);
    const std::string record =
        "<3>Code=509, Description '" + ToUtf8(Description()) + "', NativeCode=0x274D\n";
    std::string datagram;
    bool bLogged = false;
    while (!bLogged && !(datagram = listener.Next()).empty())
        bLogged = datagram == record;
    EXPECT_TRUE(bLogged) << record;
}

}  // namespace
