// The session's reply reader and capability check: the greeting and the
// HELO or EHLO dialogue (with STARTTLS when the EHLO reply offers it) against
// replies from the input, split into TCP segments as the script says. The
// session without login stops after EHLO (as for OAuth2).
#include <cstdint>

#include "PeerScript.h"
#include "SessionRun.h"
#include "smtp/TSMTPConnection.h"

using namespace fuzzing;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const RunSettings input = SplitInput(data, size);
    SessionOptions options;
    options.nAuthType =
        input.first % 2 == 0 ? TSMTPConnection::AUTH_NONE : TSMTPConnection::AUTH_OAUTH2;
    options.bStartTLS = (input.second & 1) != 0;
    RunSession(input.script, options);
    return 0;
}
