// Test servers listen on 127.0.0.1 only, on a port the system picks, so that
// tests run in parallel with each other and with other test runs.
#pragma once

// A TCP socket bound to 127.0.0.1 on an ephemeral port (close-on-exec),
// listening when asked; its port goes to nPort. -1 when that fails.
int BindLoopback(int& nPort, bool bListen = true);
