#include "diag/DiagPrint.h"
#include "diag/FunctionTrace.h"
#include "smtp/TSMTPConnection.h"
#include "transport/TSMTPException.h"

// NTLM needs the security package's NTLM backend, which is not in place yet.
bool TSMTPConnection::AuthenticateNTLM() {
    TFunctionTrace trace(u"TSMTPConnection::AuthenticateNTLM");
    throw TSMTPException(3, u"TSMTPConnection::AuthenticateNTLM; NTLM authentication is not available.");
}
