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

using namespace std::chrono_literals;

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

// bind (port 0: the kernel picks one, returned) or connect to a loopback port; -1 on failure.
int try_port(int port, bool connect) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback(port);
    socklen_t len = sizeof addr;
    auto* a = reinterpret_cast<sockaddr*>(&addr);
    bool ok = connect ? ::connect(fd, a, len) == 0 : ::bind(fd, a, len) == 0 && ::getsockname(fd, a, &len) == 0;
    ::close(fd);
    return ok ? ntohs(addr.sin_port) : -1;
}

bool listening(int port) { return try_port(port, true) > 0; }

// A port P such that P and P + 1 are both free right now.
int free_port_pair() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int port = try_port(0, false);
        if (port > 0 && port < 65000 && try_port(port + 1, false) > 0) return port;
    }
    return 0;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
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
            ::execl(OMBREL_BIN, OMBREL_BIN, "--audio", audio.c_str(), "--port", port_text.c_str(),
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
    bool running() {
        return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0;
    }
    std::string output() const { return read_file(out_); }

private:
    pid_t pid_ = -1;
    std::filesystem::path out_;
};

bool wait_listening(int port, Ombrel& program) {
    for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;) {
        if (listening(port)) return true;
        if (!program.running()) return false;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// The terminal client's standard output for one expression.
std::string repl(int port, const std::string& expression) {
    std::string command = std::string(OMBREL_REPL_BIN) + " --port " + std::to_string(port) + " -e '" + expression +
                          "' 2>/dev/null";
    std::string out;
    if (std::FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
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

TEST_F(OmbrelProgram, ServesTheTerminalClientAndEndsCleanlyOnSigterm) {
    Ombrel program(port_, dir_ / "out.txt");
    ASSERT_TRUE(wait_listening(port_, program)) << program.output();
    EXPECT_EQ(repl(port_, "(+ 1 2)"), "3\n");
    EXPECT_EQ(repl(port_, "(begin (define x 20) (* x 2))"), "40\n");
    EXPECT_EQ(repl(port_, "x"), "20\n") << "one process keeps its definitions across connections";
    EXPECT_EQ(repl(port_, "(> (now) 0)"), "#t\n") << "the null driver runs the clock";
    EXPECT_EQ(repl(port_, "(list->string (list (integer->char 233)))"), "\"\xC3\xA9\"\n")
        << "a byte string comes back readable, not lost";
    EXPECT_EQ(program.terminate(), 0) << program.output();
    EXPECT_FALSE(listening(port_));
}

// Many callbacks scheduled in loops from a client, close to the clock (the way a new performer first tries it),
// all run while the queue thread slices; then a runaway evaluation does not hold up SIGTERM.
TEST_F(OmbrelProgram, SurvivesACallbackFloodAndStopsPromptlyDuringARunawayLoop) {
    Ombrel program(port_, dir_ / "out.txt");
    ASSERT_TRUE(wait_listening(port_, program)) << program.output();
    const std::string flood = "(let loop ((i 0)) (if (< i 5000) (begin (callback (+ (now) (modulo i 7)) noop) "
                              "(loop (+ i 1))) (quote done)))";
    std::string command = std::string(OMBREL_REPL_BIN) + " --port " + std::to_string(port_) +
                          " -e '(define calls 0)' -e '(define (noop) (set! calls (+ calls 1)))'";
    for (int i = 0; i < 10; ++i) command += " -e '" + flood + "'";
    EXPECT_EQ(std::system((command + " > /dev/null 2>&1").c_str()), 0);
    std::string calls;
    for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;) {
        calls = repl(port_, "calls");
        if (calls == "50000\n" || !program.running()) break;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(calls, "50000\n") << program.output();

    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(port_);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string runaway = "(let loop () (loop))\x07";
    ASSERT_EQ(::send(fd, runaway.data(), runaway.size(), MSG_NOSIGNAL), static_cast<ssize_t>(runaway.size()));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(program.terminate(2s), 0) << "SIGTERM during a runaway evaluation:\n" << program.output();
    ::close(fd);
}

// Careless input through the terminal client: every request answered at once with what it deserves, and the
// process serves on with its definitions.
TEST_F(OmbrelProgram, CarelessRequestsGetTheirOwnReplies) {
    Ombrel program(port_, dir_ / "out.txt");
    ASSERT_TRUE(wait_listening(port_, program)) << program.output();
    const std::string replies = repl(port_, "(define kept 1)' -e '(string->symbol \"\")' -e '; nothing here' -e "
                                            "'(define (f x) (+ x 1)' -e '(string-append \"\xC3\xA9t\xC3\xA9\")' -e 'kept");
    EXPECT_EQ(replies,
              "kept\n\n!\nError: syntax error: end of input inside a list \n\n\"\xC3\xA9t\xC3\xA9\"\n1\n");
    EXPECT_EQ(program.terminate(), 0) << program.output();
}

TEST_F(OmbrelProgram, ASecondCopyMovesToTheNextPort) {
    Ombrel first(port_, dir_ / "first.txt");
    ASSERT_TRUE(wait_listening(port_, first)) << first.output();
    Ombrel second(port_, dir_ / "second.txt");
    ASSERT_TRUE(wait_listening(port_ + 1, second)) << second.output();
    EXPECT_EQ(repl(port_ + 1, "(+ 1 2)"), "3\n");
    EXPECT_EQ(repl(port_, "(+ 2 2)"), "4\n") << "the first copy serves on";
    EXPECT_EQ(second.terminate(), 0);
    EXPECT_EQ(first.terminate(), 0);
    std::string said = second.output();
    EXPECT_NE(said.find("port " + std::to_string(port_) + " is taken, trying " + std::to_string(port_ + 1)),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("listening on 127.0.0.1:" + std::to_string(port_ + 1)), std::string::npos) << said;
}

// The preferences set what the command line does not; quitting writes them, but never over a file that could
// not be read (the performer's edits would be lost).
TEST_F(OmbrelProgram, PreferencesAreReadSavedOnQuitAndADamagedFileIsKept) {
    const auto file = dir_ / "config" / "ombrel" / "ombrel.plist";
    {
        Ombrel program(port_, dir_ / "first.txt");
        ASSERT_TRUE(wait_listening(port_, program)) << program.output();
        EXPECT_EQ(repl(port_, "*au:frames*"), "256\n");
        EXPECT_EQ(program.terminate(), 0);
        EXPECT_NE(program.output().find("Loaded Defaults!"), std::string::npos) << program.output();
    }
    std::string text = read_file(file);
    const std::string frames = "<key>audio_frames</key>\n\t\t<integer>256</integer>";
    auto at = text.find(frames);
    ASSERT_NE(at, std::string::npos) << "the preferences were saved on quit:\n" << text;
    text.replace(at, frames.size(), "<key>audio_frames</key><integer>512</integer>");
    const std::string reap = "<key>reap_callbacks</key>\n\t\t<false/>";
    at = text.find(reap);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, reap.size(), "<key>reap_callbacks</key><true/>");
    std::ofstream(file) << text;
    {
        Ombrel program(port_, dir_ / "second.txt");
        ASSERT_TRUE(wait_listening(port_, program)) << program.output();
        EXPECT_EQ(repl(port_, "*au:frames*"), "512\n");
        EXPECT_EQ(program.terminate(), 0);
        EXPECT_NE(program.output().find("Reap Callbacks: 1"), std::string::npos) << program.output();
        EXPECT_EQ(program.output().find("Loaded Defaults!"), std::string::npos) << program.output();
    }

    std::ofstream(file) << "<plist><dict><key>audio_frames";
    Ombrel program(port_, dir_ / "third.txt");
    ASSERT_TRUE(wait_listening(port_, program)) << program.output();
    EXPECT_EQ(repl(port_, "*au:frames*"), "256\n");
    EXPECT_EQ(program.terminate(), 0);
    EXPECT_EQ(read_file(file), "<plist><dict><key>audio_frames");
    EXPECT_NE(program.output().find("Cannot read the preferences: " + file.string()), std::string::npos)
        << program.output();
}

// Out of file descriptors, connections beyond the limit are refused at once and the clients already connected are
// still served; when they leave, new ones are welcome again.
TEST_F(OmbrelProgram, RunningOutOfDescriptorsRefusesConnectionsAndServesOn) {
    Ombrel program(port_, dir_ / "out.txt", "null", 64);
    ASSERT_TRUE(wait_listening(port_, program)) << program.output();
    std::vector<int> fds;
    for (int i = 0; i < 100; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = loopback(port_);
        timeval two_seconds{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &two_seconds, sizeof two_seconds);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &two_seconds, sizeof two_seconds);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            break;
        }
        fds.push_back(fd);
    }
    int refused = 0, greeted = 0;
    for (int fd : fds) {
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n == 0) ++refused;
        if (n > 0) ++greeted;
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(greeted, 0);
    for (int fd : fds) ::close(fd);
    std::string reply;
    for (auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end && reply != "3\n";)
        reply = repl(port_, "(+ 1 2)");
    EXPECT_EQ(reply, "3\n");
    EXPECT_EQ(program.terminate(), 0);
    EXPECT_NE(program.output().find("out of file descriptors; refusing new connections"), std::string::npos)
        << program.output();
}

TEST_F(OmbrelProgram, BadArgumentsAreRefusedBeforeAnythingStarts) {
    for (const char* args : {"--listen foo", "--listen", "--port 0", "--port 70000", "--frames 8", "--frames abc",
                             "--bogus"}) {
        std::string command = std::string(OMBREL_BIN) + " " + args + " > /dev/null 2>&1";
        int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args;
    }
}

// With the offline driver the clock runs as fast as the work allows, in lock step with Scheme: a hundred seconds
// of a temporal recursion pass in a moment of wall time, and every step still runs before its time.
TEST_F(OmbrelProgram, TheOfflineDriverRunsTheClockInLockStepWithScheme) {
    Ombrel program(port_, dir_ / "out.txt", "offline");
    ASSERT_TRUE(wait_listening(port_, program)) << program.output();
    ASSERT_EQ(repl(port_,
                   "(begin (define late 0) (define steps 0)"
                   " (define (step t n) (if (> (now) t) (set! late (+ late 1))) (set! steps (+ steps 1))"
                   "   (if (< n 1000) (callback (+ t 4410) step (+ t 4410) (+ n 1))))"
                   " (step (now) 1) #t)"),
              "#t\n");
    std::string result;
    for (auto end = std::chrono::steady_clock::now() + 60s; std::chrono::steady_clock::now() < end;) {
        result = repl(port_, "(list steps late)");
        if (result == "(1000 0)\n") break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(result, "(1000 0)\n") << program.output();
    EXPECT_EQ(program.terminate(), 0) << program.output();
}

}  // namespace
