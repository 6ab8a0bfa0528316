// The eval server of a process: Scheme text terminated by byte 7 in, the printed reply terminated by byte 0 out.
//
// One thread per process serves all its clients. Requests are evaluated one at a time, in the order they arrive
// from all clients; meanwhile the server goes on greeting new connections, reading (and queueing) requests, and
// taking a byte 3 from any client as an interrupt of the running evaluation. Each request gets its own reply, in
// order, under its own number: a reply never lands on another request or another client. Sockets do not block, so
// a client that stops reading holds up nobody but itself.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "runtime/request_framer.h"
#include "runtime/scheme_interface.h"
#include "runtime/wire_protocol.h"
#include "scheduler/sample_clock.h"

namespace omb {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto IDLE_POLL = std::chrono::milliseconds(200);  // how soon a stop is noticed
// A client is not read while this many of its requests wait: one that pipelines without end holds only this much.
constexpr size_t MAX_WAITING_PER_CLIENT = 64;
// Replies a client does not read are kept up to this much; past it the client is dropped.
constexpr size_t MAX_UNSENT_BYTES = 64 * 1024 * 1024;

std::string greeting() {
    std::ostringstream os;
    SchemeInterface::banner(os);
    uint64_t t = SampleClock::TIME.load();
    uint64_t hour = static_cast<uint64_t>(SampleClock::HOUR.load());
    uint64_t minute = static_cast<uint64_t>(SampleClock::MINUTE.load());
    uint64_t second = static_cast<uint64_t>(SampleClock::SECOND.load());
    char prompt[64];
    std::snprintf(prompt, sizeof prompt, "[ombrel %.2d:%.2d:%.2d]: ", static_cast<int>(t / hour),
                  static_cast<int>((t % hour) / minute), static_cast<int>(((t % hour) % minute) / second));
    return os.str() + prompt;
}

struct Client {
    explicit Client(int f) : fd(f), framer(wire::MAX_REQUEST_BYTES) {}
    int fd;
    RequestFramer framer;
    std::string unsent;         // replies (each ended by byte 0) not yet written
    size_t waiting = 0;         // its requests queued, not yet answered
    bool input_closed = false;  // shut its sending side: answered, then closed
    bool failed = false;
};

struct Waiting {
    Client* client;
    FramedRequest request;
};

}  // namespace

class EvalServer {
public:
    explicit EvalServer(SchemeInterface* p) : process(p), spare_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)) {}
    ~EvalServer() {
        for (auto& c : clients) ::close(c->fd);
        if (spare_fd >= 0) ::close(spare_fd);
    }

    void run() {
        const int listen_fd = process->server_socket_;
        devlog("SERVER SOCKET FD_SET: %d", listen_fd);
        std::vector<pollfd> fds;
        while (process->running_) {
            fds.assign({{listen_fd, POLLIN, 0}, {process->replyWakeFd(), POLLIN, 0}});
            // A client with nothing to read or write is left out: a peer that hung up would wake the poll for ever.
            for (auto& c : clients) {
                const short events = events_for(*c);
                fds.push_back({events ? c->fd : -1, events, 0});
            }
            const int ready = ::poll(fds.data(), fds.size(), poll_timeout());
            if (!process->running_) break;
            if (ready < 0) {
                if (errno == EINTR) continue;
                CPPBridge::error("PROCESS %s HAS COLLAPSED \"%s\"", process->name_.c_str(), std::strerror(errno));
                continue;
            }
            if (fds[1].revents & POLLIN) drain_wake();
            collect_reply();
            // Clients first: a failed accept (out of descriptors) must not starve them.
            for (size_t i = 2; i < fds.size(); ++i) serve(*clients[i - 2], fds[i].revents);
            if (fds[0].revents & POLLIN) accept_client(listen_fd);
            start_next();
            drop_finished();
        }
        std::puts("Exiting server thread");
    }

private:
    static short events_for(const Client& c) {
        short events = 0;
        if (!c.input_closed && c.waiting < MAX_WAITING_PER_CLIENT) events |= POLLIN;
        if (!c.unsent.empty()) events |= POLLOUT;
        return events;
    }

    int poll_timeout() const {
        if (!in_flight) return static_cast<int>(IDLE_POLL.count());
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(std::clamp<long long>(left + 1, 0, IDLE_POLL.count()));
    }

    void drain_wake() {
        uint64_t count;
        while (::read(process->replyWakeFd(), &count, sizeof count) > 0) {
        }
    }

    // ---- connections ------------------------------------------------------------------------------------------

    void accept_client(int listen_fd) {
        int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) refuse_pending(listen_fd);
            return;
        }
        accept_failures = 0;
        clients.push_back(std::make_unique<Client>(fd));
        queue_output(*clients.back(), greeting());
    }

    // Out of descriptors, the pending connection can be neither accepted nor left waiting (the socket would stay
    // readable and the thread spin): the spare descriptor is given up for a moment to take the connection and
    // close it, so the client learns at once.
    void refuse_pending(int listen_fd) {
        if (accept_failures++ == 0)
            CPPBridge::error("Eval server of %s: out of file descriptors; refusing new connections",
                             process->name_.c_str());
        if (spare_fd < 0) return;
        ::close(spare_fd);
        int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) ::close(fd);
        spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }

    // A client leaves when it failed, or when it has shut its sending side and has nothing more coming: its
    // requests answered and its replies written.
    void drop_finished() {
        std::erase_if(clients, [&](const std::unique_ptr<Client>& c) {
            const bool done = c->failed || (c->input_closed && c->waiting == 0 && c->unsent.empty());
            if (!done) return false;
            devlog("CLOSE CLIENT SOCKET");
            forget(*c);
            ::close(c->fd);
            return true;
        });
    }

    // Its waiting requests go; a reply on its way to it will find nobody.
    void forget(Client& c) {
        std::erase_if(waiting, [&](const Waiting& w) { return w.client == &c; });
        if (in_flight && in_flight_for == &c) in_flight_for = nullptr;
    }

    // ---- reading and writing ----------------------------------------------------------------------------------

    void serve(Client& c, short revents) {
        if (c.failed) return;
        if (revents & POLLOUT) flush(c);
        if (revents & (POLLIN | POLLHUP | POLLERR)) read_from(c);
    }

    void read_from(Client& c) {
        if (c.input_closed) return;
        char buf[wire::READ_SIZE];
        ssize_t n;
        do {
            n = ::recv(c.fd, buf, sizeof buf, 0);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) c.failed = true;  // a reset drops the client like a close
            return;
        }
        if (n == 0) {
            c.input_closed = true;
            return;
        }
        std::deque<FramedRequest> requests;
        const int interrupts = c.framer.feed(std::string_view(buf, static_cast<size_t>(n)), requests);
        // Any client may stop a runaway evaluation: the one that started it may have gone.
        if (interrupts && in_flight) scheme_interrupt(process->getScheme());
        for (auto& r : requests) {
            if (r.given_up)
                CPPBridge::error(
                    "Error reading eval string from server socket. No terminator received before 1M limit.");
            ++c.waiting;
            waiting.push_back(Waiting{&c, std::move(r)});
        }
    }

    void queue_output(Client& c, const std::string& text) {
        c.unsent.append(text);
        c.unsent.push_back(wire::REPLY_END);
        if (c.unsent.size() > MAX_UNSENT_BYTES) {
            CPPBridge::error("Eval server of %s: a client reads no replies; dropping it", process->name_.c_str());
            c.failed = true;
            return;
        }
        flush(c);
    }

    void flush(Client& c) {
        while (!c.unsent.empty()) {
            ssize_t n = ::send(c.fd, c.unsent.data(), c.unsent.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            if (n <= 0) {
                c.failed = true;
                return;
            }
            c.unsent.erase(0, static_cast<size_t>(n));
        }
    }

    // ---- one evaluation at a time -----------------------------------------------------------------------------

    // Hands the next waiting request to the executer; requests answered without evaluation go at once.
    void start_next() {
        while (!in_flight && !waiting.empty()) {
            Waiting next = std::move(waiting.front());
            waiting.pop_front();
            const std::string& text = next.request.text;
            if (next.request.given_up || text.empty()) {
                answer(next.client, wire::GIVEN_UP);
            } else if (text == wire::GOODBYE) {
                answer(next.client, wire::GOODBYE);  // the terminal and editor clients' goodbye: not Scheme
            } else if (char* copy = static_cast<char*>(std::malloc(text.size() + 1))) {
                std::memcpy(copy, text.c_str(), text.size() + 1);
                in_flight = ++last_request;
                in_flight_for = next.client;
                deadline = Clock::now() + std::chrono::milliseconds(SchemeInterface::REPLY_LIMIT_MS.load());
                process->queueRequest(in_flight, copy, std::to_string(next.client->fd));
            } else {
                answer(next.client, wire::GIVEN_UP);
            }
        }
    }

    void collect_reply() {
        if (!in_flight) return;
        std::string reply;
        if (!process->takeReply(in_flight, reply)) {
            if (Clock::now() < deadline) return;
            // Given up: whatever comes for this request later is dropped by its number.
            CPPBridge::error("Server Thread did not allow time to retreive result.");
        }
        Client* to = in_flight_for;
        in_flight = 0;
        in_flight_for = nullptr;
        answer(to, reply);
    }

    void answer(Client* c, const std::string& reply) {
        if (!c) return;  // gone while its request was evaluated
        --c->waiting;
        if (!c->failed) queue_output(*c, reply);
    }

    SchemeInterface* process;
    std::vector<std::unique_ptr<Client>> clients;  // in connection order
    std::deque<Waiting> waiting;                    // requests of all clients, in arrival order
    uint64_t last_request = 0;
    uint64_t in_flight = 0;  // the request being evaluated, 0 for none
    Client* in_flight_for = nullptr;
    Clock::time_point deadline;
    int spare_fd;             // held in reserve for refusing connections when descriptors run out
    int accept_failures = 0;  // reported once per run of failures
};

void run_eval_server(SchemeInterface* process) { EvalServer(process).run(); }

}  // namespace omb
