#pragma once
// Port forwarding shared by the stand-ins that carry a loopback port into a network
// namespace of their own (the light guest's host agent, the WireGuard peer).

#include <atomic>
#include <string>

namespace tessaron::standin {

// Copies bytes both ways between two connected sockets until both sides closed (a
// half-close is passed on) or `stop` is set; closes both.
void relayBytes(int a, int b, const std::atomic<bool>& stop);

// Connects to IPv4 `host`:`port` in the caller's network namespace; -1 on failure.
int connectTcp(const std::string& host, int port);

// Binds and listens on 127.0.0.1:`port` (0: a free one); -1 with errno on failure.
int listenLoopback(int port);
// The port a bound socket has, or 0.
int boundPort(int fd);

}  // namespace tessaron::standin
