// Socket addresses between the project's form and the BSD sockets' own,
// shared by the socket calls and the resolver.
#pragma once

#include <sys/socket.h>

#include "platform/Sockets.h"

namespace platform {

socklen_t ToNative(const SocketAddress& address, sockaddr_storage& native);
// False for a family other than IPv4 and IPv6.
bool FromNative(const sockaddr* native, SocketAddress& address);
// The Winsock number of a getaddrinfo error.
DWORD WsaErrorFromEai(int rc);

}  // namespace platform
