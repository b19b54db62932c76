#include <netdb.h>
#include <unistd.h>

#include "platform/ComputerName.h"

namespace platform {

std::string FullyQualifiedComputerName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return std::string();
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr)
        return name;
    const std::string canonical = result->ai_canonname != nullptr ? result->ai_canonname : name;
    ::freeaddrinfo(result);
    return canonical;
}

}  // namespace platform
