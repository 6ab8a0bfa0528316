// What the code under test sends to the log, delivered on the test thread (the main thread), and a bounded wait for
// effects that come later.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/log_bridge.h"
#include "platform/main_queue.h"

namespace omb::test {

using namespace std::chrono_literals;

// Polls `done` until it holds or `limit` passes; `between` runs on every turn (e.g. to deliver the log).
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s,
                       const std::function<void()>& between = {}) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        if (between) between();
        if (done()) return true;
        std::this_thread::sleep_for(2ms);
    }
    if (between) between();
    return done();
}

class LogCapture : public LogTarget {
public:
    LogCapture() {
        main_queue::set_main_thread();
        main_queue::run_pending();
        CPPBridge::attach(this);
    }
    ~LogCapture() override {
        CPPBridge::detach();
        main_queue::run_pending();
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void output(std::string_view t) override { outputs.emplace_back(t); }
    void error(std::string_view t) override { errors.emplace_back(t); }
    void notification(std::string_view t) override { notes.emplace_back(t); }
    void styled(const StyledText& t) override { outputs.push_back(t.text); }

    // Messages are posted to the main queue; this delivers the ones posted so far.
    void flush() { main_queue::run_pending(); }
    static bool has(const std::vector<std::string>& v, std::string_view text) {
        for (const auto& s : v)
            if (s.find(text) != std::string::npos) return true;
        return false;
    }
    // Waits, delivering the log, until some message of `v` contains `text`; a limit of 0 only delivers and looks.
    bool saw(const std::vector<std::string>& v, std::string_view text, std::chrono::milliseconds limit = 10s) {
        return eventually([&] { return has(v, text); }, limit, [this] { flush(); });
    }
    void clear() {
        flush();
        outputs.clear(), errors.clear(), notes.clear();
    }

    std::vector<std::string> outputs, errors, notes;
};

}  // namespace omb::test
