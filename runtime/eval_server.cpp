// The eval server of a process: Scheme text terminated by byte 7 in, the printed reply terminated by byte 0 out.
//
// One thread per process serves its clients one request at a time. While a reply is awaited the client's socket
// is still watched: a byte 3 from it interrupts the running evaluation (a runaway loop), and anything else is the
// start of the client's next request.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "scheduler/sample_clock.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"
#include "runtime/wire_protocol.h"

namespace omb {

namespace {

using wire::INTERRUPT;
using wire::MAX_REQUEST_BYTES;
using wire::READ_SIZE;
using wire::TERMINATOR;
constexpr auto REPLY_LIMIT = std::chrono::seconds(250);

struct Client {
    int fd;
    std::string pending;  // text received so far for the current request
    int reads = 0;
    bool input_closed = false;  // shut its sending side while a reply was awaited: answer, then close
};

bool send_all(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size() + 1;  // the terminating byte 0 goes too
    while (left > 0) {
        ssize_t n = ::send(fd, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

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

enum class Read { data, end, failed };

// Reads what is there: data, the end of the client's sending side, or a failure.
Read read_some(int fd, std::string& into) {
    char buf[READ_SIZE + 1] = {};
    ssize_t n;
    do {
        n = ::recv(fd, buf, READ_SIZE, 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return Read::end;
    if (n < 0) return Read::failed;
    // Bytes after a byte 0 within one read are not part of the text.
    into.append(buf, strnlen(buf, static_cast<size_t>(n)));
    return Read::data;
}

}  // namespace

class EvalServer {
public:
    explicit EvalServer(SchemeInterface* p) : process(p), spare_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)) {}
    ~EvalServer() {
        if (spare_fd >= 0) ::close(spare_fd);
    }

    void run() {
        int listen_fd = process->server_socket_;
        devlog("SERVER SOCKET FD_SET: %d", listen_fd);
        while (process->running_) {
            std::vector<pollfd> fds{{listen_fd, POLLIN, 0}};
            for (auto& c : clients) fds.push_back({c.fd, POLLIN, 0});
            int ready = ::poll(fds.data(), fds.size(), 200);
            if (!process->running_) break;
            if (ready < 0) {
                if (errno == EINTR) continue;
                CPPBridge::error("PROCESS %s HAS COLLAPSED \"%s\"", process->name_.c_str(), std::strerror(errno));
                continue;
            }
            // A failed accept falls through to the clients: while it keeps failing the listening socket stays
            // readable, and skipping the clients every round would starve them (and never free a descriptor).
            if ((fds[0].revents & POLLIN) && accept_client(listen_fd)) continue;
            for (size_t i = 1; i < fds.size(); ++i)
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) serve(fds[i].fd);
            drop_closed();
        }
        for (auto& c : clients) ::close(c.fd);
        std::puts("Exiting server thread");
    }

private:
    bool accept_client(int listen_fd) {
        int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) refuse_pending(listen_fd);
            return false;
        }
        accept_failures = 0;
        clients.push_back(Client{fd, {}, 0});
        if (!send_all(fd, greeting())) close_client(fd);
        drop_closed();
        return true;
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

    Client* find(int fd) {
        for (auto& c : clients)
            if (c.fd == fd) return &c;
        return nullptr;
    }

    void close_client(int fd) {
        devlog("CLOSE CLIENT SOCKET");
        ::close(fd);
        if (Client* c = find(fd)) c->fd = -1;
    }

    void drop_closed() { std::erase_if(clients, [](const Client& c) { return c.fd < 0; }); }

    // One read; a complete request is evaluated and answered before the next client is read.
    void serve(int fd) {
        Client* c = find(fd);
        if (!c) return;
        if (read_some(fd, c->pending) != Read::data) {  // a close or a failed read drops the client
            close_client(fd);
            return;
        }
        // An interrupt with nothing running has nothing to stop.
        std::erase(c->pending, INTERRUPT);
        ++c->reads;
        // A request that arrived whole while the previous one was evaluated is answered without waiting for a read.
        for (;;) {
            if (c->pending.empty() || c->pending.back() != TERMINATOR) {
                if (c->pending.size() <= MAX_REQUEST_BYTES) return;
                CPPBridge::error(
                    "Error reading eval string from server socket. No terminator received before 1M limit.");
                c->pending.clear();
            }
            std::string request = std::move(c->pending);
            c->pending.clear();
            c->reads = 0;
            std::string reply = answer(*c, request);
            if (c->fd < 0) return;
            if (!send_all(c->fd, reply)) {
                close_client(c->fd);
                return;
            }
            if (c->input_closed && (c->pending.empty() || c->pending.back() != TERMINATOR)) {
                close_client(c->fd);
                return;
            }
            if (c->pending.empty()) return;
        }
    }

    std::string answer(Client& c, const std::string& request) {
        if (request.empty()) return wire::GIVEN_UP;
        // The terminal and editor clients say goodbye this way; it is not Scheme to evaluate.
        if (request == std::string(wire::GOODBYE) + TERMINATOR) return wire::GOODBYE;
        char* text = static_cast<char*>(std::malloc(request.size() + 1));
        if (!text) return wire::GIVEN_UP;
        std::memcpy(text, request.c_str(), request.size() + 1);
        if (process->guard_.is_owned_by_current_thread()) {
            CPPBridge::notification("Ombrel interpreter server thread trying to relock. Dropping Task!.");
            std::free(text);
            return "";
        }
        process->createSchemeTask(0, text, std::to_string(c.fd), SchemeTaskType::eval_string);
        return await_reply(c);
    }

    std::string await_reply(Client& c) {
        const int key = c.fd;
        auto deadline = std::chrono::steady_clock::now() + REPLY_LIMIT;
        std::string reply;
        while (std::chrono::steady_clock::now() < deadline && process->running_) {
            if (process->waitForReply(key, std::chrono::milliseconds(20), reply)) return reply;
            watch_while_waiting(c);
        }
        if (process->running_) CPPBridge::error("Server Thread did not allow time to retreive result.");
        return reply;
    }

    // A byte 3 interrupts the evaluation; other bytes begin the next request. A client that only shut its sending
    // side (a pipe through a socket tool) still gets its reply. A failed client is forgotten, but its reply is
    // still awaited so that it cannot land on a later client with the same descriptor.
    void watch_while_waiting(Client& c) {
        if (c.fd < 0 || c.input_closed) return;
        pollfd p{c.fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return;
        std::string extra;
        const Read got = read_some(c.fd, extra);
        if (got == Read::end) {
            c.input_closed = true;
            return;
        }
        if (got == Read::failed) {
            ::close(c.fd);
            c.fd = -1;
            devlog("CLOSE CLIENT SOCKET");
            return;
        }
        if (extra.find(INTERRUPT) != std::string::npos) scheme_interrupt(process->getScheme());
        std::erase(extra, INTERRUPT);
        c.pending += extra;
    }

    SchemeInterface* process;
    std::vector<Client> clients;
    int spare_fd;          // held in reserve for refusing connections when descriptors run out
    int accept_failures = 0;  // reported once per run of failures
};

void run_eval_server(SchemeInterface* process) { EvalServer(process).run(); }

}  // namespace omb
