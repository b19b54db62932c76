// Socket addresses between the project's form and Winsock's own, shared by
// the socket calls and the resolver.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/Sockets.h"

namespace platform {

int ToNative(const SocketAddress& address, sockaddr_storage& native);
// False for a family other than IPv4 and IPv6.
bool FromNative(const sockaddr* native, SocketAddress& address);

}  // namespace platform
