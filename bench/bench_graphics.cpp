// Drawing on canvases through the real targets, on a real process with the null audio device (headless).
//
//   build-rel/bin/bench_graphics
// FilledPathOn1080p: a path (an oval and a closed shape of curves) stroked and filled on a 1920 x 1080 canvas by the
// *gfx:draw-path* target itself, task after task, with this thread draining the main-thread queue as the program's
// main loop would. LineOn1080p: the same for *draw-line* and a line across the whole canvas.
// ScheduledDrawTasks: N tasks due now queued on the scheduler as "call-cpp-at-time" queues them, timed until the
// scheduler's thread has run them all.
// DueTimeToRecomposite: a drawing due on a buffer boundary a few buffers ahead; from the moment the scheduler serves
// that time to the moment the main thread has recomposited the canvas; median and 99th percentile in microseconds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
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

namespace {

using namespace std::chrono;
using omb::TaskArguments;

// A target and the arguments its own reader made from a Scheme argument list, ready to be queued as tasks.
struct Prepared {
    omb::CM* target = nullptr;
    TaskArguments arguments;
};

std::mutex prepared_mutex;
std::map<std::string, Prepared> prepared;

// (bench:prepare name target args): runs on the process's executer, the only thread that may read Scheme cells.
omb::pointer prepare(omb::scheme* sc, omb::pointer args) {
    omb::pointer name = omb::pair_car(args), target = omb::pair_car(omb::pair_cdr(args));
    auto* native = dynamic_cast<omb::ArgumentTarget*>(static_cast<omb::CM*>(omb::cptr_value(target)));
    Prepared p{native, {}};
    if (!native || !native->read(sc, omb::pair_car(omb::pair_cdr(omb::pair_cdr(args))), p.arguments)) return sc->F;
    std::lock_guard lock(prepared_mutex);
    prepared[omb::symname(name)] = std::move(p);
    return sc->T;
}

void bench_init(omb::SchemeInterface* process) { process->addForeignFunc("bench:prepare", prepare); }

constexpr const char* SETUP = R"((begin
  (define canvas (gfx:make-canvas 1920 1080))
  (define shape (gfx:make-path))
  (gfx:add-oval shape 660 340 600 400)
  (gfx:set-start-point shape 200 200)
  (gfx:add-curve shape 500 260 260 600 420 40)
  (gfx:add-curve shape 360 520 700 380 620 600)
  (gfx:add-curve shape 200 200 180 700 60 420)
  (gfx:close-path shape)
  (bench:prepare 'path *gfx:draw-path* (list canvas shape (list 1 1 1 1) (list 0.9 0.3 0.1 0.6) 3))
  (bench:prepare 'line *draw-line* (list canvas 0 0 1919 1079 (list 1 1 0 1)))))";

// The program's pieces a process needs, started once: the clock on the null device, the scheduler's thread, and a
// process with the graphics library in which the canvas, the path and the prepared tasks are made.
const Prepared& ready(const char* which) {
    static bool started = [] {
        omb::main_queue::set_main_thread();
        omb::AUHost::FRAMES = 256;
        omb::AUHost::singleton().start(omb::make_audio_device("null"));
        omb::add_native_library(omb::GraphicEngine::schemeInit);
        omb::add_native_library(bench_init);
        auto* process = new omb::SchemeInterface(OMBREL_SCHEME_DIR, "primary process", 0);
        process->start();
        while (!process->isReady()) std::this_thread::sleep_for(milliseconds(5));
        process->createSchemeTask(::strdup(SETUP), "BENCH SETUP", omb::SchemeTaskType::eval_string);
        for (int i = 0; i < 3000; ++i) {
            omb::main_queue::wait_and_run(milliseconds(10));
            std::lock_guard lock(prepared_mutex);
            if (prepared.size() == 2) return true;
        }
        return false;
    }();
    static const Prepared none;
    std::lock_guard lock(prepared_mutex);
    auto it = prepared.find(which);
    return started && it != prepared.end() ? it->second : none;
}

omb::GraphicView& canvas_of(const Prepared& p) { return static_cast<omb::GraphicView&>(*p.arguments.objects.front()); }

// One task run over and over by its target on this thread: the drawing's own cost, without the scheduler.
void direct(benchmark::State& state, const char* which) {
    const Prepared& p = ready(which);
    if (!p.target) return state.SkipWithError("the process did not prepare the task");
    omb::Task<TaskArguments> task(0, false, 0, p.target, p.arguments);
    for (auto _ : state) {
        p.target->execute(&task);
        omb::main_queue::run_pending();
    }
    state.SetItemsProcessed(state.iterations());
}
void BM_FilledPathOn1080p(benchmark::State& state) { direct(state, "path"); }
void BM_LineOn1080p(benchmark::State& state) { direct(state, "line"); }
BENCHMARK(BM_FilledPathOn1080p)->UseRealTime();
BENCHMARK(BM_LineOn1080p)->UseRealTime();

// Waits for the scheduler's thread to have run `count` more tasks than `before`, serving the main thread meanwhile.
void drain_until(uint64_t before, uint64_t count) {
    while (omb::Scheduler::singleton().stats().executed < before + count)
        omb::main_queue::wait_and_run(milliseconds(1));
}

void scheduled(benchmark::State& state, const char* which) {
    const Prepared& p = ready(which);
    if (!p.target) return state.SkipWithError("the process did not prepare the task");
    const auto n = static_cast<uint64_t>(state.range(0));
    omb::Scheduler& scheduler = omb::Scheduler::singleton();
    for (auto _ : state) {
        const uint64_t before = scheduler.stats().executed;
        const auto now = static_cast<int64_t>(omb::SampleClock::TIME.load());
        for (uint64_t i = 0; i < n; ++i)
            scheduler.insert(new omb::Task<TaskArguments>(now, false, 0, p.target, p.arguments));
        drain_until(before, n);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}
void BM_ScheduledDrawTasks_Line(benchmark::State& state) { scheduled(state, "line"); }
void BM_ScheduledDrawTasks_Path(benchmark::State& state) { scheduled(state, "path"); }
BENCHMARK(BM_ScheduledDrawTasks_Line)->Arg(10000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScheduledDrawTasks_Path)->Arg(200)->UseRealTime()->Unit(benchmark::kMillisecond);

// Runs just before the drawing queued at the same time: notes when the scheduler served that time, and the clock.
class ServedAt : public omb::CM {
public:
    void execute(omb::TaskI*) override {
        clock = static_cast<int64_t>(omb::SampleClock::TIME.load());
        at = steady_clock::now().time_since_epoch().count();
    }
    std::atomic<int64_t> clock{-1};
    std::atomic<steady_clock::rep> at{0};
};

void BM_DueTimeToRecomposite(benchmark::State& state) {
    const Prepared& path = ready("path");
    if (!path.target) return state.SkipWithError("the process did not prepare the path");
    omb::GraphicView& view = canvas_of(path);
    omb::Scheduler& scheduler = omb::Scheduler::singleton();
    ServedAt served;
    std::vector<double> us;
    int64_t off_time = 0;
    for (auto _ : state) {
        const int64_t frames = omb::SampleClock::FRAMES.load();
        const int64_t due = (static_cast<int64_t>(omb::SampleClock::TIME.load()) / frames + 3) * frames;
        served.at = 0;
        const long redraws = view.redraws();
        // Equal times run in the order queued: the marker, then the drawing.
        scheduler.insert(new omb::TaskI(due, false, 0, &served));
        scheduler.insert(new omb::Task<TaskArguments>(due, false, 0, path.target, path.arguments));
        while (view.redraws() == redraws || served.at.load() == 0) omb::main_queue::wait_and_run(milliseconds(1));
        const auto done = steady_clock::now().time_since_epoch().count();
        us.push_back(duration<double, std::micro>(steady_clock::duration(done - served.at.load())).count());
        if (served.clock.load() != due) ++off_time;
    }
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    state.counters["served_off_time"] = static_cast<double>(off_time);
}
BENCHMARK(BM_DueTimeToRecomposite)->Iterations(500)->UseRealTime();

}  // namespace
