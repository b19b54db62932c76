// Small helpers shared by the files of TSMTPSSLSocket.
#pragma once

#include <cstdlib>
#include <memory>

#include "platform/Sspi.h"
#include "platform/WinTypes.h"

namespace transport {

struct FreeDeleter {
    void operator()(BYTE* p) const { std::free(p); }
};
// Byte blocks from malloc, so that an allocation failure is an answer, not
// an exception of its own.
using MallocPtr = std::unique_ptr<BYTE, FreeDeleter>;

inline bool IsHandleSet(const platform::SecHandle& h) {
    return h.dwLower != 0 || h.dwUpper != 0;
}

// Request flags of every InitializeSecurityContextW call: sequence and replay
// detection, confidentiality, package-allocated tokens, extended errors, stream.
constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                  ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;
static_assert(kContextRequest == 0xC11C);

// Input buffer of the handshake loop.
constexpr DWORD IO_BUFFER_SIZE = 64000;

// Certificate flag: do not examine the server certificate at all.
constexpr DWORD kCertFlagNoCheck = 0x4000;
// Certificate flag (SECURITY_FLAG_IGNORE_REVOCATION): revocation is not checked.
constexpr DWORD kCertFlagIgnoreRevocation = 0x80;

}  // namespace transport
