// The `ombrel` program run as a performer runs it: a child process on the null audio driver, live-coded with the
// terminal client, stopped with SIGTERM.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/free_port.h"

using namespace std::chrono_literals;

namespace {

// A socket bound (port 0: the kernel picks one) or connected to a loopback port; the port, or -1 on failure. A
// connection is kept open when `keep` is given. Connecting, sending and receiving give up after two seconds (a full
// backlog would hold a connect for minutes).
int loopback(int port, bool connect, int* keep = nullptr) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval two_seconds{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &two_seconds, sizeof two_seconds);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &two_seconds, sizeof two_seconds);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof addr;
    auto* a = reinterpret_cast<sockaddr*>(&addr);
    bool ok = connect ? ::connect(fd, a, len) == 0 : ::bind(fd, a, len) == 0 && ::getsockname(fd, a, &len) == 0;
    if (ok && keep) *keep = fd;
    else ::close(fd);
    return ok ? ntohs(addr.sin_port) : -1;
}

bool listening(int port) { return loopback(port, true) > 0; }

// A port P such that P and P + 1 are both free right now.
int free_port_pair() { return omb::test::free_port(2); }

std::string read_file(const std::filesystem::path& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// One `ombrel` child, its standard output and error in one file; killed if a test leaves it running.
class Ombrel {
public:
    // `max_files`: the child's descriptor limit, when not 0.
    Ombrel(int port, const std::filesystem::path& out, const std::string& audio = "null", rlim_t max_files = 0)
        : out_(out) {
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::string port_text = std::to_string(port);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            if (max_files) {
                rlimit limit{max_files, max_files};
                ::setrlimit(RLIMIT_NOFILE, &limit);
            }
            ::execl(OMBREL_BIN, OMBREL_BIN, "--headless", "--audio", audio.c_str(), "--port", port_text.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fd);
    }
    ~Ombrel() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // SIGTERM, then the exit status if it ends within `limit`; -1 when it had to be killed.
    int terminate(std::chrono::milliseconds limit = 10s) {
        ::kill(pid_, SIGTERM);
        for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }
    bool running() { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
    std::string output() const { return read_file(out_); }
    bool said(const std::string& text) const { return output().find(text) != std::string::npos; }
    // Whether the program says `text` within 10 seconds: it may listen before it says so.
    bool says(const std::string& text) const {
        for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
            if (said(text)) return true;
            std::this_thread::sleep_for(20ms);
        }
        return said(text);
    }

    // Whether the program listens on `port` within 30 seconds (and has not ended).
    bool listens(int port) {
        for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;) {
            if (listening(port)) return true;
            if (!running()) return false;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

private:
    pid_t pid_ = -1;
    std::filesystem::path out_;
};

// The terminal client's standard output for one expression (several with "' -e '" between them).
std::string repl(int port, const std::string& expression) {
    std::string command = std::string(OMBREL_REPL_BIN) + " --port " + std::to_string(port) + " -e '" + expression +
                          "' 2>/dev/null";
    std::string out;
    if (std::FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

// Asks until the reply is `want` or `limit` passes (or the program ends); the last reply.
std::string repl_until(int port, const std::string& expression, const std::string& want, Ombrel& program,
                       std::chrono::seconds limit = 30s) {
    std::string reply;
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        if ((reply = repl(port, expression)) == want || !program.running()) break;
        std::this_thread::sleep_for(20ms);
    }
    return reply;
}

class OmbrelProgram : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("ombrel-program-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        // The children load no performer's library files.
        ::setenv("XDG_DATA_HOME", dir_.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
        port_ = free_port_pair();
        ASSERT_NE(port_, 0);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::filesystem::path dir_;
    int port_ = 0;
};

// Two copies, the second on the next port. Each serves the terminal client and keeps its definitions across
// connections; careless requests get what they deserve; a flood of callbacks scheduled close to the clock (the way
// a new performer first tries it) all run while the queue thread slices; a runaway evaluation does not hold up
// SIGTERM, and the other copy serves on and ends cleanly.
TEST_F(OmbrelProgram, TwoCopiesServeTheTerminalClientAndEndCleanlyOnSigterm) {
    Ombrel first(port_, dir_ / "first.txt");
    ASSERT_TRUE(first.listens(port_)) << first.output();
    Ombrel second(port_, dir_ / "second.txt");
    ASSERT_TRUE(second.listens(port_ + 1)) << second.output();
    EXPECT_TRUE(second.says("port " + std::to_string(port_) + " is taken, trying " + std::to_string(port_ + 1)))
        << second.output();
    EXPECT_TRUE(second.says("listening on 127.0.0.1:" + std::to_string(port_ + 1))) << second.output();

    // A byte string comes back readable, not lost; UTF-8 as typed; an unfinished datum ends in its error after the
    // data before it ran; the null driver runs the clock.
    EXPECT_EQ(repl(port_, "(define kept 1)' -e '(string->symbol \"\")' -e '; nothing here' -e '(define (f x) (+ x 1)"
                          "' -e '(list->string (list (integer->char 233)))' -e '(string-append \"\xC3\xA9t\xC3\xA9\")"
                          "' -e '(> (now) 0)"),
              "kept\n\n!\nError: syntax error: end of input inside a list \n\n"
              "\"\xC3\xA9\"\n\"\xC3\xA9t\xC3\xA9\"\n#t\n");
    EXPECT_EQ(repl(port_, "kept"), "1\n");
    EXPECT_EQ(repl(port_ + 1, "(+ 1 2)"), "3\n");

    const std::string flood = "(let loop ((i 0)) (if (< i 5000) (begin (callback (+ (now) (modulo i 7)) noop) "
                              "(loop (+ i 1))) (quote done)))";
    std::string command = std::string(OMBREL_REPL_BIN) + " --port " + std::to_string(port_ + 1) +
                          " -e '(define calls 0)' -e '(define (noop) (set! calls (+ calls 1)))'";
    for (int i = 0; i < 10; ++i) command += " -e '" + flood + "'";
    EXPECT_EQ(std::system((command + " > /dev/null 2>&1").c_str()), 0);
    EXPECT_EQ(repl_until(port_ + 1, "calls", "50000\n", second), "50000\n") << second.output();

    int fd = -1;
    ASSERT_GT(loopback(port_ + 1, true, &fd), 0);
    const std::string runaway = "(let loop () (loop))\x07";
    ASSERT_EQ(::send(fd, runaway.data(), runaway.size(), MSG_NOSIGNAL), static_cast<ssize_t>(runaway.size()));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(second.terminate(2s), 0) << "SIGTERM during a runaway evaluation:\n" << second.output();
    ::close(fd);

    EXPECT_EQ(repl(port_, "(+ 2 2)"), "4\n") << "the first copy serves on";
    EXPECT_EQ(first.terminate(), 0) << first.output();
    EXPECT_FALSE(listening(port_));
}

// The local UDP addresses bound to `port`, as the kernel lists them ("0100007F" is 127.0.0.1, "00000000" any).
std::vector<std::string> udp_binds(int port) {
    std::ifstream table("/proc/net/udp");
    std::vector<std::string> found;
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, "%04X", port);
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        if (local.size() == 13 && local.substr(9) == wanted) found.push_back(local.substr(0, 8));
    }
    return found;
}

// The preferences set what the command line does not; quitting writes them, but never over a file that could
// not be read (the performer's edits would be lost). OSC listens on loopback unless the performer opens it.
TEST_F(OmbrelProgram, PreferencesAreReadSavedOnQuitAndADamagedFileIsKept) {
    const auto file = dir_ / "config" / "ombrel" / "ombrel.plist";
    const int osc_port = omb::test::free_port();
    auto run = [&](const char* out, const char* frames, std::vector<std::string> osc_binds = {}) {
        Ombrel program(port_, dir_ / out);
        EXPECT_TRUE(program.listens(port_)) << program.output();
        EXPECT_EQ(repl(port_, "*au:frames*"), std::string(frames) + "\n");
        if (!osc_binds.empty()) {
            EXPECT_EQ(udp_binds(osc_port), osc_binds) << program.output();
        }
        EXPECT_EQ(program.terminate(), 0);
        return program.output();
    };
    EXPECT_NE(run("first.txt", "256").find("Loaded Defaults!"), std::string::npos);
    std::string text = read_file(file);
    const std::string osc_edit = "<key>osc_port</key><integer>" + std::to_string(osc_port) + "</integer>";
    for (auto [saved, edited] : {std::pair<std::string, std::string>{
                                     "<key>audio_frames</key>\n\t\t<integer>256</integer>",
                                     "<key>audio_frames</key><integer>512</integer>"},
                                 {"<key>reap_callbacks</key>\n\t\t<false/>", "<key>reap_callbacks</key><true/>"},
                                 {"<key>osc_port</key>\n\t\t<integer>7009</integer>", osc_edit},
                                 {"<key>osc_remote</key>\n\t\t<false/>", "<key>osc_remote</key><true/>"}}) {
        auto at = text.find(saved);
        ASSERT_NE(at, std::string::npos) << "the preferences were saved on quit:\n" << text;
        text.replace(at, saved.size(), edited);
    }
    std::ofstream(file) << text;
    std::string said = run("second.txt", "512", {"00000000"});
    EXPECT_NE(said.find("Reap Callbacks: 1"), std::string::npos) << said;
    EXPECT_EQ(said.find("Loaded Defaults!"), std::string::npos) << said;

    std::ofstream(file) << "<plist><dict><key>audio_frames";
    said = run("third.txt", "256");
    EXPECT_EQ(read_file(file), "<plist><dict><key>audio_frames");
    EXPECT_NE(said.find("Cannot read the preferences: " + file.string()), std::string::npos) << said;
}

// Out of file descriptors, connections beyond the limit are refused at once and the clients already connected are
// still served; when they leave, new ones are welcome again.
TEST_F(OmbrelProgram, RunningOutOfDescriptorsRefusesConnectionsAndServesOn) {
    Ombrel program(port_, dir_ / "out.txt", "null", 64);
    ASSERT_TRUE(program.listens(port_)) << program.output();
    std::vector<int> fds;
    for (int fd; fds.size() < 100 && loopback(port_, true, &fd) > 0;) fds.push_back(fd);
    int refused = 0, greeted = 0;
    for (int fd : fds) {
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        refused += n == 0;
        greeted += n > 0;
    }
    for (int fd : fds) ::close(fd);
    EXPECT_GT(refused, 0);
    EXPECT_GT(greeted, 0);
    EXPECT_EQ(repl_until(port_, "(+ 1 2)", "3\n", program, 20s), "3\n");
    EXPECT_EQ(program.terminate(), 0);
    EXPECT_TRUE(program.said("out of file descriptors; refusing new connections")) << program.output();
}

TEST_F(OmbrelProgram, BadArgumentsAreRefusedBeforeAnythingStarts) {
    for (const char* args : {"--listen foo", "--listen", "--port 0", "--port 70000", "--frames 8", "--frames abc",
                             "--bogus"}) {
        int status = std::system((std::string(OMBREL_BIN) + " " + args + " > /dev/null 2>&1").c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args;
    }
}

// With the offline driver the clock runs as fast as the work allows, in lock step with Scheme: a hundred seconds
// of a temporal recursion pass in a moment of wall time, and every step still runs before its time.
TEST_F(OmbrelProgram, TheOfflineDriverRunsTheClockInLockStepWithScheme) {
    Ombrel program(port_, dir_ / "out.txt", "offline");
    ASSERT_TRUE(program.listens(port_)) << program.output();
    ASSERT_EQ(repl(port_, "(begin (define late 0) (define steps 0)"
                          " (define (step t n) (if (> (now) t) (set! late (+ late 1))) (set! steps (+ steps 1))"
                          "   (if (< n 1000) (callback (+ t 4410) step (+ t 4410) (+ n 1))))"
                          " (step (now) 1) #t)"),
              "#t\n");
    EXPECT_EQ(repl_until(port_, "(list steps late)", "(1000 0)\n", program, 60s), "(1000 0)\n") << program.output();
    EXPECT_EQ(program.terminate(), 0) << program.output();
}

// Drawing on the sample clock: fifty clears of one canvas, a tenth of a second apart, each read back by a callback
// half-way to the next. With the offline driver the clock waits for the work, so every reading must see its own
// clear: in order, none skipped, none late.
TEST_F(OmbrelProgram, DrawingScheduledAtSampleTimesLandsInOrder) {
    Ombrel program(port_, dir_ / "out.txt", "offline");
    ASSERT_TRUE(program.listens(port_)) << program.output();
    ASSERT_EQ(repl(port_, "(begin (define c (gfx:make-canvas 4 4)) (define seen (quote ()))"
                          " (define (look) (set! seen (cons (inexact->exact (round (* 49 (vector-ref"
                          "   (gfx:get-image-pixels (gfx:get-image-from-canvas c) (vector 1 1)) 0)))) seen)))"
                          " (let ((t (+ (now) 4410))) (let loop ((k 0)) (if (< k 50) (begin"
                          "   (schedule (+ t (* k 4410)) *gfx:clear-canvas* c (list (/ k 49.0) 0 0 1))"
                          "   (callback (+ t (* k 4410) 2205) look) (loop (+ k 1)))))) #t)"),
              "#t\n");
    std::string expected = "(";
    for (int k = 0; k < 50; ++k) expected += std::to_string(k) + (k < 49 ? " " : ")\n");
    EXPECT_EQ(repl_until(port_, "(reverse seen)", expected, program, 60s), expected) << program.output();
    EXPECT_EQ(program.terminate(), 0) << program.output();
}

// Quitting while a movie records finishes it: the movie is in place under its name, and no temporary is left.
TEST_F(OmbrelProgram, QuittingWhileAMovieRecordsPutsItInPlace) {
    Ombrel program(port_, dir_ / "out.txt");
    ASSERT_TRUE(program.listens(port_)) << program.output();
    const auto movie = dir_ / "quit.mov";
    ASSERT_EQ(repl(port_, "(begin (define c (gfx:make-canvas 64 48)) (gfx:start-movie-capture c \"" + movie.string() +
                          "\"))"),
              "#t\n");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(program.terminate(), 0) << program.output();
    EXPECT_GT(std::filesystem::exists(movie) ? std::filesystem::file_size(movie) : 0, 0u) << program.output();
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos) << entry.path();
}

}  // namespace
