// The REPL client against a stand-in eval server on the loopback interface, and the terminal client run whole.
#include "runtime/repl_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/log_bridge.h"
#include "platform/main_queue.h"

using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

const std::string GREETING = "Welcome to Ombrel\n[ombrel 00:01:02]: ";

// Polls `done` until it holds or five seconds pass.
bool eventually(const std::function<bool()>& done) {
    for (auto end = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < end;) {
        if (done()) return true;
        std::this_thread::sleep_for(2ms);
    }
    return done();
}

void send_bytes(int fd, const std::string& bytes) {
    std::size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<std::size_t>(n);
    }
}

// An eval server as the client sees one: greets each connection, collects requests up to byte 7 and answers each
// through `answer`. A byte 3 is handed to `answer` at once, as the request "\x03". Serves connections in turn.
class FakeServer {
public:
    using Answer = std::function<void(int fd, const std::string& request)>;

    static void reverse(int fd, const std::string& request) {
        if (request == "\x03") return;
        send_bytes(fd, std::string(request.rbegin(), request.rend()) + '\0');
    }

    explicit FakeServer(Answer answer = reverse, std::string greeting = GREETING + '\0')
        : answer_(std::move(answer)), greeting_(std::move(greeting)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            ADD_FAILURE() << "fake server: " << std::strerror(errno);
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }

    int port() const { return port_; }

    std::string received() {
        std::lock_guard lock(mutex_);
        return raw_;
    }
    std::vector<std::string> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    int ends_seen() const { return ends_.load(); }  // connections the client closed
    // Hangs up on the current client, or on the next one right after its greeting.
    void hang_up() { hang_up_ = true; }

private:
    bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 20) > 0;
    }

    void serve() {
        while (!stop_) {
            if (!readable(listener_)) continue;
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            for (std::size_t i = 0; i < greeting_.size(); i += 5) {
                send_bytes(fd, greeting_.substr(i, 5));
                std::this_thread::sleep_for(100us);
            }
            serve_client(fd);
            ::close(fd);
            hang_up_ = false;
        }
    }

    void serve_client(int fd) {
        std::string request;
        char buf[512];
        while (!stop_ && !hang_up_) {
            if (!readable(fd)) continue;
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                ++ends_;
                return;
            }
            std::lock_guard lock(mutex_);
            raw_.append(buf, static_cast<std::size_t>(n));
            for (char c : std::string_view(buf, static_cast<std::size_t>(n))) {
                if (c == 3) {
                    answer_(fd, "\x03");
                } else if (c == 7) {
                    requests_.push_back(request);
                    answer_(fd, request);
                    request.clear();
                } else {
                    request.push_back(c);
                }
            }
        }
    }

    Answer answer_;
    std::string greeting_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false}, hang_up_{false};
    std::atomic<int> ends_{0};
    std::mutex mutex_;
    std::string raw_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// What the client sends to the log, delivered on this (the main) thread.
class LogCapture : public omb::LogTarget {
public:
    LogCapture() {
        omb::main_queue::set_main_thread();
        omb::main_queue::run_pending();
        omb::CPPBridge::attach(this);
    }
    ~LogCapture() override {
        omb::CPPBridge::detach();
        omb::main_queue::run_pending();
    }
    void output(std::string_view) override {}
    void error(std::string_view t) override { errors.emplace_back(t); }
    void notification(std::string_view t) override { notes.emplace_back(t); }
    void styled(const omb::StyledText&) override {}

    bool saw_error(const std::string& text) {
        omb::main_queue::run_pending();
        return std::any_of(errors.begin(), errors.end(), [&](auto& e) { return e.find(text) != e.npos; });
    }
    bool saw_note(const std::string& text) {
        omb::main_queue::run_pending();
        return std::any_of(notes.begin(), notes.end(), [&](auto& n) { return n.find(text) != n.npos; });
    }

    std::vector<std::string> errors, notes;
};

// Collects the replies the reader thread hands to the callback.
struct Replies {
    std::mutex mutex;
    std::vector<std::string> got;
    void attach(omb::ReplClient& client) {
        client.on_reply([this](std::string r) {
            std::lock_guard lock(mutex);
            got.push_back(std::move(r));
        });
    }
    std::vector<std::string> when(std::size_t count) {
        eventually([&] {
            std::lock_guard lock(mutex);
            return got.size() >= count;
        });
        std::lock_guard lock(mutex);
        return got;
    }
};

// A port on which nothing listens: bound once, then released.
int unused_port() {
    FakeServer probe;
    return probe.port();
}

TEST(ReplClient, ConnectReadsTheWholeGreetingHoweverItArrives) {
    LogCapture log;
    // The greeting comes in small pieces, and a first reply follows its byte 0 straight away.
    FakeServer dribbling(FakeServer::reverse, GREETING + '\0' + "early" + '\0');
    omb::ReplClient client;
    Replies replies;
    replies.attach(client);
    ASSERT_TRUE(client.connect("127.0.0.1", dribbling.port()));
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(client.greeting(), GREETING);
    EXPECT_EQ(replies.when(1), std::vector<std::string>{"early"});
    EXPECT_TRUE(client.connect("127.0.0.1", dribbling.port())) << "already connected";
    EXPECT_TRUE(log.errors.empty());
}

TEST(ReplClient, ConnectFailuresAreReported) {
    LogCapture log;
    omb::ReplClient client;
    int port = unused_port();
    EXPECT_FALSE(client.connect("127.0.0.1", port));
    EXPECT_TRUE(log.saw_error(std::strerror(ECONNREFUSED)));
    EXPECT_FALSE(client.connected());

    // Something on the port that accepts and hangs up without greeting is not an eval server.
    FakeServer rude(FakeServer::reverse, "");
    rude.hang_up();
    EXPECT_FALSE(client.connect("127.0.0.1", rude.port()));
    EXPECT_TRUE(log.saw_error("Could not connect to port " + std::to_string(rude.port()) +
                              ". Make sure don't have any other instances of ombrel running and that no other app "
                              "is using this port!"));
}

TEST(ReplClient, RequestsAreTrimmedMadeAsciiAndTerminated) {
    LogCapture log;
    FakeServer server;
    omb::ReplClient client;
    Replies replies;
    replies.attach(client);
    ASSERT_TRUE(client.connect("localhost", server.port()));  // tries ::1 first where it resolves to both

    ASSERT_TRUE(client.write_string("  \n\t(+ 1 2)\r\n \n"));
    ASSERT_TRUE(client.write_string("(display \"h\xC3\xA9llo\")"));
    ASSERT_TRUE(client.write_string("a\x07"s + "b" + '\0' + "c\x03" + "d"));
    ASSERT_TRUE(eventually([&] { return server.requests().size() == 3; }));
    EXPECT_EQ(server.requests(), (std::vector<std::string>{"(+ 1 2)", "(display \"h??llo\")", "a?b?c?d"}));
    EXPECT_EQ(server.received().substr(0, 8), "(+ 1 2)\x07");
    ASSERT_EQ(replies.when(3).size(), 3u);  // so that the eval below waits for its own reply

    // Longer than one write piece both ways: the request arrives whole and so does its reply.
    std::string big = "(list";
    while (big.size() < 5000) big += " \"" + std::to_string(big.size()) + "\"";
    big += ")";
    auto reply = client.eval(big, 5s);
    ASSERT_TRUE(reply);
    EXPECT_TRUE(*reply == std::string(big.rbegin(), big.rend())) << reply->size() << " bytes";
    EXPECT_TRUE(server.requests().back() == big) << server.requests().back().size() << " bytes";
    EXPECT_TRUE(log.errors.empty());
}

TEST(ReplClient, RepliesAreSplitAtTheirZeroByteNotAtReads) {
    LogCapture log;
    FakeServer server([](int fd, const std::string& request) {
        if (request == "dribble") {
            std::string text(3000, 'x');
            text += "end";
            for (std::size_t i = 0; i < text.size(); i += 7) {
                send_bytes(fd, text.substr(i, 7));
                if (i % 700 == 0) std::this_thread::sleep_for(1ms);
            }
            send_bytes(fd, "\0"s);
        } else if (request == "two") {
            send_bytes(fd, "first\0second\0"s);
        } else if (request == "garbled") {
            send_bytes(fd, "caf\xE9\0ok \xE2\x99\xAA\0"s);  // a byte string, then UTF-8
        }
    });
    omb::ReplClient client;
    Replies replies;
    replies.attach(client);
    ASSERT_TRUE(client.connect("127.0.0.1", server.port()));
    client.write_string("dribble");
    client.write_string("two");
    client.write_string("garbled");
    auto got = replies.when(5);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], std::string(3000, 'x') + "end");
    EXPECT_EQ(got[1], "first");
    EXPECT_EQ(got[2], "second");
    EXPECT_EQ(got[3], "caf\xC3\xA9") << "a reply that is not UTF-8 is read as Latin-1, not dropped";
    EXPECT_EQ(got[4], "ok \xE2\x99\xAA");
}

TEST(ReplClient, InterruptReachesTheServerWhileEvalWaits) {
    LogCapture log;
    // Answers nothing until interrupted, as a server stuck in a long evaluation would.
    FakeServer server([](int fd, const std::string& request) {
        if (request == "\x03") send_bytes(fd, "interrupted\0"s);
    });
    omb::ReplClient client;
    Replies replies;
    replies.attach(client);
    ASSERT_TRUE(client.connect("127.0.0.1", server.port()));
    client.interrupt();
    EXPECT_EQ(replies.when(1), std::vector<std::string>{"interrupted"});
    EXPECT_EQ(server.received(), "\x03");

    std::atomic<int> polls{0};
    auto reply = client.eval("(let loop () (loop))", 10s, [&] {
        if (++polls == 2) client.interrupt();
    });
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, "interrupted");
    EXPECT_GE(polls.load(), 2);
}

TEST(ReplClient, ConnectionEnds) {
    LogCapture log;
    {
        // close() says goodbye with a request the reader would stop at, then hangs up; the server sees both.
        FakeServer server;
        omb::ReplClient client;
        ASSERT_TRUE(client.connect("127.0.0.1", server.port()));
        client.close();
        EXPECT_FALSE(client.connected());
        ASSERT_TRUE(eventually([&] { return server.ends_seen() == 1; }));
        EXPECT_EQ(server.received(), "shutdownreplthread\x07");
        EXPECT_FALSE(client.write_string("(+ 1 2)"));
        EXPECT_FALSE(log.saw_note("Connection to the process closed")) << "a chosen close is no news";
    }
    {
        // The process goes away while an eval waits: the eval gives up at once and the performer is told.
        FakeServer server([](int, const std::string&) {});
        omb::ReplClient client;
        ASSERT_TRUE(client.connect("127.0.0.1", server.port()));
        server.hang_up();
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(client.eval("(+ 1 2)", 60s));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
        EXPECT_FALSE(client.connected());
        EXPECT_TRUE(eventually([&] { return log.saw_note("Connection to the process closed"); }));
        // It may connect again once the process is back.
        EXPECT_TRUE(client.connect("127.0.0.1", server.port()));
    }
    {
        // A reply "shutdownreplthread" stops the reader: what follows is not delivered.
        FakeServer server([](int fd, const std::string&) { send_bytes(fd, "shutdownreplthread\0after\0"s); });
        omb::ReplClient client;
        Replies replies;
        replies.attach(client);
        ASSERT_TRUE(client.connect("127.0.0.1", server.port()));
        client.write_string("bye");
        EXPECT_TRUE(eventually([&] { return !client.connected(); }));
        EXPECT_TRUE(replies.when(0).empty());
    }
}

TEST(ReplInput, CompleteWhenParenthesesBalanceOutsideStringsCharactersAndComments) {
    struct Case {
        const char* text;
        bool complete;
    };
    const Case cases[] = {
        {"(+ 1 2)", true},
        {"(define (f x)", false},
        {"(define (f x)\n  (* x x))", true},
        {"42", true},
        {"(display \"(\")", true},
        {"(display \")\"", false},
        {"(display \"a \\\" (\")", true},  // an escaped quote does not end the string
        {"(display \"open", false},
        {"(list #\\( #\\))", true},
        {"(list #\\)", false},
        {"(f ; (comment\n)", true},
        {"(f #! )) a comment too\n", false},
        {"(f))", true},  // too many closers: the server reports it
        {"#(1 2", false},
    };
    for (const auto& c : cases) EXPECT_EQ(omb::repl_input_complete(c.text), c.complete) << c.text;
}

struct Run {
    int status;
    std::string out;
};

// Runs the terminal client with `args`, its standard input fed by the shell command `input` when given.
Run run_repl(const std::string& args, const std::string& input = "") {
    std::string command = (input.empty() ? "" : input + " | ") + OMBREL_REPL_BIN + " " + args + " 2>&1";
    Run run{-1, {}};
    std::FILE* p = ::popen(command.c_str(), "r");
    if (!p) return run;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) run.out.append(buf, n);
    int status = ::pclose(p);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(ReplTerminal, EvaluatesExpressionsFilesAndStandardInput) {
    FakeServer server([](int fd, const std::string& request) {
        std::string reply = request == "(+ 1 2)" ? "3" : request == "(car '(a b))" ? "a" : "?" + request;
        send_bytes(fd, reply + '\0');
    });
    std::string port = " --port " + std::to_string(server.port());

    auto run = run_repl("-e \"(+ 1 2)\" -e \"(car '(a b))\"" + port);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "3\na\n");

    run = run_repl("--host 127.0.0.1" + port + " - < /dev/null");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "?\n") << "an empty request still gets its reply";

    // An editor pipes a region: it travels as one request, trimmed.
    run = run_repl(port + " -", "printf '\\n(+ 1 2)\\n\\n'");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "3\n");

    run = run_repl("-e \"(+ 1 2)\" --port " + std::to_string(unused_port()));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find(std::strerror(ECONNREFUSED)), std::string::npos) << run.out;

    run = run_repl("--port 99999 -e 1");
    EXPECT_EQ(run.status, 2);
}

}  // namespace
