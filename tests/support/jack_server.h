// A jackd of the test's own on the dummy backend, and the child-process helpers it is built on: real JACK with no
// sound card, for the audio and MIDI tests.
#pragma once

#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

inline const fs::path kServerDir = "/tmp/ombrel-jackd-tests";

inline bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// The command line of `pid`, arguments separated by spaces; empty once it is gone.
inline std::string command_line(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
    std::string args((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (char& c : args)
        if (c == '\0') c = ' ';
    return args;
}

// A child that dies with this process (PR_SET_PDEATHSIG), its output in `log`; -1 if it could not be forked.
inline pid_t spawn(const std::vector<std::string>& args, const std::string& log) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        close_range(3, ~0U, 0);  // our JACK clients' sockets stay ours
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Sends `signal` and reaps the child, with SIGKILL after 5 s; `pid` becomes -1. False if it had already exited.
inline bool end_child(pid_t& pid, int signal, int* status) {
    if (pid <= 0) return false;
    ::kill(pid, signal);
    if (!wait_until([&] { return waitpid(pid, status, WNOHANG) == pid; }, 5000ms)) {
        ::kill(pid, SIGKILL);
        waitpid(pid, status, 0);
    }
    pid = -1;
    return true;
}

inline std::string contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A jackd of our own: `jackd -n NAME -d dummy -r 48000 -p 256`, NAME one of a few "ombrel-test-N" held through a
// lock file for as long as this program runs, so parallel test programs and a server the machine runs never meet.
// JACK's shared registry has room for eight servers per machine, and a server that was killed outright keeps its
// entry (and about 100 MB of shared memory) until a server of the same name starts: hence a small pool of names
// that are reused, and a killed server is followed by a clean start and stop under its name. The server dies with
// this process (PR_SET_PDEATHSIG); one left by a crashed run is found through its pid file and killed.
// Separate servers do not make separate clients, though: libjack names a client's socket after the client and the
// user, not the server, so two programs opening same-named clients at the same moment break each other's opening.
// CTest keeps the JACK test programs apart (the "jack" resource lock).
class JackServer {
public:
    ~JackServer() {
        stop(SIGTERM);
        tidy();
        if (lock_ >= 0) ::close(lock_);
    }

    const std::string& name() const { return name_; }

    // Started and accepting clients, within a bounded wait; false with a reason in `why`.
    bool start(std::string& why) {
        if (lock_ < 0 && !claim_name(why)) return false;
        kill_stale_server();
        killed_ = false;  // a start under the name reclaims what a killed server left
        pid_ = spawn({"jackd", "-n", name_, "-d", "dummy", "-r", "48000", "-p", "256"}, file(".log"));
        if (pid_ < 0) {
            why = "fork failed";
            return false;
        }
        std::ofstream(file(".pid")) << pid_ << "\n";
        // JACK reports every refused connection while the server comes up: quiet while polling.
        jack_set_error_function([](const char*) {});
        const bool ready = wait_until([&] { return exited() || accepts_clients(); }, 10000ms) && pid_ > 0;
        jack_set_error_function(nullptr);
        if (ready) return true;
        why = "jackd did not come up: " + contents(file(".log"));
        stop(SIGKILL);
        return false;
    }

    // Ends the server with `signal` and waits until it is gone (SIGKILL after 5 s).
    void stop(int signal) {
        if (!end_child(pid_, signal, &status_)) return;
        killed_ = WIFSIGNALED(status_) && WTERMSIG(status_) == SIGKILL;
        std::error_code ec;
        fs::remove(file(".pid"), ec);
        fs::remove(file(".log"), ec);
        // Client semaphores that clients of a dead server could not remove (the name is ours while we hold it).
        const std::string semaphores = "jack_sem." + std::to_string(getuid()) + "_" + name_ + "_";
        for (const auto& entry : fs::directory_iterator("/dev/shm", ec))
            if (entry.path().filename().string().rfind(semaphores, 0) == 0) fs::remove(entry.path(), ec);
    }

    // A server killed outright keeps its entry in JACK's registry, and its shared memory, until a server of its name
    // starts: one is started and stopped. Only once no client of the dead server is open, since libjack may crash
    // closing a client whose server's name came back.
    void tidy() {
        if (!killed_) return;
        std::string why;
        if (start(why)) stop(SIGTERM);
        killed_ = false;
    }

private:
    std::string file(const char* extension) const { return (kServerDir / (name_ + extension)).string(); }

    bool claim_name(std::string& why) {
        fs::create_directories(kServerDir);
        const bool claimed = wait_until([&] {
            for (int n = 0; n < 4 && lock_ < 0; ++n) {
                const std::string name = "ombrel-test-" + std::to_string(n);
                const int fd = ::open((kServerDir / (name + ".lock")).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
                if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
                    lock_ = fd;
                    name_ = name;
                } else if (fd >= 0) {
                    ::close(fd);
                }
            }
            return lock_ >= 0;
        }, 120000ms);
        if (!claimed) why = "every test server name is in use";
        return claimed;
    }

    // Whoever held the name before us is gone; a server it left is killed if that pid is still that very jackd.
    void kill_stale_server() {
        pid_t stale = 0;
        std::ifstream(file(".pid")) >> stale;
        const std::string proc = "/proc/" + std::to_string(stale);
        if (stale <= 0 || contents(proc + "/comm") != "jackd\n") return;
        const std::string args = command_line(stale);
        if (!args.empty() && args.rfind("jackd -n " + name_ + " ", 0) != 0) return;  // the pid went to another jackd
        ::kill(stale, SIGKILL);
        // Gone once its parent (init, for an orphan) has reaped it: JACK counts a zombie's server as running.
        wait_until([&] { return !fs::exists(proc); }, 5000ms);
    }

    bool exited() {
        if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
        return pid_ <= 0;
    }

    bool accepts_clients() const {
        jack_status_t status{};
        jack_client_t* probe = jack_client_open("ombrel-test-probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                                &status, name_.c_str());
        if (!probe) return false;
        jack_client_close(probe);
        return true;
    }

    std::string name_;
    int lock_ = -1;
    pid_t pid_ = -1;
    int status_ = 0;
    bool killed_ = false;
};

}  // namespace omb::test
