// One call of SendEmailWithContent after the arguments have become UTF-8:
// check everything that can be checked without the network, read the
// attachments, compose the message, get an access token and submit it.
#pragma once

#include <string>

namespace oauthrelay {

struct SendRequest {
    std::string strTo;  // lists joined with ";"
    std::string strCc;
    std::string strBcc;
    std::string strSubject;
    std::u16string sBody;
    bool bHtml = false;
    std::string strSenderName;
    std::string strSenderAddress;
    std::string strHost;
    int nPort = 0;  // 0: 587 with STARTTLS, else 25
    int nPriority = 0;
    std::string strCharset;
    bool bStartTLS = false;
    bool bNotifySuccess = false;
    bool bNotifyFailure = false;
    std::string strAttachments;  // file paths joined with ";"
    std::string strClientId;
    std::string strClientSecret;
    std::string strTenantId;
    std::string strScope;
    std::string strAuthority;
    std::string strCustomHeaders;  // header lines joined with ";"
};

// Returns when the server took the message; throws RelayError (or another
// exception of the standard library) when it did not.
void RelaySend(const SendRequest& request);

}  // namespace oauthrelay
