#include "platform/listening_socket.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace omb {

bool resolve_listen_address(const std::string& address, int port, int socket_type, sockaddr_in& into) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = socket_type;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    into = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    into.sin_port = htons(static_cast<uint16_t>(port));
    ::freeaddrinfo(found);
    return true;
}

int bound_port(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

void wake_eventfd(int fd) {
    const uint64_t one = 1;
    if (fd >= 0 && ::write(fd, &one, sizeof one) < 0) {
        // The poller sees its stop flag at its next time-out.
    }
}

}  // namespace omb
