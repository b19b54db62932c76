// The logins' challenge decoding: after a fixed greeting and EHLO that offer
// every mechanism, the input plays the server's side of AUTH LOGIN (the
// Base64 prompts), CRAM-MD5 (the challenge) or NTLM (the type-2 message,
// read by the NTLM package).
#include <cstdint>
#include <string>

#include "NtlmLeaks.h"
#include "PeerScript.h"
#include "SessionRun.h"
#include "smtp/TSMTPConnection.h"

using namespace fuzzing;
using namespace std::string_literals;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int kMechanisms[] = {TSMTPConnection::AUTH_LOGIN, TSMTPConnection::CRAM_MD5,
                                      TSMTPConnection::AUTH_NTLM};
    const RunSettings input = SplitInput(data, size);
    SessionOptions options;
    options.nAuthType = kMechanisms[input.first % 3];
    const std::string greeting =
        "220 mail.test ready\r\n\0"
        "250-mail.test\r\n250 AUTH LOGIN CRAM-MD5 NTLM PLAIN\r\n\0"s;
    RunSession(greeting + input.script, options);
    return 0;
}
