#include "api/CSMTPMailAPI.h"
#include "diag/DiagPrint.h"

// Delivery is not in place yet: the host gets a clear refusal.
MAILRESULT CSMTPMailAPI::Send(const MAILMESSAGE* /*pMessage*/, const MAILSENDFLAGS* /*pSendFlags*/) {
    DiagPrint(u"CSMTPMailAPI::Send() ==>\n");
    SetLastError(MAILERR_INVALID_OPERATION, u"CSMTPMailAPI::Send() - sending is not available yet.", 0);
    DiagPrint(u"CSMTPMailAPI::Send() <== return %s\n", MailErrorName(MAILERR_INVALID_OPERATION));
    return MAILERR_INVALID_OPERATION;
}
