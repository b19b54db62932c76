#include <sys/random.h>

#include <cerrno>
#include <cstddef>

#include "platform/Uuid.h"

namespace platform {

long UuidCreate(UUID* uuid) {
    if (uuid == nullptr)
        return 1;
    size_t got = 0;
    while (got < sizeof uuid->bytes) {
        ssize_t n = ::getrandom(uuid->bytes + got, sizeof uuid->bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        got += static_cast<size_t>(n);
    }
    uuid->bytes[6] = static_cast<std::uint8_t>((uuid->bytes[6] & 0x0F) | 0x40);  // version 4
    uuid->bytes[8] = static_cast<std::uint8_t>((uuid->bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return 0;
}

}  // namespace platform
