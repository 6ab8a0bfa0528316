#include "graphics/late_drawing.h"

#include <atomic>
#include <chrono>

#include "platform/log_bridge.h"
#include "scheduler/sample_clock.h"

namespace omb {
namespace {

std::atomic<uint64_t> drawn{0}, late{0};
std::atomic<double> longest_ms{0.0};
// Scheduler's thread only: when the last report went out, and the late count it gave.
std::chrono::steady_clock::time_point last_report{};
uint64_t late_reported = 0;

double buffer_ms() {
    const int rate = SampleClock::SAMPLERATE.load();
    return rate > 0 ? 1000.0 * SampleClock::FRAMES.load() / rate : 0.0;
}

void report(const char* name, double took_ms, double limit_ms) {
    const auto now = std::chrono::steady_clock::now();
    const uint64_t count = late.load();
    if (late_reported != 0 && now - last_report < std::chrono::seconds(1)) return;
    CPPBridge::notification("Late drawing: %s took %.2f ms, longer than one audio buffer (%.2f ms); %llu late so far",
                            name, took_ms, limit_ms, static_cast<unsigned long long>(count));
    last_report = now;
    late_reported = count;
}

}  // namespace

void time_drawing(const char* name, const std::function<void()>& draw) {
    const auto start = std::chrono::steady_clock::now();
    draw();
    const double took_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    drawn.fetch_add(1, std::memory_order_relaxed);
    if (took_ms > longest_ms.load(std::memory_order_relaxed)) longest_ms.store(took_ms, std::memory_order_relaxed);
    const double limit_ms = buffer_ms();
    if (took_ms <= limit_ms) return;
    late.fetch_add(1, std::memory_order_relaxed);
    report(name, took_ms, limit_ms);
}

DrawingStats drawing_stats() {
    return {drawn.load(std::memory_order_relaxed), late.load(std::memory_order_relaxed),
            longest_ms.load(std::memory_order_relaxed)};
}

}  // namespace omb
