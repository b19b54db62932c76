// The machine's fully qualified domain name, for the name a client gives a
// mail server.
#pragma once

#include <string>

namespace platform {

// POSIX: the canonical name getaddrinfo gives the host name, looked up once a
// process; Windows:
// GetComputerNameExW(ComputerNameDnsFullyQualified). "" when there is none;
// a name without a domain comes back as it is, for the caller to judge.
std::string FullyQualifiedComputerName();

}  // namespace platform
