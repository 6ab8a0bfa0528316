#include "native/script_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace omb {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t ERROR_BYTES = 64u << 10;
// The longest a wait lasts before the interrupt flag is looked at again.
constexpr milliseconds TURN{50};

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Both ends close on exec; the spawn gives the child its own copies of the write ends.
struct Pipe {
    int read = -1, write = -1;
    bool open() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return false;
        read = fds[0], write = fds[1];
        // Only our end: the child's end stays blocking, as programs expect of their output.
        ::fcntl(read, F_SETFL, ::fcntl(read, F_GETFL) | O_NONBLOCK);
        return true;
    }
    ~Pipe() {
        close_fd(read);
        close_fd(write);
    }
};

// A descriptor that becomes readable when the child exits; -1 where the kernel has none (then we poll briefly).
int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
#else
    (void)pid;
    return -1;
#endif
}

class Spawned {
public:
    Spawned(const std::string& text, Pipe& out, Pipe& err) {
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attributes);
        ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        ::posix_spawn_file_actions_adddup2(&actions, out.write, 1);
        ::posix_spawn_file_actions_adddup2(&actions, err.write, 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
        // Sockets and files of ours that lack close-on-exec must not live on in the script's children.
        ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
        // A group of its own, so the limit can end everything the script started; signals as a fresh program has
        // them, whatever this program blocks or ignores.
        sigset_t none, all;
        ::sigemptyset(&none);
        ::sigfillset(&all);
        ::sigdelset(&all, SIGKILL);
        ::sigdelset(&all, SIGSTOP);
        ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        ::posix_spawnattr_setpgroup(&attributes, 0);
        ::posix_spawnattr_setsigmask(&attributes, &none);
        ::posix_spawnattr_setsigdefault(&attributes, &all);
        char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(text.c_str()), nullptr};
        error_ = ::posix_spawn(&pid_, "/bin/sh", &actions, &attributes, argv, environ);
        ::posix_spawnattr_destroy(&attributes);
        ::posix_spawn_file_actions_destroy(&actions);
        if (error_ != 0) pid_ = -1;
        if (pid_ > 0) pidfd_ = open_pidfd(pid_);
    }
    ~Spawned() {
        if (!reaped()) kill_group();
        close_fd(pidfd_);
    }
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    bool started() const { return pid_ > 0; }
    int error() const { return error_; }
    int pidfd() const { return pidfd_; }
    bool reaped() const { return pid_ <= 0 || reaped_; }

    // Reaps the shell when it has ended; true once it has.
    bool poll_exit() {
        if (reaped()) return true;
        int status = 0;
        const pid_t w = ::waitpid(pid_, &status, WNOHANG);
        if (w == pid_) record(status);
        // Someone else reaped it (SIGCHLD ignored): its status is lost, not the script's output.
        if (w < 0 && errno == ECHILD) record(0);
        return reaped_;
    }
    // Ends the whole group and reaps the shell.
    void kill_group() {
        if (pid_ <= 0) return;
        ::kill(-pid_, SIGKILL);
        while (!reaped_) {
            int status = 0;
            const pid_t w = ::waitpid(pid_, &status, 0);
            if (w == pid_) record(status);
            else if (w < 0 && errno != EINTR) record(0);
        }
    }
    int exit_status() const { return exit_status_; }

private:
    void record(int status) {
        reaped_ = true;
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 0;
        close_fd(pidfd_);
    }

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int error_ = 0;
    bool reaped_ = false;
    int exit_status_ = -1;
};

// Reads what is there; closes the end at end of file.
void drain(int& fd, std::string& into, std::size_t keep) {
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            const std::size_t room = keep > into.size() ? keep - into.size() : 0;
            into.append(buf, std::min(room, static_cast<std::size_t>(n)));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) close_fd(fd);
        return;
    }
}

}  // namespace

ScriptResult run_script(const std::string& text, const ScriptLimits& limits) {
    ScriptResult result;
    Pipe out, err;
    if (!out.open() || !err.open()) {
        result.errors = std::string("cannot make a pipe: ") + std::strerror(errno);
        return result;
    }
    Spawned shell(text, out, err);
    close_fd(out.write);
    close_fd(err.write);
    if (!shell.started()) {
        result.errors = std::string("cannot start /bin/sh: ") + std::strerror(shell.error());
        return result;
    }

    const Clock::time_point deadline = Clock::now() + limits.time;
    auto stop = [&](ScriptResult::Status why) {
        shell.kill_group();
        result.status = why;
    };
    for (;;) {
        if (shell.poll_exit() && out.read < 0 && err.read < 0) {
            result.status = ScriptResult::Status::finished;
            break;
        }
        if (limits.interrupt && limits.interrupt->load(std::memory_order_relaxed)) {
            stop(ScriptResult::Status::interrupted);
            break;
        }
        if (result.output.size() > limits.output_bytes) {
            stop(ScriptResult::Status::too_much_output);
            break;
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            stop(ScriptResult::Status::timed_out);
            break;
        }
        pollfd fds[3];
        nfds_t count = 0;
        for (int fd : {out.read, err.read, shell.pidfd()})
            if (fd >= 0) fds[count++] = {fd, POLLIN, 0};
        // Without a pidfd the shell's exit shows only by asking: ask often once its output has ended.
        const bool blind = shell.pidfd() < 0 && out.read < 0 && err.read < 0;
        ::poll(fds, count, static_cast<int>(std::min(left, blind ? milliseconds{2} : TURN).count()));
        if (out.read >= 0) drain(out.read, result.output, limits.output_bytes + 1);
        if (err.read >= 0) drain(err.read, result.errors, ERROR_BYTES);
    }
    result.exit_status = shell.exit_status();
    if (result.output.size() > limits.output_bytes) result.output.resize(limits.output_bytes);
    return result;
}

}  // namespace omb
