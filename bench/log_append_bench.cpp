// The log window under a flood: a worker thread logs through the bridge, first at a steady 10 000 lines a second,
// then as fast as it can, while the main thread runs the Qt event loop with the window shown (offscreen when
// there is no display). Reports the main thread's worst stall (the longest gap between 5 ms timer ticks) and how
// many lines a second reached the window. The queue is drained in turns of 2000 tasks, as the application does.
// Run by hand: build/bin/bench_log_append [seconds per phase]
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "editor/log_window.h"
#include "platform/main_queue.h"

using namespace omb;
using Clock = std::chrono::steady_clock;

namespace {

// Counts what the main thread hands to the window.
struct CountingTarget : LogTarget {
    explicit CountingTarget(LogWindow& w) : window(w) {}
    void output(std::string_view t) override { ++delivered, window.output(t); }
    void error(std::string_view t) override { ++delivered, window.error(t); }
    void notification(std::string_view t) override { ++delivered, window.notification(t); }
    void styled(const StyledText& t) override { ++delivered, window.styled(t); }
    LogWindow& window;
    long delivered = 0;
};

// The longest single drain of the main-thread queue: the part of a stall the window does not control.
qint64 longest_drain_us = 0;

struct Result {
    long posted = 0;
    double post_seconds = 0;     // how long the worker took to post
    double deliver_seconds = 0;  // until the last line reached the window
    qint64 worst_stall_ms = 0;
    qint64 longest_drain_us = 0;
};

// rate 0: as fast as possible; below 0: nothing at all (the event loop's own jitter).
Result run_phase(CountingTarget& target, double seconds, int rate) {
    Result r;
    target.delivered = 0;
    QEventLoop loop;
    QElapsedTimer clock;
    qint64 last = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        r.worst_stall_ms = std::max(r.worst_stall_ms, clock.elapsed() - last);
        last = clock.elapsed();
    });
    std::atomic<long> posted{0};
    longest_drain_us = 0;
    const auto start = Clock::now();
    std::thread worker([&] {
        const auto end = start + std::chrono::duration<double>(seconds);
        long n = 0;
        for (auto now = Clock::now(); now < end; now = Clock::now()) {
            // Paced in 1 ms steps: the lines due by now, then a short sleep.
            const double elapsed = std::chrono::duration<double>(now - start).count();
            const long due = rate < 0 ? 0 : rate > 0 ? long(elapsed * rate) : n + 1000;
            for (; n < due; ++n) CPPBridge::log("[%ld] (play-note (now) synth 60 80 1/4) => #t", n);
            if (rate != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        posted = n;
        r.post_seconds = std::chrono::duration<double>(Clock::now() - start).count();
        main_queue::post([&] { loop.quit(); });  // runs after every line this thread posted
    });
    tick.start(5);
    clock.start();
    loop.exec();
    worker.join();
    target.window.flush();
    r.deliver_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.worst_stall_ms = std::max(r.worst_stall_ms, clock.elapsed() - last);
    r.posted = posted;
    r.longest_drain_us = longest_drain_us;
    return r;
}

void report(const char* name, const Result& r, long delivered) {
    std::printf("%s\n  posted %ld lines in %.2f s; delivered %ld in %.2f s: %.0f lines/s\n"
                "  worst stall %lld ms (longest queue drain %.1f ms)\n",
                name, r.posted, r.post_seconds, delivered, r.deliver_seconds, delivered / r.deliver_seconds,
                static_cast<long long>(r.worst_stall_ms), r.longest_drain_us / 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("DISPLAY")) qputenv("QT_QPA_PLATFORM", "offscreen");
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    QApplication app(argc, argv);
    main_queue::set_main_thread();
    QSocketNotifier pump(main_queue::wake_fd(), QSocketNotifier::Read);
    QObject::connect(&pump, &QSocketNotifier::activated, [] {
        QElapsedTimer t;
        t.start();
        main_queue::run_pending(2000);  // bounded turns, as the application drains
        longest_drain_us = std::max(longest_drain_us, t.nsecsElapsed() / 1000);
    });

    LogWindow window{Preferences()};
    window.show();
    CountingTarget target(window);
    CPPBridge::attach(&target);
    std::printf("log file %s, view capped at %d lines\n", log_file_path().c_str(), window.max_lines());

    Result idle = run_phase(target, seconds, -1);
    report("no logging:", idle, target.delivered);
    Result steady = run_phase(target, seconds, 10000);
    report("10 000 lines/s:", steady, target.delivered);
    Result flat_out = run_phase(target, seconds, 0);
    report("as fast as possible:", flat_out, target.delivered);

    CPPBridge::detach();
    return 0;
}
