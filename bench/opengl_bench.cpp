// OpenGL views headless (EGL on Mesa's llvmpipe) through a real process on the null audio driver.
//
//   build-rel/bin/bench_opengl
// VertexBinding: "gl:vertex" called 10 000 times in a Scheme loop, per call (the loop's own cost included; the
// EmptyLoop line is that loop with (+ i 0) in place of the call, to subtract). TriangleFrame: one frame of a
// 10 000-triangle scene at 640 x 480: clear, one draw of vertex arrays, update of the backing image; items are
// frames; the triangles are small (about 10 pixels a side), blended, so the figure is the binding's and the
// copy's cost more than llvmpipe's fill rate. BackingImage: the copy out alone.
#include <benchmark/benchmark.h>

#include <atomic>

#include "bench/graphics_bench_support.h"
#include "native/native_scheme.h"
#include "platform/console_log.h"

namespace {

using namespace std::chrono;

std::atomic<long> marks{0};

constexpr const char* SETUP = R"((begin
  (define v (gl:make-opengl))
  (gl:open-opengl v '(0 0 640 480))
  (gl:matrix-mode v *gl-projection*) (gl:load-identity v) (gl:ortho v 0 640 0 480 -1 1)
  (gl:matrix-mode v *gl-modelview*) (gl:load-identity v)
  ;; 100 rows of 100 triangles (x y pairs) of about 10 pixels a side, scattered over the view; the data
  ;; object flattens the rows.
  (define (random-row)
    (let ((row (make-vector 600 0.0)))
      (let loop ((i 0))
        (if (< i 600)
            (let ((x (* (random-real) 630.0)) (y (* (random-real) 470.0)))
              (vector-set! row i x) (vector-set! row (+ i 1) y)
              (vector-set! row (+ i 2) (+ x 10.0)) (vector-set! row (+ i 3) y)
              (vector-set! row (+ i 4) x) (vector-set! row (+ i 5) (+ y 10.0))
              (loop (+ i 6)))))
      row))
  (define tri (make-vector 100 #f))
  (let loop ((r 0)) (if (< r 100) (begin (vector-set! tri r (random-row)) (loop (+ r 1)))))
  (define tri-data (objc:vector->nsdata-float tri))
  (gl:enable-client-state v *gl-vertex-array*)
  (gl:vertex-pointer v 2 *gl-float* 0 0 tri-data)
  (gl:color v 0.9 0.5 0.1 0.5)
  (gl:enable v *gl-blend*) (gl:blend-func v *gl-src-alpha* *gl-one-minus-src-alpha*)
  (define (vertices n)
    (gl:begin v *gl-points*)
    (let loop ((i 0)) (if (< i n) (begin (gl:vertex v 0.1 0.2 0.3) (loop (+ i 1)))))
    (gl:end v))
  (define (empty n) (let loop ((i 0)) (if (< i n) (begin (+ i 0) (loop (+ i 1))))))
  (define (frame)
    (gl:clear v *gl-color-buffer-bit*)
    (gl:draw-arrays v *gl-triangles* 0 30000)
    (gl:update-backing-image v))
  (bench:mark)))";

omb::SchemeInterface* process() {
    static omb::SchemeInterface* p = [] {
        omb::main_queue::set_main_thread();
        // Errors of the setup show on standard error.
        static omb::ConsoleLog console(stderr);
        omb::CPPBridge::attach(&console);
        const auto pump = [] { omb::main_queue::wait_and_run(milliseconds(1)); };
        omb::add_native_library(omb::NativeScheme::schemeInit);
        omb::add_native_library([](omb::SchemeInterface* s) {
            s->addForeignFunc("bench:mark", [](omb::scheme* sc, omb::pointer) {
                ++marks;
                return sc->T;
            });
        });
        omb::SchemeInterface* started = graphics_bench::start_process(pump);
        if (!started) return started;
        const long before = marks.load();
        started->createSchemeTask(::strdup(SETUP), "BENCH SETUP", omb::SchemeTaskType::eval_string);
        return graphics_bench::pump_until([&] { return marks.load() > before; }, pump) ? started : nullptr;
    }();
    return p;
}

// Evaluates `code` followed by a mark and waits for the mark.
bool run(const std::string& code) {
    const long before = marks.load();
    process()->createSchemeTask(::strdup(("(begin " + code + " (bench:mark))").c_str()), "BENCH",
                                omb::SchemeTaskType::eval_string);
    return graphics_bench::pump_until([&] { return marks.load() > before; },
                                      [] { omb::main_queue::wait_and_run(milliseconds(1)); });
}

void loop_of(benchmark::State& state, const char* what) {
    if (!process()) return state.SkipWithError("the process did not start");
    const std::string code = std::string("(") + what + " 10000)";
    for (auto _ : state)
        if (!run(code)) return state.SkipWithError("the loop did not finish");
    state.SetItemsProcessed(state.iterations() * 10000);
}

void VertexBinding(benchmark::State& state) { loop_of(state, "vertices"); }
void EmptyLoop(benchmark::State& state) { loop_of(state, "empty"); }

void TriangleFrame(benchmark::State& state) {
    if (!process()) return state.SkipWithError("the process did not start");
    for (auto _ : state)
        if (!run("(frame)")) return state.SkipWithError("the frame did not finish");
    state.SetItemsProcessed(state.iterations());
}

void BackingImage(benchmark::State& state) {
    if (!process()) return state.SkipWithError("the process did not start");
    for (auto _ : state)
        if (!run("(gl:update-backing-image v)")) return state.SkipWithError("the copy did not finish");
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(VertexBinding)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(EmptyLoop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(TriangleFrame)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BackingImage)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace


