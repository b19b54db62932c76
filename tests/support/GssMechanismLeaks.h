// gss-ntlmssp loses OpenSSL state at every credential acquisition. Included in
// one source of a program that acquires NTLM credentials, for the sanitizer
// build's leak check: allocations unwound in full (OpenSSL keeps no frame
// pointers), and the mechanism's own losses not reported.
#pragma once

extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}

extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:gssntlmssp.so\n";
}
