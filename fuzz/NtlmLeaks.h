// NTLM logins lose memory inside the GSSAPI mechanism, once per process. The
// replay build tells that loss apart from ours with the tests' suppression,
// which needs the slow unwinder on every allocation; under libFuzzer that
// would cost most of the executions, so there these targets skip the leak
// check (reply and tls run the same session and channel code with it).
// Include in exactly one source of a target.
#pragma once

#ifdef SMTPMAIL_LIBFUZZER
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
    return "detect_leaks=0";
}
#else
#include "GssMechanismLeaks.h"
#endif
