#include "runtime/repl_client.h"
#include "runtime/wire_protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/dev_log.h"
#include "platform/log_bridge.h"

namespace omb {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using wire::INTERRUPT;
using wire::REPLY_END;
constexpr char REQUEST_END = wire::TERMINATOR;
constexpr std::size_t WRITE_PIECE = wire::READ_SIZE;
constexpr const char* SHUTDOWN_MESSAGE = wire::GOODBYE;

// A port held by something that accepts but never greets must not hang the caller.
constexpr auto GREETING_WAIT = 10s;
constexpr std::size_t MAX_GREETING = 64 * 1024;
// A peer that never ends its reply must not eat the memory; a printed value is never near this.
constexpr std::size_t MAX_REPLY = 64 * 1024 * 1024;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

// Terminated. The server would cut a request at a byte 0 and could end or interrupt it early at a 7 or a 3, so
// those bytes never travel inside the text; every other byte is the performer's (UTF-8 names and strings).
std::string frame_request(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 1);
    for (char c : text) {
        bool unsafe = c == REPLY_END || c == INTERRUPT || c == REQUEST_END;
        out.push_back(unsafe ? '?' : c);
    }
    out.push_back(REQUEST_END);
    return out;
}

bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp, least;
        if ((c & 0xE0) == 0xC0) {
            len = 2, cp = c & 0x1Fu, least = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, cp = c & 0x0Fu, least = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, cp = c & 0x07u, least = 0x10000;
        } else {
            return false;
        }
        if (s.size() - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3Fu);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

std::string latin1_to_utf8(std::string_view s) {
    std::string out;
    out.reserve(s.size() * 2);
    for (char c : s) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out.push_back(c);
        } else {
            out.push_back(static_cast<char>(0xC0 | (b >> 6)));
            out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return out;
}

// Writes everything: a short write is continued and EINTR retried; only a real failure stops it.
bool send_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        std::size_t piece = std::min(bytes.size(), WRITE_PIECE);
        ssize_t n = ::send(fd, bytes.data(), piece, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// A connect that a signal interrupts goes on in the background; wait for its outcome rather than start over.
int finish_interrupted_connect(int fd) {
    pollfd p{fd, POLLOUT, 0};
    int r;
    do {
        r = ::poll(&p, 1, -1);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return errno;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
    return err;
}

// The connected socket, or -1 with `socket_failed` or `connect_errno` telling why.
int open_connection(const addrinfo* list, bool& socket_failed, int& connect_errno) {
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            socket_failed = true;
            continue;
        }
        devlog("Create socket successful");
        int err = ::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0 ? 0 : errno;
        if (err == EINTR) err = finish_interrupted_connect(fd);
        if (err == 0) return fd;
        connect_errno = err;
        ::close(fd);
    }
    return -1;
}

// Reads the greeting up to its byte 0. What arrived after that byte already belongs to the first reply.
bool read_greeting(int fd, std::string& greeting, std::string& rest) {
    const auto deadline = Clock::now() + GREETING_WAIT;
    char buf[1024];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        std::string_view got(buf, static_cast<std::size_t>(n));
        auto end = got.find(REPLY_END);
        greeting.append(got.substr(0, end));
        if (end != std::string_view::npos) {
            rest.assign(got.substr(end + 1));
            return true;
        }
        if (greeting.size() > MAX_GREETING) return false;
    }
}

}  // namespace

ReplClient::~ReplClient() { close(); }

bool ReplClient::connect(const std::string& host, int port) {
    if (connected_) return true;
    release_connection();  // a reader left over from a connection that ended
    devlog("Try to connect to Hostname: %s on port %d", host.c_str(), port);

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list); rc != 0) {
        devlog("getaddrinfo %s: %s", host.c_str(), ::gai_strerror(rc));
        CPPBridge::error_text("Could not resolve host name");
        return false;
    }
    bool socket_failed = false;
    int connect_errno = 0;
    int fd = open_connection(list, socket_failed, connect_errno);
    ::freeaddrinfo(list);
    if (fd < 0) {
        if (connect_errno == 0) {
            CPPBridge::error_text("Socket Connection Failed");
        } else {
            CPPBridge::error_text(std::strerror(connect_errno));
            devlog("Error %d", connect_errno);
        }
        return false;
    }
    devlog("Connect socket successful");
    devlog("Start reading from socket");

    std::string greeting, rest;
    if (!read_greeting(fd, greeting, rest)) {
        ::close(fd);
        CPPBridge::error("Could not connect to port %d. Make sure don't have any other instances of ombrel running "
                         "and that no other app is using this port!",
                         port);
        return false;
    }
    devlog("Succsesfully read %zu bytes from socket: %s", greeting.size(), greeting.c_str());

    // Requests are small and a performer waits on each: send them at once rather than batch them.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    greeting_ = std::move(greeting);
    {
        std::lock_guard lock(write_mutex_);
        fd_ = fd;
    }
    closing_ = false;
    connected_ = true;
    reader_ = std::thread(&ReplClient::read_loop, this, std::move(rest));
    return true;
}

void ReplClient::on_reply(std::function<void(std::string)> callback) {
    std::lock_guard lock(state_mutex_);
    callback_ = std::move(callback);
}

bool ReplClient::write_string(std::string_view text) { return send_request(text, true); }

bool ReplClient::send_request(std::string_view text, bool report_failure) {
    if (!connected_) return false;
    text = trimmed(text);
    if (text.size() > wire::MAX_REQUEST_BYTES) {
        // The server would read it all only to give it up; say so here, where the performer is.
        CPPBridge::error("The expression was not sent: it is %zu bytes long, more than the %zu bytes a process "
                         "accepts in one request.",
                         text.size(), wire::MAX_REQUEST_BYTES);
        return false;
    }
    std::string request = frame_request(text);
    std::lock_guard lock(write_mutex_);
    if (fd_ < 0) return false;
    if (send_all(fd_, request)) return true;
    int err = errno;
    if (report_failure) {
        CPPBridge::error_text("There was an error sending this expression to the interpreter. Check for non-ascii "
                              "characters in your code.");
    }
    devlog("ERROR WRITING TO SOCKET: %s", std::strerror(err));
    return false;
}

void ReplClient::interrupt() {
    if (!connected_) return;
    std::lock_guard lock(write_mutex_);
    if (fd_ < 0) return;
    if (!send_all(fd_, std::string_view(&INTERRUPT, 1))) devlog("interrupt not sent: %s", std::strerror(errno));
}

void ReplClient::close() {
    if (fd_ < 0) return;
    devlog("REPL CLOSTING");
    closing_ = true;
    send_request(SHUTDOWN_MESSAGE, false);
    ::shutdown(fd_, SHUT_RDWR);  // wakes the reader's blocked read
    mark_disconnected();
    release_connection();
    devlog("REPL CLOSED");
}

// Joins the reader and closes the socket. Called on the reader thread (close() from a reply callback), it leaves
// both to whoever next connects or destroys the client, since a thread cannot wait for itself.
void ReplClient::release_connection() {
    if (reader_.joinable()) {
        if (reader_.get_id() == std::this_thread::get_id()) return;
        reader_.join();
    }
    std::lock_guard lock(write_mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void ReplClient::mark_disconnected() {
    {
        std::lock_guard lock(state_mutex_);
        connected_ = false;
    }
    state_changed_.notify_all();
}

std::optional<std::string> ReplClient::eval(std::string_view text, std::chrono::milliseconds timeout,
                                            const std::function<void()>& while_waiting) {
    std::lock_guard serial(eval_mutex_);
    {
        std::lock_guard lock(state_mutex_);
        if (!connected_) return std::nullopt;
        // Claim the next reply before sending, so a fast one cannot slip past to the callback.
        awaiting_ = true;
        awaited_.reset();
    }
    bool sent = write_string(text);
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(state_mutex_);
    while (sent && !awaited_ && connected_) {
        auto now = Clock::now();
        if (now >= deadline) break;
        state_changed_.wait_until(lock, while_waiting ? std::min(deadline, now + 50ms) : deadline);
        if (while_waiting && !awaited_ && connected_) {
            lock.unlock();
            while_waiting();
            lock.lock();
        }
    }
    awaiting_ = false;
    std::optional<std::string> reply = std::move(awaited_);
    awaited_.reset();
    return reply;
}

void ReplClient::deliver(std::string reply) {
    std::function<void(std::string)> callback;
    {
        std::lock_guard lock(state_mutex_);
        if (awaiting_ && !awaited_) {
            awaited_ = std::move(reply);
            state_changed_.notify_all();
            return;
        }
        callback = callback_;
    }
    if (callback) callback(std::move(reply));
}

bool ReplClient::take_reply(std::string reply) {
    // The interpreter's characters are bytes, so a string holding (integer->char 233) comes back as a lone byte.
    // Dropping such a reply would leave whoever waits for it waiting; read as Latin-1 it shows what Scheme holds.
    if (!valid_utf8(reply)) {
        devlog("PROBLEM WITH SCHEME SOCKET? a reply of %zu bytes is not UTF-8; read as Latin-1", reply.size());
        reply = latin1_to_utf8(reply);
    }
    if (!closing_) {
        deliver(std::move(reply));
        return true;
    }
    // Whoever closed has stopped listening. Only then is the goodbye word the server's answer to ours: before,
    // it is just what some evaluation printed, (string->symbol "shutdownreplthread") say.
    return reply != SHUTDOWN_MESSAGE;
}

// Replies end at a byte 0 wherever the reads happen to split or join them.
void ReplClient::read_loop(std::string pending) {
    pthread_setname_np(pthread_self(), "repl reader");
    std::string reply;
    bool oversized = false;  // skipping to the end of a reply too large to keep
    bool stop = false;
    char buf[4096];
    auto consume = [&](std::string_view bytes) {
        while (!stop && !bytes.empty()) {
            auto end = bytes.find(REPLY_END);
            std::string_view part = bytes.substr(0, end);
            if (!oversized && reply.size() + part.size() > MAX_REPLY) {
                devlog("dropped a reply longer than %zu bytes", MAX_REPLY);
                oversized = true;
                reply.clear();
                reply.shrink_to_fit();
            }
            if (!oversized) reply.append(part);
            if (end == std::string_view::npos) return;
            if (!oversized) stop = !take_reply(std::move(reply));
            reply.clear();
            oversized = false;
            bytes.remove_prefix(end + 1);
        }
    };
    consume(pending);
    bool lost = false;
    while (!stop) {
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            lost = !closing_;
            if (n < 0 && lost) devlog("REPL read failed: %s", std::strerror(errno));
            break;
        }
        consume(std::string_view(buf, static_cast<std::size_t>(n)));
    }
    // Disconnected before the news goes out, so whoever reads it finds connected() false.
    mark_disconnected();
    if (lost) CPPBridge::notification_text("Connection to the process closed");
    devlog("Exit REPL Thread");
}

bool repl_input_complete(std::string_view text) {
    int depth = 0;
    bool in_string = false, in_comment = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (in_comment) {
            in_comment = c != '\n';
        } else if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == ';') {
            in_comment = true;
        } else if (c == '#' && i + 1 < text.size() && text[i + 1] == '\\') {
            i += 2;  // the character named right after #\ is itself, whatever it is
        } else if (c == '#' && i + 1 < text.size() && text[i + 1] == '!') {
            in_comment = true;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')') {
            --depth;
        }
    }
    return !in_string && depth <= 0;
}

std::string escape_controls(std::string_view text) {
    auto caret = [](std::string& out, unsigned char c) {
        out.push_back('^');
        out.push_back(c == 0x7F ? '?' : static_cast<char>(c + 0x40));
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c == '\n' || c == '\t') {
            out.push_back(text[i]);
        } else if (c < 0x20 || c == 0x7F) {
            caret(out, c);
        } else if (c == 0xC2 && next >= 0x80 && next < 0xA0) {
            // U+009B is CSI to terminals that honour C1 controls: as dangerous as ESC [.
            out += "M-";
            caret(out, static_cast<unsigned char>(next - 0x80));
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

}  // namespace omb
