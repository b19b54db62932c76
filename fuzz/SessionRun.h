// One SMTP session of the product against the fuzz peer: Connect, and with
// bSend one message, then the end of the session, whatever fails on the way.
#pragma once

#include <string>

namespace fuzzing {

struct SessionOptions {
    int nAuthType = 0;
    bool bStartTLS = false;
    // 0 checks the peer's certificate in full (the client trusts its CA).
    unsigned dwCertFlags = 0;
    bool bSend = false;
    bool bNotify = false;
};

void RunSession(const std::string& script, const SessionOptions& options);

}  // namespace fuzzing
