// A stand-in for the Schannel package: the table the provider gets in place of
// the one of SCHANNEL.DLL's InitSecurityInterfaceW. It keeps TLS's record
// header but sends bodies as plain text (application records end in a
// four-byte trailer), so that a scripted server in the test can be its peer,
// and it does what Windows' Schannel does under TLS 1.3 and in a
// renegotiation, which Wine's (TLS 1.2 at most, no renegotiation) cannot show:
//  - DecryptMessage answers a handshake record with SEC_I_RENEGOTIATE, no data,
//    and the record with whatever follows it as SECBUFFER_EXTRA; asked to
//    decrypt again before the handshake has taken that record, it refuses with
//    SEC_E_OUT_OF_SEQUENCE;
//  - InitializeSecurityContextW takes the record as its input token: a session
//    ticket silently, a key update with an answer token, a hello request by
//    starting a second handshake; the bytes after it come back as
//    SECBUFFER_EXTRA.
// Handshake records (type 22) carry one word each:
//   client: CLIENT-HELLO, CLIENT-FINISHED, KEY-UPDATE-ANSWER, CLIENT-HELLO-2,
//           CLIENT-FINISHED-2
//   server: SERVER-HELLO, TICKET, KEY-UPDATE, HELLO-REQUEST, SERVER-HELLO-2
// A close notification is an alert record (type 21) with the word CLOSE.
#pragma once

#include <windows.h>

#define SECURITY_WIN32
#include <security.h>

#include <string>
#include <vector>

namespace scripted_schannel {

constexpr unsigned char kHandshake = 22;
constexpr unsigned char kApplication = 23;
constexpr unsigned char kAlert = 21;

// A record as the peer writes it.
std::string Record(unsigned char type, const std::string& body);
// An application record: the text and the trailer.
std::string Application(const std::string& text);

// What the package saw, in order: "ISC <word>", "decrypt <word>", "shutdown".
struct Journal {
    std::vector<std::string> events;
    std::string plaintextSent;          // every byte given to EncryptMessage
    std::vector<std::string> refusals;  // calls the package refused, and why
    std::wstring targetName;            // of the first InitializeSecurityContextW
    int nCredentials = 0;               // held now
    int nContexts = 0;                  // held now
};
Journal& TheJournal();

// The table, as InitSecurityInterfaceW hands it out.
PSecurityFunctionTableW SEC_ENTRY InitSecurityInterfaceW();

}  // namespace scripted_schannel
