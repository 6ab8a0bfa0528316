// The receiving end of port messages: a TCP socket bound to an address and port, and the thread that accepts
// connections, reassembles frames (native/port_codec.h) and hands each decoded message on.
//
// Whoever connects is a stranger: a frame that is not ours, announces more than the largest body, or does not
// decode ends its connection (the stream cannot be trusted past it), and the listener serves on. A connection that
// stays silent in the middle of a frame is closed after a time, and connections beyond a bound are refused, so a
// peer that connects and waits cannot tie the listener up. Problems go to the log, a few a second at most; the
// rest are counted.
//
// Threads: construction, start() and stop() on any one thread; `deliver` runs on the listener's thread.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "native/port_codec.h"
#include "platform/thread.h"

namespace omb {

class PortListener {
public:
    struct Options {
        size_t max_body = kPortMessageMaxBody;
        size_t max_connections = 32;                   // open at once; more are closed as they come
        std::chrono::milliseconds silence_limit{10000};  // a started frame must go on arriving within this
        int reports_per_second = 5;                     // problems logged one by one, then only counted
    };
    using Deliver = std::function<void(PortMessage)>;

    // Binds at once (address: an IPv4 address or host name; port 0: the system's choice). On failure the listener
    // exists but is not bound: the reason is in the log.
    PortListener(const std::string& address, int port, Deliver deliver, Options options);
    PortListener(const std::string& address, int port, Deliver deliver)
        : PortListener(address, port, std::move(deliver), Options{}) {}
    ~PortListener();
    PortListener(const PortListener&) = delete;
    PortListener& operator=(const PortListener&) = delete;

    bool bound() const { return socket_ >= 0; }
    int port() const { return port_; }
    // Starts the thread once; false when not bound or already started.
    bool start();
    // Ends the thread and closes every connection.
    void stop();

    struct Stats {
        uint64_t connections = 0;  // accepted
        uint64_t refused = 0;      // closed at once: too many open
        uint64_t messages = 0;     // decoded and delivered
        uint64_t problems = 0;     // connections ended by a bad, oversized, cut or stalled frame
    };
    Stats stats() const;

private:
    struct Connection;
    void run();
    void serve_ready(const pollfd* ready);
    bool accept_all();  // false: out of descriptors or memory for now
    bool serve(Connection& c);  // false: close it
    bool take_frames(Connection& c);
    void problem(const std::string& what);
    void report_suppressed();

    Deliver deliver_;
    Options options_;
    int socket_ = -1;
    int wake_fd_ = -1;
    int port_ = 0;
    std::unique_ptr<Thread> thread_;
    std::atomic<bool> stopping_{false};

    // Listener thread only.
    std::vector<std::unique_ptr<Connection>> connections_;
    int reports_in_second_ = 0;
    uint64_t reports_suppressed_ = 0;
    std::chrono::steady_clock::time_point report_second_;

    std::atomic<uint64_t> accepted_{0}, refused_{0}, messages_{0}, problems_{0};
};

}  // namespace omb
