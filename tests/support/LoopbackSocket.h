// The few socket calls of the test peers, on BSD sockets and Winsock alike.
// They listen on 127.0.0.1 (or ::1) on a port the system picks, so that test
// runs go in parallel.
#pragma once

#include <cstddef>

#if defined(_WIN32)
#include <winsock2.h>
using TestSocket = SOCKET;
inline constexpr TestSocket kNoSocket = INVALID_SOCKET;
#else
using TestSocket = int;
inline constexpr TestSocket kNoSocket = -1;
#endif

// A TCP socket (UDP with bDatagram) bound to 127.0.0.1 (::1 with bIPv6) on
// port nPort (0: an ephemeral one, then written back to nPort), not inherited
// by child processes, listening when asked. kNoSocket when that fails.
TestSocket BindLoopback(int& nPort, bool bListen = true, bool bDatagram = false,
                        bool bIPv6 = false);
// Listens with no room for waiting connections: once one waits, the next
// connect stays unanswered (the peer of a host that does not answer).
bool ListenWithoutRoom(TestSocket s);
void CloseSocket(TestSocket s);
TestSocket ConnectLoopback(int nPort);  // to 127.0.0.1
void ShutdownSocket(TestSocket s);      // wakes a thread that waits on it
void SetIoTimeouts(TestSocket s, int seconds);
void SetNoDelay(TestSocket s);
TestSocket AcceptOne(TestSocket listener);
bool WaitReadable(TestSocket s, int waitMs);
// As send and recv; a peer that went away never raises a signal.
long SendBytes(TestSocket s, const char* data, std::size_t size);
long ReceiveBytes(TestSocket s, char* data, std::size_t size);
