// UUIDs for MIME boundaries (UuidCreate, UuidToStringW). On Windows they come
// from the RPC run time; on POSIX they are random version-4 UUIDs from the
// system's random source.
#pragma once

#include <cstdint>
#include <string>

#if defined(_WIN32)
#include <rpc.h>
#include "platform/WinTypes.h"
#endif

namespace platform {

#if defined(_WIN32)
using ::UUID;
using ::UuidCreate;
#else
struct UUID {
    std::uint8_t bytes[16];
};

// Returns 0 (RPC_S_OK) on success.
long UuidCreate(UUID* uuid);
#endif

// 36 characters: lower-case hexadecimal in groups of 8, 4, 4, 4 and 12.
std::u16string UuidToStringW(const UUID& uuid);

}  // namespace platform
