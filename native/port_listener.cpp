#include "native/port_listener.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/dev_log.h"
#include "platform/listening_socket.h"
#include "platform/log_bridge.h"

namespace omb {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadChunk = 64 * 1024;
// Bytes taken from one connection per turn, so that one fast sender cannot starve the others.
constexpr size_t kReadPerTurn = 1 << 20;
// Out of descriptors, accepting waits this long rather than spin on a socket that stays readable.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

}  // namespace

struct PortListener::Connection {
    explicit Connection(int socket) : fd(socket), heard(Clock::now()) {}
    ~Connection() { ::close(fd); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const int fd;
    std::vector<uint8_t> buffer;
    Clock::time_point heard;  // when bytes last arrived (or it connected)
};

PortListener::PortListener(const std::string& address, int port, Deliver deliver, Options options)
    : deliver_(std::move(deliver)), options_(options) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        CPPBridge::error("Port messages: could not open a socket: %s", std::strerror(errno));
        return;
    }
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in local{};
    const bool resolved = resolve_listen_address(address, port, SOCK_STREAM, local);
    if (!resolved || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(fd, 16) != 0) {
        CPPBridge::error("Port messages: could not listen on %s port %d: %s", address.c_str(), port,
                         resolved ? std::strerror(errno) : "not an IPv4 address");
        ::close(fd);
        return;
    }
    port_ = bound_port(fd);
    socket_ = fd;
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    thread_ = std::make_unique<Thread>("port messages", [this] { run(); });
}

PortListener::~PortListener() {
    stop();
    if (socket_ >= 0) ::close(socket_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

bool PortListener::start() { return thread_ && thread_->start(); }

void PortListener::stop() {
    if (!thread_) return;
    stopping_ = true;
    wake_eventfd(wake_fd_);
    thread_->join();
}

PortListener::Stats PortListener::stats() const {
    return {accepted_.load(), refused_.load(), messages_.load(), problems_.load()};
}

void PortListener::run() {
    Clock::time_point accept_again{};
    std::vector<pollfd> fds;
    while (!stopping_) {
        fds.clear();
        fds.push_back({wake_fd_, POLLIN, 0});
        fds.push_back({Clock::now() >= accept_again ? socket_ : -1, POLLIN, 0});
        for (const auto& c : connections_) fds.push_back({c->fd, POLLIN, 0});
        ::poll(fds.data(), fds.size(), 100);
        if (fds[0].revents) {
            uint64_t n;
            [[maybe_unused]] auto r = ::read(wake_fd_, &n, sizeof n);
        }
        // Connections that ended make room before new ones are counted against the bound.
        serve_ready(fds.data() + 2);
        if ((fds[1].revents & POLLIN) && !accept_all()) accept_again = Clock::now() + kAcceptPause;
        report_suppressed();
    }
    connections_.clear();
}

// `ready` holds the poll entries of the connections, in their order; those that end or fall silent are closed.
void PortListener::serve_ready(const pollfd* ready) {
    const auto silence = Clock::now() - options_.silence_limit;
    std::vector<std::unique_ptr<Connection>> open;
    open.reserve(connections_.size());
    for (size_t i = 0; i < connections_.size(); ++i) {
        Connection& c = *connections_[i];
        if (ready[i].revents && !serve(c)) continue;
        if (c.heard < silence) {
            if (!c.buffer.empty()) problem("a message stopped arriving part way through");
            continue;
        }
        open.push_back(std::move(connections_[i]));
    }
    connections_.swap(open);
}

bool PortListener::accept_all() {
    for (;;) {
        const int fd = ::accept4(socket_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM;
        }
        accepted_.fetch_add(1, std::memory_order_relaxed);
        if (connections_.size() >= options_.max_connections) {
            refused_.fetch_add(1, std::memory_order_relaxed);
            devlog("Port messages: refused a connection, %zu are open", connections_.size());
            ::close(fd);
            continue;
        }
        connections_.push_back(std::make_unique<Connection>(fd));
    }
}

bool PortListener::serve(Connection& c) {
    for (size_t taken = 0; taken < kReadPerTurn;) {
        const size_t at = c.buffer.size();
        c.buffer.resize(at + kReadChunk);
        const ssize_t n = ::recv(c.fd, c.buffer.data() + at, kReadChunk, 0);
        c.buffer.resize(at + static_cast<size_t>(std::max<ssize_t>(n, 0)));
        if (n > 0) {
            taken += static_cast<size_t>(n);
            c.heard = Clock::now();
            if (!take_frames(c)) return false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        // The peer has finished sending (or the connection failed): what is left is a frame cut short.
        if (!c.buffer.empty()) problem("a message ended before all of it arrived");
        return false;
    }
    return true;
}

// Delivers every whole frame at the front of the buffer; false when the stream holds something that is not one.
bool PortListener::take_frames(Connection& c) {
    size_t used = 0;
    bool ok = true;
    while (c.buffer.size() - used >= kPortFrameHeader) {
        const uint8_t* header = c.buffer.data() + used;
        const auto body = port_frame_body_length(header, options_.max_body);
        if (!body) {
            problem(std::memcmp(header, kPortMessageMagic, sizeof kPortMessageMagic) != 0
                        ? "bytes that are not a port message"
                        : "a message longer than " + std::to_string(options_.max_body) + " bytes");
            ok = false;
            break;
        }
        if (c.buffer.size() - used - kPortFrameHeader < *body) break;  // the rest is still on its way
        PortMessage message;
        std::string why;
        if (!decode_port_message_body(header + kPortFrameHeader, *body, message, &why)) {
            problem(why);
            ok = false;
            break;
        }
        used += kPortFrameHeader + *body;
        messages_.fetch_add(1, std::memory_order_relaxed);
        deliver_(std::move(message));
    }
    c.buffer.erase(c.buffer.begin(), c.buffer.begin() + static_cast<std::ptrdiff_t>(used));
    return ok;
}

void PortListener::problem(const std::string& what) {
    problems_.fetch_add(1, std::memory_order_relaxed);
    const auto now = Clock::now();
    if (now - report_second_ >= std::chrono::seconds(1)) {
        report_suppressed();
        report_second_ = now;
        reports_in_second_ = 0;
    }
    if (reports_in_second_ < options_.reports_per_second) {
        ++reports_in_second_;
        CPPBridge::error("Port message dropped: %s", what.c_str());
    } else {
        ++reports_suppressed_;
    }
}

void PortListener::report_suppressed() {
    if (reports_suppressed_ == 0 || Clock::now() - report_second_ < std::chrono::seconds(1)) return;
    CPPBridge::error("%llu more port messages were dropped", static_cast<unsigned long long>(reports_suppressed_));
    reports_suppressed_ = 0;
}

}  // namespace omb
