// gss-ntlmssp loses OpenSSL state at every credential acquisition (the NTLM
// package shares credentials to keep that to one loss per user file). A test
// program that acquires NTLM credentials includes this header in exactly one
// source, so that the leak check of the sanitizer build tells that loss apart
// from ours: allocations are unwound in full (the mechanism's frames are
// otherwise lost inside OpenSSL, which keeps no frame pointers), and leaks
// made inside the mechanism are not reported.
#pragma once

extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}

extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:gssntlmssp.so\n";
}
