// What the graphics benchmarks share: a real process with the graphics library on the null audio driver, drawing
// tasks made by the targets' own argument readers from Scheme argument lists, the due time a few buffers ahead, and
// a marker task that notes when the scheduler served that time.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/au_host.h"
#include "graphics/graphic_engine.h"
#include "graphics/graphic_view.h"
#include "platform/main_queue.h"
#include "runtime/argument_target.h"
#include "runtime/native_libraries.h"
#include "runtime/scheme_interface.h"
#include "scheduler/sample_clock.h"
#include "scheduler/scheduler.h"

namespace graphics_bench {

// A target and the arguments its own reader made from a Scheme argument list, ready to be queued as tasks.
struct Prepared {
    omb::CM* target = nullptr;
    omb::TaskArguments arguments;
};

inline std::mutex prepared_mutex;
inline std::map<std::string, Prepared> prepared;

// (bench:prepare name target args): runs on the process's executer, the only thread that may read Scheme cells.
inline omb::pointer prepare(omb::scheme* sc, omb::pointer args) {
    omb::pointer name = omb::pair_car(args), target = omb::pair_car(omb::pair_cdr(args));
    auto* native = dynamic_cast<omb::ArgumentTarget*>(static_cast<omb::CM*>(omb::cptr_value(target)));
    Prepared p{native, {}};
    if (!native || !native->read(sc, omb::pair_car(omb::pair_cdr(omb::pair_cdr(args))), p.arguments)) return sc->F;
    std::lock_guard lock(prepared_mutex);
    prepared[omb::symname(name)] = std::move(p);
    return sc->T;
}

inline size_t prepared_count() {
    std::lock_guard lock(prepared_mutex);
    return prepared.size();
}

// The task prepared under `name`; one without a target when there is none.
inline const Prepared& find(const std::string& name) {
    static const Prepared none;
    std::lock_guard lock(prepared_mutex);
    auto it = prepared.find(name);
    return it != prepared.end() ? it->second : none;
}

inline omb::GraphicView& canvas_of(const Prepared& p) {
    return static_cast<omb::GraphicView&>(*p.arguments.objects.front());
}

// Calls `pump` (which serves the main thread) until `done`, for at most `limit`; whether `done` came.
inline bool pump_until(const std::function<bool()>& done, const std::function<void()>& pump,
                       std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        pump();
    }
    return true;
}

// The program's pieces a process needs: the clock on the null device with 256-frame buffers, the scheduler's
// thread, and a process with the graphics library and bench:prepare. Null when it did not become ready.
inline omb::SchemeInterface* start_process(const std::function<void()>& pump) {
    omb::AUHost::FRAMES = 256;
    omb::AUHost::singleton().start(omb::make_audio_device("null"));
    omb::add_native_library(omb::GraphicEngine::schemeInit);
    omb::add_native_library([](omb::SchemeInterface* p) { p->addForeignFunc("bench:prepare", prepare); });
    auto* process = new omb::SchemeInterface(OMBREL_SCHEME_DIR, "primary process", 0);
    process->start();
    if (!pump_until([&] { return process->isReady(); }, pump)) return nullptr;
    return process;
}

// Evaluates `code` in the process and waits until `expected` tasks in all have been prepared.
inline bool evaluate(omb::SchemeInterface* process, const std::string& code, size_t expected,
                     const std::function<void()>& pump) {
    process->createSchemeTask(::strdup(code.c_str()), "BENCH SETUP", omb::SchemeTaskType::eval_string);
    return pump_until([&] { return prepared_count() >= expected; }, pump);
}

// The first buffer boundary at least three buffers ahead of the clock: far enough that the tasks are queued before
// it comes, on a boundary so the scheduler serves it exactly.
inline int64_t due_ahead() {
    const int64_t frames = omb::SampleClock::FRAMES.load();
    return (static_cast<int64_t>(omb::SampleClock::TIME.load()) / frames + 3) * frames;
}

// Runs just before the drawing queued at the same time: notes when the scheduler served that time, and the clock.
class ServedAt : public omb::CM {
public:
    void execute(omb::TaskI*) override {
        clock = static_cast<int64_t>(omb::SampleClock::TIME.load());
        at = std::chrono::steady_clock::now().time_since_epoch().count();
    }
    // Queues the marker, then the drawing, both due at `due`: equal times run in the order queued.
    void queue_with(const Prepared& drawing, int64_t due) {
        at = 0;
        omb::Scheduler& scheduler = omb::Scheduler::singleton();
        scheduler.insert(new omb::TaskI(due, false, 0, this));
        scheduler.insert(new omb::Task<omb::TaskArguments>(due, false, 0, drawing.target, drawing.arguments));
    }
    // Microseconds from the serving to now.
    double micros_since() const {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::duration(now - at.load())).count();
    }
    std::atomic<int64_t> clock{-1};
    std::atomic<std::chrono::steady_clock::rep> at{0};
};

// The value below which `share` of the sorted samples lie (0.5: the median).
inline double percentile(const std::vector<double>& sorted, double share) {
    return sorted[std::min(sorted.size() - 1, static_cast<size_t>(static_cast<double>(sorted.size()) * share))];
}

}  // namespace graphics_bench
