// Shared pieces of the process tests: one Scheme process on the running audio engine for the whole binary, a
// blocking socket client that speaks the eval protocol, and a gate that holds the executer.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "audio/au_host.h"
#include "audio/au_scheme.h"
#include "runtime/native_libraries.h"
#include "runtime/scheme_interface.h"
#include "tests/support/free_port.h"
#include "tests/support/log_capture.h"

namespace omb::test {

using namespace std::chrono_literals;

// A blocking client of the eval server: raw bytes out, replies split at their byte 0.
class Conn {
public:
    explicit Conn(int port, const char* address = "127.0.0.1") {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, address, &addr.sin_addr);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            error_ = errno;
            ::close(fd_);
            fd_ = -1;
            return;
        }
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Conn() { close(); }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    bool ok() const { return fd_ >= 0; }
    int error() const { return error_; }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    void send(const std::string& bytes) {
        for (size_t off = 0; fd_ >= 0 && off < bytes.size();) {
            ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return;
            off += static_cast<size_t>(n);
        }
    }

    // The next text ended by byte 0 (greeting or reply); nothing when none comes within `limit`.
    std::optional<std::string> next(std::chrono::milliseconds limit = 10s) {
        auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (auto zero = buffer_.find('\0'); zero != std::string::npos) {
                std::string text = buffer_.substr(0, zero);
                buffer_.erase(0, zero + 1);
                return text;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (fd_ < 0 || left.count() <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[4096];
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return std::nullopt;
            buffer_.append(buf, static_cast<size_t>(n));
        }
    }

    // Reads the greeting, then evaluates: the usual way in.
    std::optional<std::string> greet(std::chrono::milliseconds limit = 10s) { return next(limit); }
    std::string eval(const std::string& text) {
        send(text + '\x07');
        return next().value_or("<no reply>");
    }

private:
    int fd_ = -1;
    int error_ = 0;
    std::string buffer_;
};

inline size_t open_fd_count() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// Holds the executer inside "(test:hold)" until released, so a test can line up requests behind it.
class Gate {
public:
    static Gate& instance() {
        static Gate gate;
        return gate;
    }
    // Runs on the executer: waits while the gate is shut (never longer than 30 s).
    void pass() {
        std::unique_lock lock(m_);
        ++inside_;
        cv_.notify_all();
        cv_.wait_for(lock, 30s, [&] { return open_; });
        --inside_;
    }
    void shut() {
        std::lock_guard lock(m_);
        open_ = false;
    }
    void open() {
        std::lock_guard lock(m_);
        open_ = true;
        cv_.notify_all();
    }
    bool wait_inside(std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, limit, [&] { return inside_ > 0; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = true;
    int inside_ = 0;
};

inline size_t default_string_limit() {
    return static_cast<size_t>(::sysconf(_SC_PHYS_PAGES)) * static_cast<size_t>(::sysconf(_SC_PAGE_SIZE)) / 4;
}

// The test's own native library: a gate for the executer and a look at the protected cells, read on the
// executer itself, the only thread that changes them.
inline void test_scheme_init(SchemeInterface* process) {
    process->addForeignFunc("test:hold", [](scheme* sc, pointer) -> pointer {
        Gate::instance().pass();
        return sc->T;
    });
    // Native code that fails the C++ way: a standard exception, or anything else with an argument.
    process->addForeignFunc("test:throw", [](scheme* sc, pointer args) -> pointer {
        if (args != sc->NIL) throw 42;
        throw std::runtime_error("native fault");
    });
    // The string budget of the process, in bytes; 0 restores a quarter of physical memory.
    process->addForeignFunc("test:string-limit", [](scheme* sc, pointer args) -> pointer {
        const int64_t bytes = is_pair(args) ? ivalue(pair_car(args)) : 0;
        scheme_set_string_limit(sc, bytes > 0 ? static_cast<size_t>(bytes) : default_string_limit());
        return sc->T;
    });
    // A pointer value that is not a task target, as a careless or hostile performer might pass one.
    static int not_a_target = 0;
    process->addGlobalCptr("test:not-a-target", &not_a_target);
    process->addForeignFunc("test:protected-count", [](scheme* sc, pointer) -> pointer {
        return mk_integer(sc, static_cast<int64_t>(sc->protected_cells->size()));
    });
}

// Empties the scheduler and waits until it has: the clear is honoured at the next slice, and would also take
// whatever is scheduled before then. A far-off sentinel shows when that slice has passed.
inline void clear_scheduler() {
    struct Nothing : CM {
        void execute(TaskI*) override {}
    };
    static Nothing nothing;
    Scheduler& scheduler = AUHost::singleton().scheduler();
    scheduler.insert(new TaskI(int64_t{1} << 62, false, 0, &nothing));
    scheduler.clear();
    eventually([&] { return scheduler.size() == 0; }, 5s);
}

// One process for the binary, on the null device's running clock. The user's library folder is replaced by an
// empty one so that nothing but the standard files is loaded.
class ProcessEnvironment : public ::testing::Environment {
public:
    static inline SchemeInterface* process = nullptr;
    static inline int port = 0;
    static inline std::string DRIVER = "null";  // the audio driver the clock runs on

    void SetUp() override {
        main_queue::set_main_thread();
        data_home_ = std::filesystem::temp_directory_path() / ("ombrel-process-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(data_home_);
        ::setenv("XDG_DATA_HOME", data_home_.c_str(), 1);
        AUHost::FRAMES = 256;
        ASSERT_TRUE(AUHost::singleton().start(make_audio_device(DRIVER)));
        add_native_library(au_scheme_init);
        add_native_library(test_scheme_init);
        port = free_port();
        owned_ = std::make_unique<SchemeInterface>(OMBREL_SCHEME_DIR, "test process", port);
        ASSERT_TRUE(owned_->start());
        process = owned_.get();
        ASSERT_TRUE(eventually([] { return process->isReady(); }, 30s));
    }
    void TearDown() override {
        Gate::instance().open();
        // Tasks left queued would outlive the interpreter their values belong to.
        clear_scheduler();
        if (owned_) owned_->stop();
        AUHost::singleton().stop();
        owned_.reset();
        main_queue::run_pending();
        std::error_code ec;
        std::filesystem::remove_all(data_home_, ec);
    }

private:
    std::unique_ptr<SchemeInterface> owned_;
    std::filesystem::path data_home_;
};

// Queues Scheme text for the executer as another thread would (a MIDI or mouse handler).
inline void queue_text(const std::string& text, const std::string& label) {
    ProcessEnvironment::process->createSchemeTask(::strdup(text.c_str()), label, SchemeTaskType::eval_string);
}

// Shuts the gate and parks the executer in it; the destructor lets it go.
class HeldExecuter {
public:
    HeldExecuter() {
        Gate::instance().shut();
        queue_text("(test:hold)", "HOLD");
        held = Gate::instance().wait_inside();
    }
    ~HeldExecuter() { Gate::instance().open(); }
    bool held;
};

}  // namespace omb::test
