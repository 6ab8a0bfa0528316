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
#include <vector>

#include "bench/graphics_bench_support.h"

namespace {

using namespace std::chrono;
using namespace graphics_bench;
using omb::TaskArguments;

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

// A process (see graphics_bench_support.h) in which the canvas, the path and the prepared tasks are made, started
// once, with this thread serving the main-thread queue as the program's main loop would.
const Prepared& ready(const char* which) {
    static bool started = [] {
        omb::main_queue::set_main_thread();
        const auto pump = [] { omb::main_queue::wait_and_run(milliseconds(10)); };
        omb::SchemeInterface* process = start_process(pump);
        return process && evaluate(process, SETUP, 2, pump);
    }();
    static const Prepared none;
    return started ? find(which) : none;
}

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

void BM_DueTimeToRecomposite(benchmark::State& state) {
    const Prepared& path = ready("path");
    if (!path.target) return state.SkipWithError("the process did not prepare the path");
    omb::GraphicView& view = canvas_of(path);
    ServedAt served;
    std::vector<double> us;
    int64_t off_time = 0;
    for (auto _ : state) {
        const int64_t due = due_ahead();
        const long redraws = view.redraws();
        served.queue_with(path, due);
        while (view.redraws() == redraws || served.at.load() == 0) omb::main_queue::wait_and_run(milliseconds(1));
        us.push_back(served.micros_since());
        if (served.clock.load() != due) ++off_time;
    }
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = percentile(us, 0.5);
    state.counters["p99_us"] = percentile(us, 0.99);
    state.counters["served_off_time"] = static_cast<double>(off_time);
}
BENCHMARK(BM_DueTimeToRecomposite)->Iterations(500)->UseRealTime();

}  // namespace
