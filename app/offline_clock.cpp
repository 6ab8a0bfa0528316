#include "app/offline_clock.h"

#include <chrono>
#include <thread>

#include "audio/audio_device.h"
#include "scheduler/sample_clock.h"
#include "scheduler/scheduler.h"
#include "runtime/scheme_interface.h"

namespace omb {

OfflineClock::OfflineClock(OfflineDevice& device, Scheduler& scheduler) : device_(device), scheduler_(scheduler) {}

OfflineClock::~OfflineClock() { stop(); }

bool OfflineClock::start() {
    if (thread_) return false;
    running_ = true;
    thread_ = std::make_unique<Thread>("ombrel offline", [this] { run(); });
    return thread_->start();
}

void OfflineClock::stop() {
    running_ = false;
    if (thread_) thread_->join();
    thread_.reset();
}

// The slice has seen the current TIME and no process has work left from it.
bool OfflineClock::settled() const {
    if (scheduler_.stats().last_slice_time != static_cast<int64_t>(SampleClock::TIME.load())) return false;
    for (size_t i = 0; i < SchemeInterface::count(); ++i) {
        SchemeInterface* process = SchemeInterface::I(i);
        if (process && process->isRunning() && !process->isIdle()) return false;
    }
    return true;
}

void OfflineClock::run() {
    using namespace std::chrono_literals;
    while (running_) {
        device_.render_buffers(1);
        // Scheme that a slice woke may schedule more for the same buffer: wait until everything has settled.
        while (running_ && !settled()) std::this_thread::sleep_for(20us);
    }
}

}  // namespace omb
