// What the program's listening sockets share (the OSC server, the port-message listener): finding the address to
// bind, learning the port bound, and the eventfd that wakes a polling thread to stop it.
#pragma once

#include <netinet/in.h>

#include <string>

namespace omb {

// A dotted IPv4 address or a host name, resolved to its first IPv4 address with `port`; false when it has none.
bool resolve_listen_address(const std::string& address, int port, int socket_type, sockaddr_in& into);
// The port a bound socket listens on (the system's choice when 0 was asked).
int bound_port(int fd);
// Wakes whoever polls the eventfd; a failed write is harmless, the poller sees its stop flag at its next time-out.
void wake_eventfd(int fd);

}  // namespace omb
