// A loopback port nobody listens on right now: where the process of a test or benchmark listens. Chosen below the
// kernel's ephemeral range, where connections other tests open meanwhile would otherwise take it before it is bound.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

namespace omb::test {

// True when `port` can be bound on loopback by a socket of `type` right now.
inline bool port_is_free(int port, int type = SOCK_STREAM) {
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// A port free for TCP and UDP alike; `span` consecutive ports free from it when more are needed.
inline int free_port(int span = 1) {
    static unsigned seed = static_cast<unsigned>(::getpid()) * 2654435761u ^ static_cast<unsigned>(std::time(nullptr));
    for (int attempt = 0; attempt < 500; ++attempt) {
        int port = 20000 + static_cast<int>(::rand_r(&seed) % 12000);
        bool ok = true;
        for (int i = 0; i < span && ok; ++i) ok = port_is_free(port + i) && port_is_free(port + i, SOCK_DGRAM);
        if (ok) return port;
    }
    return 0;
}

}  // namespace omb::test
