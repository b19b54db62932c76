// A whole session against a server whose every reply comes from the input:
// Connect with any login (none, CRAM-MD5, LOGIN, PLAIN, NTLM, OAuth2), with
// or without STARTTLS and the certificate check, then one message with or
// without delivery notifications, and the goodbye.
#include <cstdint>

#include "NtlmLeaks.h"
#include "PeerScript.h"
#include "SessionRun.h"

using namespace fuzzing;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const RunSettings input = SplitInput(data, size);
    SessionOptions options;
    options.nAuthType = input.first % 6;
    options.bStartTLS = (input.second & 1) != 0;
    // 0x4000: no certificate check at all.
    options.dwCertFlags = (input.second & 2) != 0 ? 0x4000 : 0;
    options.bNotify = (input.second & 4) != 0;
    options.bSend = true;
    RunSession(input.script, options);
    return 0;
}
