// UUIDs for MIME boundaries (UuidCreate, UuidToStringW): random version-4
// UUIDs from the system's random source.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct UUID {
    std::uint8_t bytes[16];
};

// Returns 0 (RPC_S_OK) on success.
long UuidCreate(UUID* uuid);
// 36 characters: lower-case hexadecimal in groups of 8, 4, 4, 4 and 12.
std::u16string UuidToStringW(const UUID& uuid);

}  // namespace platform
