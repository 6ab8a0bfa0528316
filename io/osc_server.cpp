#include "io/osc_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/listening_socket.h"
#include "platform/log_bridge.h"

namespace omb {

namespace {

using Clock = std::chrono::steady_clock;

// Datagrams read in one go before the backlog is offered to the inbox again.
constexpr int kReadsPerTurn = 64;
// Room in the kernel for a burst that arrives while the thread is busy; the system may grant less.
constexpr int kReceiveBuffer = 1 << 20;

}  // namespace

OscServer::OscServer(const std::string& address, int port, OscInbox& inbox, Options options)
    : inbox_(inbox), options_(options) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        std::puts("Error opening OSC socket");
        std::fflush(stdout);
        CPPBridge::error("OSC server could not open a socket: %s", std::strerror(errno));
        return;
    }
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    sockaddr_in local{};
    const bool resolved = resolve_listen_address(address, port, SOCK_DGRAM, local);
    if (!resolved || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::puts("Error binding OSC address to socket");
        std::fflush(stdout);
        CPPBridge::error("OSC server could not listen on %s port %d: %s", address.c_str(), port,
                         resolved ? std::strerror(errno) : "not an IPv4 address");
        ::close(fd);
        return;
    }
    port_ = bound_port(fd);
    socket_ = fd;
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    thread_ = std::make_unique<Thread>("OSC receive", [this] { run(); });
}

OscServer::~OscServer() {
    stop();
    if (socket_ >= 0) ::close(socket_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

bool OscServer::start() { return thread_ && thread_->start(); }

void OscServer::stop() {
    if (!thread_) return;
    stopping_ = true;
    wake_eventfd(wake_fd_);
    thread_->join();
}

OscServer::Stats OscServer::stats() const {
    return {datagrams_.load(), calls_.load(), delivered_.load(), dropped_.load(), problems_.load()};
}

void OscServer::run() {
    uint8_t buffer[OSC_DATAGRAM_LIMIT];
    while (!stopping_) {
        const bool more = receive_some(buffer);
        pump();
        inbox_.tick();
        report_counts(Clock::now(), false);
        // While Scheme is behind, offer the backlog again soon; otherwise sleep until a datagram comes.
        if (!more) wait(backlog_.empty() ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1));
    }
    report_counts(Clock::now(), true);
    backlog_.clear();
}

// Reads what is waiting, up to a turn's worth; true when more may be waiting.
bool OscServer::receive_some(uint8_t* buffer) {
    for (int i = 0; i < kReadsPerTurn; ++i) {
        // MSG_TRUNC: the datagram's real length, so a longer one is known to be cut.
        const ssize_t n = ::recv(socket_, buffer, OSC_DATAGRAM_LIMIT, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;  // EAGAIN, or an error the next wait will show again
        }
        datagrams_.fetch_add(1, std::memory_order_relaxed);
        const size_t size = static_cast<size_t>(n);
        decoded_.clear();
        decode_osc_datagram(buffer, std::min(size, OSC_DATAGRAM_LIMIT), size > OSC_DATAGRAM_LIMIT, decoded_);
        if (!decoded_.problem.empty()) report_problem(decoded_.problem);
        queue(decoded_);
    }
    return true;
}

void OscServer::queue(OscDecoded& decoded) {
    calls_.fetch_add(decoded.calls.size(), std::memory_order_relaxed);
    for (OscCall& call : decoded.calls) {
        backlog_.push_back(std::move(call));
        if (backlog_.size() > options_.backlog) {
            backlog_.pop_front();
            dropped_.fetch_add(1, std::memory_order_relaxed);
            if (burst_dropped_++ == 0) burst_start_ = Clock::now();
        }
    }
}

void OscServer::pump() {
    while (!backlog_.empty() && inbox_.ready()) {
        inbox_.take(std::move(backlog_.front()));
        backlog_.pop_front();
        delivered_.fetch_add(1, std::memory_order_relaxed);
    }
}

void OscServer::report_problem(const std::string& problem) {
    problems_.fetch_add(1, std::memory_order_relaxed);
    const auto now = Clock::now();
    if (now - report_second_ >= std::chrono::seconds(1)) {
        report_suppressed();
        report_second_ = now;
        reports_in_second_ = 0;
    }
    if (reports_in_second_ < options_.reports_per_second) {
        ++reports_in_second_;
        CPPBridge::error_text(problem);
    } else {
        ++reports_suppressed_;
    }
}

// The counts a flood would otherwise spread over many lines: once a burst ends (the backlog is empty again) or has
// lasted its period, and once a second for the problems beyond those reported one by one.
void OscServer::report_counts(Clock::time_point now, bool force) {
    if (burst_dropped_ > 0 && (force || backlog_.empty() || now - burst_start_ >= options_.burst)) {
        CPPBridge::notification("OSC input came faster than Scheme took it: dropped the %llu oldest messages",
                                static_cast<unsigned long long>(burst_dropped_));
        burst_dropped_ = 0;
    }
    if (force || now - report_second_ >= std::chrono::seconds(1)) report_suppressed();
}

void OscServer::report_suppressed() {
    if (reports_suppressed_ == 0) return;
    CPPBridge::error("%llu more OSC datagrams were not delivered whole",
                     static_cast<unsigned long long>(reports_suppressed_));
    reports_suppressed_ = 0;
}

void OscServer::wait(std::chrono::milliseconds limit) {
    pollfd fds[2] = {{socket_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    ::poll(fds, 2, static_cast<int>(limit.count()));
}

}  // namespace omb
