// The REPL client against a stand-in eval server on the loopback interface, and the terminal client run whole.
#include "runtime/repl_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "runtime/wire_protocol.h"
#include "tests/support/free_port.h"
#include "tests/support/log_capture.h"

using namespace std::chrono_literals;
using namespace std::string_literals;
using omb::test::eventually;
using omb::test::LogCapture;

namespace {

const std::string GREETING = "Welcome to Ombrel\n[ombrel 00:01:02]: ";

void send_bytes(int fd, const std::string& bytes) {
    for (std::size_t off = 0; off < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<std::size_t>(n);
    }
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 20) > 0;
}

// An eval server as the client sees one: greets each connection in small pieces, records every byte that arrives,
// and answers each request (up to byte 7) through `answer`. A byte 3 is handed to `answer` at once, as the request
// "\x03". Serves connections in turn.
class FakeServer {
public:
    using Answer = std::function<void(int fd, const std::string& request)>;

    static void reverse(int fd, const std::string& request) {
        if (request != "\x03") send_bytes(fd, std::string(request.rbegin(), request.rend()) + '\0');
    }

    explicit FakeServer(Answer answer = reverse, std::string greeting = GREETING + '\0')
        : answer_(std::move(answer)), greeting_(std::move(greeting)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        auto* sa = reinterpret_cast<sockaddr*>(&addr);
        if (::bind(listener_, sa, len) != 0 || ::listen(listener_, 4) != 0 || ::getsockname(listener_, sa, &len) != 0)
            ADD_FAILURE() << "fake server: " << std::strerror(errno);
        port = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }

    std::string received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

    int port = 0;
    std::atomic<int> ends_seen{0};     // connections the client closed
    std::atomic<bool> hang_up{false};  // on the current client, or on the next one right after its greeting

private:
    void serve() {
        for (int one = 1; !stop_;) {
            int fd = readable(listener_) ? ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
            if (fd < 0) continue;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // so that the greeting's pieces arrive apart
            for (std::size_t i = 0; i < greeting_.size(); i += 5, std::this_thread::sleep_for(100us))
                send_bytes(fd, greeting_.substr(i, 5));
            std::string request;
            char buf[512];
            while (!stop_ && !hang_up) {
                if (!readable(fd)) continue;
                ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) {
                    ++ends_seen;
                    break;
                }
                std::lock_guard lock(mutex_);
                received_.append(buf, static_cast<std::size_t>(n));
                for (char c : std::string_view(buf, static_cast<std::size_t>(n))) {
                    if (c == 3) answer_(fd, "\x03");
                    else if (c == 7) answer_(fd, std::exchange(request, {}));
                    else request.push_back(c);
                }
            }
            ::close(fd);
            hang_up = false;
        }
    }

    Answer answer_;
    std::string greeting_;
    int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

// A client connected over "localhost" (::1 is tried first where it resolves to both) to a fake server of its own,
// collecting the replies its reader thread hands on.
struct Session {
    explicit Session(FakeServer::Answer answer = FakeServer::reverse, std::string greeting = GREETING + '\0')
        : server(std::move(answer), std::move(greeting)) {
        client.on_reply([this](std::string r) {
            std::lock_guard lock(mutex);
            got.push_back(std::move(r));
        });
        EXPECT_TRUE(client.connect("localhost", server.port));
    }
    // The replies so far, once there are `count` of them or the patience ran out.
    std::vector<std::string> replies(std::size_t count) {
        eventually([&] {
            std::lock_guard lock(mutex);
            return got.size() >= count;
        });
        std::lock_guard lock(mutex);
        return got;
    }

    LogCapture log;
    FakeServer server;
    std::mutex mutex;
    std::vector<std::string> got;  // under mutex
    omb::ReplClient client;        // last, so that its reader thread ends before the rest goes
};

TEST(ReplClient, RepliesAreSplitAtTheirZeroByteHoweverTheyArrive) {
    // The greeting comes in small pieces with a first reply straight after its byte 0; then come a reply in many
    // pieces, two replies in one piece, and a reply that is not UTF-8 (read as Latin-1, not dropped).
    Session s(
        [](int fd, const std::string& request) {
            if (request == "dribble") {
                std::string text = std::string(600, '.') + "end" + '\0';
                for (std::size_t i = 0; i < text.size(); i += 7, std::this_thread::sleep_for(50us))
                    send_bytes(fd, text.substr(i, 7));
            } else if (request == "two") {
                send_bytes(fd, "first\0second\0"s);
            } else if (request == "garbled") {
                send_bytes(fd, "caf\xE9\0ok \xE2\x99\xAA\0"s);
            }
        },
        GREETING + '\0' + "early" + '\0');
    EXPECT_EQ(s.client.greeting(), GREETING);
    EXPECT_TRUE(s.client.connect("localhost", s.server.port)) << "already connected";
    for (const char* request : {"dribble", "two", "garbled"}) s.client.write_string(request);
    EXPECT_EQ(s.replies(6), (std::vector<std::string>{"early", std::string(600, '.') + "end", "first", "second",
                                                      "caf\xC3\xA9", "ok \xE2\x99\xAA"}));
    s.log.flush();
    EXPECT_TRUE(s.log.errors.empty());
}

TEST(ReplClient, RequestsAreTrimmedTerminatedAndBounded) {
    // UTF-8, and any other byte above ASCII, goes as typed; only the bytes of the framing are replaced.
    Session s;
    for (const auto& text : {"  \n\t(+ 1 2)\r\n \n"s, "(define \xC3\xA9t\xC3\xA9 \"\xE2\x99\xAA\xFF\")"s,
                             "a\x07"s + "b" + '\0' + "c\x03" + "d"})
        ASSERT_TRUE(s.client.write_string(text));
    ASSERT_EQ(s.replies(3).size(), 3u);  // so that the eval below waits for its own reply
    const std::string sent = "(+ 1 2)\x07(define \xC3\xA9t\xC3\xA9 \"\xE2\x99\xAA\xFF\")\x07" "a?b?c?d\x07";
    EXPECT_EQ(s.server.received(), sent);

    // As much as the server accepts goes, the white space around it not counted, and its reply comes: both whole,
    // though far longer than one write piece. A byte more is refused here with a word in the log, rather than sent
    // only to be given up.
    std::string most;
    while (most.size() < omb::wire::MAX_REQUEST_BYTES) most += std::to_string(most.size()) + ',';
    most.resize(omb::wire::MAX_REQUEST_BYTES);
    EXPECT_FALSE(s.client.write_string(most + "x"));
    EXPECT_FALSE(s.client.eval(most + "x", 5s));
    EXPECT_TRUE(s.log.saw(s.log.errors, "The expression was not sent: it is 1050625 bytes long, more than the "
                                        "1050624 bytes a process accepts in one request."));
    auto reply = s.client.eval("\n " + most + " \n", 10s);
    EXPECT_TRUE(reply == std::string(most.rbegin(), most.rend())) << (reply ? reply->size() : 0) << " bytes";
    EXPECT_TRUE(s.server.received() == sent + most + '\x07') << s.server.received().size() << " bytes";
}

TEST(ReplClient, InterruptReachesTheServerWhileEvalWaits) {
    // Answers nothing until interrupted, as a server stuck in a long evaluation would.
    Session s([](int fd, const std::string& request) {
        if (request == "\x03") send_bytes(fd, "interrupted\0"s);
    });
    s.client.interrupt();
    EXPECT_EQ(s.replies(1), std::vector<std::string>{"interrupted"});
    EXPECT_EQ(s.server.received(), "\x03");

    int polls = 0;
    auto reply = s.client.eval("(let loop () (loop))", 10s, [&] {
        if (++polls == 2) s.client.interrupt();
    });
    EXPECT_EQ(reply, "interrupted");
    EXPECT_GE(polls, 2);
}

TEST(ReplClient, ConnectionsFailAndEnd) {
    {
        LogCapture log;
        omb::ReplClient client;
        EXPECT_FALSE(client.connect("127.0.0.1", omb::test::free_port()));
        EXPECT_TRUE(log.saw(log.errors, std::strerror(ECONNREFUSED)));
        EXPECT_FALSE(client.connected());
        // Something on the port that accepts and hangs up without greeting is not an eval server.
        FakeServer rude(FakeServer::reverse, "");
        rude.hang_up = true;
        EXPECT_FALSE(client.connect("127.0.0.1", rude.port));
        EXPECT_TRUE(log.saw(log.errors, "Could not connect to port " + std::to_string(rude.port) +
                                            ". Make sure don't have any other instances of ombrel running and that "
                                            "no other app is using this port!"));
    }
    {
        // close() says goodbye with a request the reader would stop at, then hangs up; the server sees both.
        Session s;
        s.client.close();
        EXPECT_FALSE(s.client.connected());
        ASSERT_TRUE(eventually([&] { return s.server.ends_seen == 1; }));
        EXPECT_EQ(s.server.received(), "shutdownreplthread\x07");
        EXPECT_FALSE(s.client.write_string("(+ 1 2)"));
        EXPECT_FALSE(s.log.saw(s.log.notes, "Connection to the process closed", 0ms)) << "a chosen close is no news";
    }
    {
        // The process goes away while an eval waits: the eval gives up at once and the performer is told.
        Session s([](int, const std::string&) {});
        s.server.hang_up = true;
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(s.client.eval("(+ 1 2)", 60s));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
        EXPECT_FALSE(s.client.connected());
        EXPECT_TRUE(s.log.saw(s.log.notes, "Connection to the process closed"));
        EXPECT_TRUE(s.client.connect("127.0.0.1", s.server.port)) << "again, once the process is back";
    }
    {
        // The goodbye word is the server's goodbye only as the answer to this client's own. Before, it is an
        // ordinary reply ((string->symbol "shutdownreplthread") evaluated) and the connection goes on.
        Session s([](int fd, const std::string& request) {
            send_bytes(fd, request == "(string->symbol \"shutdownreplthread\")" ? "shutdownreplthread\0after\0"s
                                                                                : request + '\0');
        });
        s.client.write_string("(string->symbol \"shutdownreplthread\")");
        EXPECT_EQ(s.replies(2), (std::vector<std::string>{"shutdownreplthread", "after"}));
        EXPECT_EQ(s.client.eval("shutdownreplthread", 5s), "shutdownreplthread") << "evaluating the symbol";
        EXPECT_TRUE(s.client.connected());
        s.client.close();
        ASSERT_TRUE(eventually([&] { return s.server.ends_seen == 1; }));
        EXPECT_EQ(s.replies(2).size(), 2u) << "the answer to the goodbye is no reply";
        EXPECT_FALSE(s.log.saw(s.log.notes, "Connection to the process closed", 0ms));
    }
}

TEST(ReplInput, CompleteWhenParenthesesBalanceOutsideStringsCharactersAndComments) {
    // An escaped quote does not end a string; a surplus of closers counts as whole, for the server to report.
    for (const char* text : {"(+ 1 2)", "(define (f x)\n  (* x x))", "42", "(display \"(\")", "(display \"a \\\" (\")",
                             "(list #\\( #\\))", "(f ; (comment\n)", "(f))"})
        EXPECT_TRUE(omb::repl_input_complete(text)) << text;
    for (const char* text :
         {"(define (f x)", "(display \")\"", "(display \"open", "(list #\\)", "(f #! )) a comment too\n", "#(1 2"})
        EXPECT_FALSE(omb::repl_input_complete(text)) << text;
}

// Runs the terminal client with `args`, its standard input fed by the shell command `input` when given. Gives its
// exit status, ": ", and all it printed.
std::string run_repl(const std::string& args, const std::string& input = "") {
    std::string command = (input.empty() ? "" : input + " | ") + OMBREL_REPL_BIN + " " + args + " 2>&1";
    std::FILE* p = ::popen(command.c_str(), "r");
    if (!p) return "popen failed";
    std::string out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    int status = ::pclose(p);
    return (WIFEXITED(status) ? std::to_string(WEXITSTATUS(status)) : "killed"s) + ": " + out;
}

// Answers as a process would the requests the terminal tests make; anything else comes back after a "?", so a
// reply shows the bytes the server received.
void answer_like_a_process(int fd, const std::string& request) {
    std::string reply = request == "(+ 1 2)"              ? "3"
                        : request == "(clear)"            ? "\x1B[2J\x1B[Hgone"
                        : request == "shutdownreplthread" ? request  // the symbol evaluated, or the goodbye
                                                          : "?" + request;
    send_bytes(fd, reply + '\0');
}

TEST(ReplTerminal, EvaluatesExpressionsFilesAndStandardInput) {
    FakeServer server(answer_like_a_process);
    std::string port = " --port " + std::to_string(server.port);
    EXPECT_EQ(run_repl("--host 127.0.0.1" + port + " /dev/null"), "0: ?\n") << "an empty request still gets its reply";
    // An editor pipes a region: it travels as one request, trimmed.
    EXPECT_EQ(run_repl(port + " -", "printf '\\n(+ 1 2)\\n\\n'"), "0: 3\n");
    // UTF-8 goes as typed; an editor reading the output gets the reply's bytes as they came, escapes and all; a
    // reply that happens to be the goodbye word is a reply like any other.
    EXPECT_EQ(run_repl(port + " -e '(define \xC3\xA9t\xC3\xA9 1)' -e '(clear)' -e shutdownreplthread -e '(+ 1 2)'"),
              "0: ?(define \xC3\xA9t\xC3\xA9 1)\n\x1B[2J\x1B[Hgone\nshutdownreplthread\n3\n");

    // A source longer than the server accepts is not read to its end, nor sent; the others still go.
    const std::string limit = std::to_string(omb::wire::MAX_REQUEST_BYTES);
    // The last client's goodbye may still be on its way: counted from once it has arrived.
    eventually([&] { return server.received().ends_with("shutdownreplthread\x07"); });
    std::size_t received = server.received().size();
    EXPECT_EQ(run_repl(port + " /dev/zero -e '(+ 1 2)'"),
              "1: ombrel-repl: /dev/zero: more than 1050624 bytes; not sent\n3\n");
    EXPECT_EQ(run_repl(port + " -", "yes"), "1: ombrel-repl: standard input: more than 1050624 bytes; not sent\n");
    EXPECT_EQ(server.received().substr(received), "(+ 1 2)\x07shutdownreplthread\x07") << "nothing else went";
    // Exactly the limit goes (and is trimmed to what it says); one byte more does not.
    EXPECT_EQ(run_repl(port + " -", "printf '%" + limit + "s' '(+ 1 2)'"), "0: 3\n");
    EXPECT_EQ(run_repl(port + " -", "printf ' %" + limit + "s' '(+ 1 2)'").substr(0, 3), "1: ");

    std::string refused = run_repl("-e \"(+ 1 2)\" --port " + std::to_string(omb::test::free_port()));
    EXPECT_EQ(refused.rfind("1: ", 0), 0u) << refused;
    EXPECT_NE(refused.find(std::strerror(ECONNREFUSED)), std::string::npos) << refused;
    EXPECT_EQ(run_repl("--port 99999 -e 1"), "2: ombrel-repl: not a port number: 99999\n");
}

TEST(ReplTerminal, ControlCharactersInRepliesAreShownNotObeyed) {
    // Caret notation throughout; newline and tab kept; UTF-8 untouched but for the C1 controls it can encode.
    const std::pair<std::string, std::string> cases[] = {
        {"plain (1 2) \xC3\xA9t\xC3\xA9 \xE2\x99\xAA", "plain (1 2) \xC3\xA9t\xC3\xA9 \xE2\x99\xAA"},
        {"a\tb\nc", "a\tb\nc"},
        {"\x1B[2J\x1B[H\x1B]0;title\x07", "^[[2J^[[H^[]0;title^G"},
        {"\r\x01\x1F\x7F"s + '\0', "^M^A^_^?^@"},
        {"\xC2\x9B" "2J \xC2\x80 \xC2\xA0", "M-^[2J M-^@ \xC2\xA0"},
        {"\xC2", "\xC2"},  // a lead byte at the end is left alone
    };
    for (const auto& [reply, shown] : cases) EXPECT_EQ(omb::escape_controls(reply), shown) << reply;
}

// The terminal client on a pseudo-terminal, as a performer at a keyboard runs it: in the C locale (where readline
// is least willing to take UTF-8 as typed), on a dumb terminal, without the init file of whoever runs the tests.
class TerminalSession {
public:
    explicit TerminalSession(int port) {
        std::string port_text = std::to_string(port);  // before the fork: the child of a threaded process only execs
        winsize size{24, 80, 0, 0};
        if ((pid_ = ::forkpty(&master_, nullptr, nullptr, &size)) == 0) {
            ::execl("/usr/bin/env", "env", "LC_ALL=C", "TERM=dumb", "INPUTRC=/dev/null", OMBREL_REPL_BIN, "--port",
                    port_text.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (pid_ < 0) ADD_FAILURE() << "forkpty: " << std::strerror(errno);
    }
    ~TerminalSession() {
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
        if (master_ >= 0) ::close(master_);
    }

    void type(const std::string& keys) { ASSERT_EQ(::write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }

    // Whether `text` appears, within five seconds, after what was found before.
    bool shows(const std::string& text) {
        return eventually([&] {
            read_some();
            std::size_t at = screen.find(text, found_);
            if (at != std::string::npos) found_ = at + text.size();
            return at != std::string::npos;
        });
    }

    // The program's exit status once it has ended (within five seconds), else -1. The terminal is read meanwhile:
    // a program blocked on a full terminal would never end.
    int exit_status() {
        int status = 0;
        if (!eventually([&] {
                read_some();
                return ::waitpid(pid_, &status, WNOHANG) == pid_;
            }))
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string screen;  // all the terminal showed so far

private:
    void read_some() {
        char buf[4096];
        ssize_t n = readable(master_) ? ::read(master_, buf, sizeof buf) : 0;
        if (n > 0) screen.append(buf, static_cast<std::size_t>(n));
    }

    int master_ = -1;
    pid_t pid_ = -1;
    std::size_t found_ = 0;
};

TEST(ReplTerminal, ThePromptSendsWhatIsTypedAndShowsRepliesSafely) {
    FakeServer server(answer_like_a_process);
    TerminalSession t(server.port);
    ASSERT_TRUE(t.shows("Welcome to Ombrel")) << omb::escape_controls(t.screen);
    // Typed once the prompt is back, as a performer would: until then the terminal is not readline's.
    auto at_prompt_type = [&](const std::string& keys) {
        ASSERT_TRUE(t.shows("ombrel> ")) << omb::escape_controls(t.screen);
        t.type(keys);
    };

    at_prompt_type("(define \xC3\xA9t\xC3\xA9 1)\r");
    EXPECT_TRUE(t.shows("?(define \xC3\xA9t\xC3\xA9 1)\r\n")) << "sent as typed: " << omb::escape_controls(t.screen);
    EXPECT_NE(t.screen.find("ombrel> (define \xC3\xA9t\xC3\xA9 1)\r\n"), std::string::npos)
        << "echoed as typed: " << omb::escape_controls(t.screen);

    at_prompt_type("(clear)\r");
    EXPECT_TRUE(t.shows("\n^[[2J^[[Hgone\r\n")) << omb::escape_controls(t.screen);
    EXPECT_EQ(t.screen.find("\x1B[2J"), std::string::npos) << "the reply cleared the screen";

    at_prompt_type("\x04");  // Ctrl-D
    EXPECT_EQ(t.exit_status(), 0) << omb::escape_controls(t.screen);
}

}  // namespace
