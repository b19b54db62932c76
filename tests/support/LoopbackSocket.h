// Test servers listen on 127.0.0.1 (or ::1) only, on a port the system picks, so that
// tests run in parallel with each other and with other test runs. The few
// socket calls the test peers need, on BSD sockets and on Winsock alike.
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
// A TCP connection to 127.0.0.1 port nPort (kNoSocket when refused).
TestSocket ConnectLoopback(int nPort);
// Wakes any thread that waits on the socket.
void ShutdownSocket(TestSocket s);
// Each wait of a send or receive on the socket ends after that many seconds.
void SetIoTimeouts(TestSocket s, int seconds);
// Each write its own segment.
void SetNoDelay(TestSocket s);
// The next connection (kNoSocket on a failure).
TestSocket AcceptOne(TestSocket listener);
// Whether something can be read within the wait.
bool WaitReadable(TestSocket s, int waitMs);
// As send and recv; a peer that went away never raises a signal.
long SendBytes(TestSocket s, const char* data, std::size_t size);
long ReceiveBytes(TestSocket s, char* data, std::size_t size);
