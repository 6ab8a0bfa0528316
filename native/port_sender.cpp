#include "native/port_sender.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace omb {

namespace {

using Clock = std::chrono::steady_clock;

int millis_left(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool wait_writable(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, POLLOUT, 0};
        const int n = ::poll(&p, 1, millis_left(deadline));
        if (n > 0) return (p.revents & POLLOUT) != 0 && !(p.revents & (POLLERR | POLLHUP | POLLNVAL));
        if (n == 0 || errno != EINTR) return false;
    }
}

// A connected non-blocking socket to one of the addresses the name resolves to, or -1.
int connect_before(const PortAddress& to, Clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(to.host.c_str(), std::to_string(to.port).c_str(), &hints, &found) != 0) return -1;
    int connected = -1;
    for (const addrinfo* a = found; a && connected < 0 && millis_left(deadline) > 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        bool ok = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0;
        if (!ok && errno == EINPROGRESS && wait_writable(fd, deadline)) {
            int error = 0;
            socklen_t length = sizeof error;
            ok = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        }
        if (ok) connected = fd;
        else ::close(fd);
    }
    ::freeaddrinfo(found);
    return connected;
}

}  // namespace

std::optional<PortAddress> parse_port_address(std::string_view text, int default_port) {
    PortAddress a{std::string(text), default_port};
    std::string_view port_text;
    if (text.starts_with('[')) {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        a.host = std::string(text.substr(1, close - 1));
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) return std::nullopt;
        port_text = rest.empty() ? rest : rest.substr(1);
        if (!rest.empty() && port_text.empty()) return std::nullopt;
    } else if (const size_t colon = text.find(':'); colon != std::string_view::npos && text.rfind(':') == colon) {
        a.host = std::string(text.substr(0, colon));  // one colon: host and port; more: an IPv6 address
        port_text = text.substr(colon + 1);
        if (port_text.empty()) return std::nullopt;
    }
    if (!port_text.empty()) {
        const auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), a.port);
        if (ec != std::errc() || end != port_text.data() + port_text.size()) return std::nullopt;
    }
    if (a.host.empty() || a.port < 1 || a.port > 65535) return std::nullopt;
    return a;
}

PortSend send_port_frame(const PortAddress& to, const std::vector<uint8_t>& frame, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    const int fd = connect_before(to, deadline);
    if (fd < 0) return PortSend::unreachable;
    size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t n = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_writable(fd, deadline)) continue;
        break;
    }
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
    return sent == frame.size() ? PortSend::sent : PortSend::failed;
}

}  // namespace omb
