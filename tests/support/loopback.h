#pragma once
// Loopback sockets for tests.

namespace tessaron::testing {

// A socket of `type` (SOCK_STREAM, SOCK_DGRAM) bound to 127.0.0.1 on a free port, which
// `port` receives; -1 when none can be made.
int boundLoopbackSocket(int type, int& port);

// A TCP socket connected to 127.0.0.1:port, or -1.
int connectLoopback(int port);

}  // namespace tessaron::testing
