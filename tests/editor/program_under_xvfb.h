// The real `ombrel` with windows, on an Xvfb display of the test suite's own: started with a port and files, played
// with real key and mouse events (xdotool), asked through the REPL client. The test target defines OMBREL_BIN and
// OMBREL_REPL_BIN.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace omb::test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        if (done()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return done();
}

inline std::string contents(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A child that dies with the test, its output in `log`.
inline pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, const fs::path& log) {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    FILE* out = std::fopen(log.c_str(), "w");
    if (out) dup2(fileno(out), 1), dup2(fileno(out), 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

inline int end_child(pid_t& pid, int signal) {
    if (pid <= 0) return -1;
    kill(pid, signal);
    int status = 0;
    if (!eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10s)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[512];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// Whether a server listens on that Unix socket (its file appears a moment before it accepts).
inline bool accepts(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

class ProgramUnderXvfb : public ::testing::Test {
protected:
    static constexpr int kScreenWidth = 1280, kScreenHeight = 900;

    static void SetUpTestSuite() {
        // A display of our own: the first free number from a pid-based start.
        for (int n = 150 + getpid() % 100; n < 400 && display_.empty(); ++n) {
            if (fs::exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
            const std::string name = ":" + std::to_string(n);
            const std::string size = std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24";
            // -noreset: the server would otherwise reset when the last program of a test goes, and refuse the next.
            xvfb_ = spawn({"Xvfb", name, "-screen", "0", size, "-nolisten", "tcp", "-noreset"}, {},
                          fs::temp_directory_path() / ("ombrel-xvfb" + std::to_string(n) + ".log"));
            // Ours only when the display's lock names our server: test programs running side by side may race
            // for one number, and the loser's socket check would otherwise see the winner's display.
            const auto ours = [&] {
                const std::string lock = contents("/tmp/.X" + std::to_string(n) + "-lock");
                return !lock.empty() && std::atol(lock.c_str()) == static_cast<long>(xvfb_) &&
                       accepts("/tmp/.X11-unix/X" + std::to_string(n));
            };
            if (eventually(ours, 5s)) display_ = name;
            else end_child(xvfb_, SIGKILL);
        }
    }
    static void TearDownTestSuite() {
        end_child(xvfb_, SIGTERM);
        display_.clear();
    }

    void SetUp() override {
        ASSERT_FALSE(display_.empty()) << "no Xvfb display";
        dir_ = fs::temp_directory_path() / ("ombrel-xvfb-test-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        for (pid_t& p : programs_) end_child(p, SIGKILL);
        fs::remove_all(dir_);
    }

    std::vector<std::string> env() const {
        return {"DISPLAY=" + display_, "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
                "XDG_DATA_HOME=" + (dir_ / "data").string(), "XDG_STATE_HOME=" + (dir_ / "state").string()};
    }
    pid_t& start(int port, const std::vector<std::string>& files = {}) {
        std::vector<std::string> args = {OMBREL_BIN, "--audio", "null", "--port", std::to_string(port)};
        args.insert(args.end(), files.begin(), files.end());
        programs_.push_back(spawn(args, env(), dir_ / "ombrel.out"));
        return programs_.back();
    }
    std::string xdotool(const std::string& args) const {
        return run("DISPLAY=" + display_ + " xdotool " + args + " 2>/dev/null");
    }
    // The first window whose name matches, within the limit; empty when none.
    std::string window(const std::string& name, std::chrono::milliseconds limit = 30s) const {
        std::string id;
        eventually([&] { return !(id = xdotool("search --name '" + name + "'")).empty(); }, limit);
        return id.substr(0, id.find('\n'));
    }
    void keys(const std::string& window_id, const std::string& keys_text) const {
        xdotool("windowfocus --sync " + window_id);
        xdotool("key --clearmodifiers --delay 30 " + keys_text);
    }
    void type(const std::string& window_id, const std::string& text) const {
        xdotool("windowfocus --sync " + window_id);
        xdotool("type --delay 10 '" + text + "'");
    }
    static std::string eval(int port, const std::string& expression) {
        return run(std::string(OMBREL_REPL_BIN) + " --port " + std::to_string(port) + " -e '" + expression + "'");
    }
    static bool eval_becomes(int port, const std::string& expression, const std::string& value) {
        return eventually([&] { return eval(port, expression) == value; }, 5s);
    }
    std::string output() const { return contents(dir_ / "ombrel.out"); }
    std::string log_file() const { return contents(dir_ / "state" / "ombrel" / "ombrel.log"); }

    static inline std::string display_;
    static inline pid_t xvfb_ = -1;
    fs::path dir_;
    std::vector<pid_t> programs_;
};

}  // namespace omb::test
