// The OSC receiving end: a UDP socket bound to an address and port, and the thread that reads it, decodes each
// datagram into Scheme calls and hands them to an inbox (the registered Scheme process).
//
// Input never waits on Scheme: calls the inbox cannot take yet wait in a bounded backlog, and when Scheme falls
// behind for longer than the backlog holds, the oldest calls are dropped and one notification per burst says how
// many. Problems with datagrams go to the log as errors, at most a few a second; the rest are counted and reported.
//
// Threads: construction, start() and stop() on any one thread; the inbox is called on the receive thread only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "io/osc_decode.h"
#include "platform/thread.h"

namespace omb {

// Where received calls go.
class OscInbox {
public:
    virtual ~OscInbox() = default;
    // Whether a call can be handed over now; false leaves calls in the backlog (Scheme is behind).
    virtual bool ready() = 0;
    virtual void take(OscCall call) = 0;
    // On every turn of the receive thread, at least every 100 ms: time to let go of finished work.
    virtual void tick() {}
};

class OscServer {
public:
    struct Options {
        size_t backlog = 1024;                          // calls waiting for the inbox, at most
        std::chrono::milliseconds burst{1000};          // a drop notification at least this often while dropping
        int reports_per_second = 20;                    // datagram problems logged one by one, then counted
    };

    // Binds at once (address: dotted IPv4 or a host name; port 0: the system's choice). On failure the server
    // exists but is not bound: the reason is on standard output and in the log.
    OscServer(const std::string& address, int port, OscInbox& inbox, Options options);
    OscServer(const std::string& address, int port, OscInbox& inbox) : OscServer(address, port, inbox, Options{}) {}
    ~OscServer();
    OscServer(const OscServer&) = delete;
    OscServer& operator=(const OscServer&) = delete;

    bool bound() const { return socket_ >= 0; }
    int port() const { return port_; }  // the port bound
    // Starts the receive thread once; false when not bound or already started.
    bool start();
    bool started() const { return thread_ && thread_->started(); }
    // Ends the receive thread; calls still in the backlog are dropped.
    void stop();

    struct Stats {
        uint64_t datagrams = 0;  // received
        uint64_t calls = 0;      // decoded
        uint64_t delivered = 0;  // handed to the inbox
        uint64_t dropped = 0;    // the oldest, dropped from a full backlog
        uint64_t problems = 0;   // datagrams not delivered whole (malformed, unsupported or cut)
    };
    Stats stats() const;

private:
    void run();
    bool receive_some(uint8_t* buffer);
    void queue(OscDecoded& decoded);
    void pump();
    void report_problem(const std::string& problem);
    void report_counts(std::chrono::steady_clock::time_point now, bool force);
    void report_suppressed();
    void wait(std::chrono::milliseconds limit);

    OscInbox& inbox_;
    Options options_;
    int socket_ = -1;
    int wake_fd_ = -1;
    int port_ = 0;
    std::unique_ptr<Thread> thread_;
    std::atomic<bool> stopping_{false};

    // Receive thread only.
    std::deque<OscCall> backlog_;
    OscDecoded decoded_;
    uint64_t burst_dropped_ = 0;
    std::chrono::steady_clock::time_point burst_start_;
    int reports_in_second_ = 0;
    uint64_t reports_suppressed_ = 0;
    std::chrono::steady_clock::time_point report_second_;

    std::atomic<uint64_t> datagrams_{0}, calls_{0}, delivered_{0}, dropped_{0}, problems_{0};
};

}  // namespace omb
