#include <netdb.h>
#include <unistd.h>

#include <mutex>

#include "platform/ComputerName.h"

namespace platform {

namespace {

std::string LookUpName() {
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

}  // namespace

// The lookup may go to the resolver, which can take seconds: once a process,
// not once a message.
std::string FullyQualifiedComputerName() {
    static std::once_flag once;
    static std::string name;
    std::call_once(once, [] { name = LookUpName(); });
    return name;
}

}  // namespace platform
