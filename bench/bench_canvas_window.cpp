// From a drawing's due time to its picture painted in the canvas's real Qt window, on an X display:
//
//   xvfb-run -a -s "-screen 0 1920x1200x24" build-rel/bin/bench_canvas_window [iterations]
//
// A real process with the graphics library on the null audio driver (graphics_bench_support.h), canvas windows
// installed as the program installs them, and the Qt event loop on the main thread serving the main-thread queue
// through its wake fd, as the program's does. For a canvas window of 1920 x 1080 and one of 600 x 600, in turn: a
// drawing is due on a buffer boundary a few buffers ahead, with a marker task queued before it at the same time;
// the time runs from the scheduler serving that time to the window having painted (GraphicView::composites()
// advanced), through the drawing, the recomposite request, QWidget::update and paintEvent. Two drawings: a 40 x 40
// filled square (a small dirty rectangle) and a clear of the whole canvas. Median and 99th percentile in
// microseconds; "off time" counts drawings served at another time than their own, "lost" paints that never came.
// Without a display it says so and exits 0.
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/graphics_bench_support.h"
#include "editor/canvas_window.h"

namespace {

using namespace std::chrono;
using namespace graphics_bench;

// A paint later than this is counted lost, and the run goes on.
constexpr auto kPaintLimit = seconds(2);

// Serves the main thread the way the program does: Qt's loop, woken by its own events and by the main-thread queue's
// wake fd.
void pump() { QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents); }

// A canvas window of `w` x `h` at the top left of the screen, with the square and the clear prepared on it.
std::string canvas_setup(int w, int h) {
    const std::string tag = std::to_string(w) + "x" + std::to_string(h);
    return "(begin (define canvas-" + tag + " (gfx:make-canvas (list 0 0 " + std::to_string(w) + " " +
           std::to_string(h) + ")))" + " (define square (gfx:make-path)) (gfx:set-start-point square 100 100)" +
           " (gfx:add-line square 140 100) (gfx:add-line square 140 140) (gfx:add-line square 100 140)" +
           " (gfx:close-path square)" + " (bench:prepare 'square-" + tag + " *gfx:draw-path* (list canvas-" + tag +
           " square (list 1 1 1 1) (list 0.9 0.3 0.1 0.8) 1))" + " (bench:prepare 'clear-" + tag +
           " *gfx:clear-canvas* (list canvas-" + tag + " (list 0.1 0.1 0.2 1))))";
}

void measure(const char* what, const Prepared& drawing, int iterations) {
    omb::GraphicView& view = canvas_of(drawing);
    ServedAt served;
    std::vector<double> us;
    int off_time = 0, lost = 0;
    for (int i = 0; i < iterations; ++i) {
        const int64_t due = due_ahead();
        const long composites = view.composites();
        served.queue_with(drawing, due);
        if (!pump_until([&] { return view.composites() != composites && served.at.load() != 0; }, pump,
                        duration_cast<milliseconds>(kPaintLimit))) {
            ++lost;
            continue;
        }
        us.push_back(served.micros_since());
        if (served.clock.load() != due) ++off_time;
    }
    if (us.empty()) {
        std::printf("%-26s no paint came (%d lost)\n", what, lost);
        return;
    }
    std::sort(us.begin(), us.end());
    std::printf("%-26s n=%zu  median %8.1f us  p99 %8.1f us  max %8.1f us  off time %d  lost %d\n", what, us.size(),
                percentile(us, 0.5), percentile(us, 0.99), us.back(), off_time, lost);
}

}  // namespace

int main(int argc, char** argv) {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        std::printf("bench_canvas_window: no X display (DISPLAY is unset); run it under xvfb-run. Skipped.\n");
        return 0;
    }
    const int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    omb::main_queue::set_main_thread();
    QSocketNotifier queue(omb::main_queue::wake_fd(), QSocketNotifier::Read);
    QObject::connect(&queue, &QSocketNotifier::activated, [] { omb::main_queue::run_pending(); });
    // Only bounds each wait in pump(), so the time limits are looked at even when nothing happens.
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [] {});
    tick.start(10);
    omb::install_canvas_windows();

    omb::SchemeInterface* process = start_process(pump);
    if (!process) {
        std::fprintf(stderr, "bench_canvas_window: the process did not start\n");
        return 1;
    }
    size_t expected = 0;
    int status = 0;
    for (const auto& [w, h] : {std::pair{1920, 1080}, std::pair{600, 600}}) {
        const std::string tag = std::to_string(w) + "x" + std::to_string(h);
        expected += 2;
        if (!evaluate(process, canvas_setup(w, h), expected, pump)) {
            std::fprintf(stderr, "bench_canvas_window: the process did not prepare the %s canvas\n", tag.c_str());
            status = 1;
            break;
        }
        // The window is on screen once it has painted for the first time; then a moment for the expose to settle.
        omb::GraphicView& view = canvas_of(find("square-" + tag));
        if (!pump_until([&] { return view.composites() > 0; }, pump, seconds(5))) {
            std::fprintf(stderr, "bench_canvas_window: the %s window never painted\n", tag.c_str());
            status = 1;
            break;
        }
        const auto settle = steady_clock::now() + milliseconds(200);
        pump_until([&] { return steady_clock::now() >= settle; }, pump);
        measure(("40x40 square on " + tag).c_str(), find("square-" + tag), iterations);
        measure(("whole clear on " + tag).c_str(), find("clear-" + tag), iterations);
        // One window at a time: the next one is not painted over this one.
        evaluate(process, "(gfx:close-canvas canvas-" + tag + ")", expected, pump);
    }
    omb::uninstall_canvas_windows();
    return status;
}
