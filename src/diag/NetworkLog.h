// The network log: short status lines sent as UDP datagrams in the syslog
// manner ("<level>text") to a log host, filtered by a threshold level from the
// registry (Software\Veltrana\Orbisuite\log\default, values "loglevel", "host",
// "port"; defaults 4, 127.0.0.1, 514), and copied to the debugger.
#pragma once

#include <cstdarg>
#include <string>

// Writes one message at the level; lower levels are more severe.
void NetworkLogWrite(int level, const char16_t* format, ...);
void NetworkLogWriteV(int level, const char16_t* format, va_list args);

// Sets the log up now (the first write does it otherwise); true when the UDP
// socket was opened.
bool NetworkLogSetup();
// Closes the socket and forgets the set-up, so that the next write sets the
// log up again, as the first write of a process does. The last provider's
// Uninitialize calls it (never the loader at process exit, when another
// thread may have died holding the lock).
void NetworkLogClose();

// The threshold in force: -1 before the set-up, -99 when it failed.
int NetworkLogThreshold();
