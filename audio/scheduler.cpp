#include "audio/scheduler.h"

#include <mutex>

#include "audio/sample_clock.h"
#include "interpreter/process_switches.h"
#include "platform/dev_log.h"
#include "platform/exception.h"
#include "platform/log_bridge.h"

namespace omb {

Scheduler::Scheduler() = default;

Scheduler::~Scheduler() {
    stop_thread();
    std::lock_guard lock(priority_queue_mutex_);
    clearing_.merge(queue_);
    for (auto& [time, task] : clearing_) {
        task->discard();
        delete task;
    }
    clearing_.clear();
}

void Scheduler::insert(TaskI* task) {
    const int64_t time = task->time();
    {
        std::lock_guard lock(priority_queue_mutex_);
        queue_.emplace(time, task);  // after every task of equal time: scheduling order is kept
    }
    // Due within the buffer the last slice already served, whose rendering has not begun: a slice now runs it on
    // time, where waiting for the next buffer would run it late. A callback rescheduling itself close to its time
    // gets until the render, not just until the slice.
    if (time < counters_.last_slice_time.load(std::memory_order_acquire) + SampleClock::FRAMES.load()) wake();
}

void Scheduler::clear() {
    std::lock_guard lock(priority_queue_mutex_);
    // Set aside what is queued now; the next slice destroys it. What is scheduled after the request (a loop
    // restarted in the same evaluation) is not part of it. Moving nodes allocates nothing.
    if (clearing_.empty()) clearing_.swap(queue_);
    else clearing_.merge(queue_);
    clear_requested_ = true;
}

void Scheduler::set_block(int32_t tag) {
    std::lock_guard lock(priority_queue_mutex_);
    blocked_.insert(tag);
}

void Scheduler::remove_block(int32_t tag) {
    std::lock_guard lock(priority_queue_mutex_);
    blocked_.erase(tag);
}

size_t Scheduler::size() {
    std::lock_guard lock(priority_queue_mutex_);
    return queue_.size();
}

TaskI* Scheduler::front() {
    std::lock_guard lock(priority_queue_mutex_);
    return queue_.empty() ? nullptr : queue_.begin()->second;
}

void Scheduler::pop_front() {
    std::lock_guard lock(priority_queue_mutex_);
    queue_.erase(queue_.begin());
}

namespace {
void discard(TaskI* task) {
    task->discard();
    delete task;
}

void bump(std::atomic<uint64_t>& counter, uint64_t by = 1) {
    counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}
}  // namespace

Scheduler::Stats Scheduler::stats() const {
    Stats s;
    s.slices = counters_.slices.load(std::memory_order_acquire);
    s.last_slice_time = counters_.last_slice_time.load(std::memory_order_acquire);
    s.executed = counters_.executed.load(std::memory_order_relaxed);
    s.late = counters_.late.load(std::memory_order_relaxed);
    s.max_lateness = counters_.max_lateness.load(std::memory_order_relaxed);
    s.reaped = counters_.reaped.load(std::memory_order_relaxed);
    s.blocked = counters_.blocked.load(std::memory_order_relaxed);
    s.cleared = counters_.cleared.load(std::memory_order_relaxed);
    return s;
}

void Scheduler::time_slice() {
    if (slice_hook_) slice_hook_();
    if (clear_requested_.exchange(false)) {
        std::multimap<int64_t, TaskI*, SortCriteria<int64_t>> cleared;
        {
            std::lock_guard lock(priority_queue_mutex_);
            cleared.swap(clearing_);
        }
        for (auto& [time, task] : cleared) discard(task);
        bump(counters_.cleared, cleared.size());
    }
    const int64_t now = static_cast<int64_t>(SampleClock::TIME.load());
    TaskI* task = front();
    if (TASK_QUEUE_LOGGING) {
        if (task)
            CPPBridge::notification("Queue Size: %d - Next task due in %d samples", static_cast<int>(size()),
                                    static_cast<int>(task->time() - now));
        else
            CPPBridge::notification("Queue Size: 0");
    }
    // Reaping: lateness is a full 64-bit difference.
    bool reaped = false;
    const int64_t reaper = SampleClock::REAPER_TIME.load();
    while (task && reaper != 0 && now - task->time() > reaper) {
        if (!SampleClock::REAP_CALLBACKS && task->callback()) {
            devlog("Don't reap callback");
            break;
        }
        if (!reaped) CPPBridge::notification("Reaping late events");
        reaped = true;
        bump(counters_.reaped);
        pop_front();
        discard(task);
        task = front();
    }
    const int64_t horizon = now + SampleClock::FRAMES.load();
    while (task && task->time() < horizon) {
        pop_front();
        bool blocked;
        {
            std::lock_guard lock(priority_queue_mutex_);
            int32_t tag = task->getTag();
            blocked = tag != 0 && blocked_.count(tag) != 0;
        }
        if (blocked) {
            bump(counters_.blocked);
            discard(task);
        } else {
            note_lateness(now - task->time());
            try {
                task->execute();
            } catch (const PlatformException& e) {
                CPPBridge::error_text(e.reason());
            }
            delete task;
        }
        task = front();
    }
    counters_.last_slice_time.store(now, std::memory_order_release);
    counters_.slices.store(counters_.slices.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

void Scheduler::note_lateness(int64_t lateness) {
    bump(counters_.executed);
    if (lateness <= 0) return;
    bump(counters_.late);
    if (lateness > counters_.max_lateness.load(std::memory_order_relaxed))
        counters_.max_lateness.store(lateness, std::memory_order_relaxed);
}

void Scheduler::queue_thread_body() {
    while (running_) {
        time_slice();
        queue_thread_wake_.acquire();
        wake_pending_.store(false, std::memory_order_release);
    }
}

void Scheduler::start_thread() {
    if (queue_thread_) return;
    running_ = true;
    queue_thread_ = std::make_unique<Thread>("ombrel scheduler", [this] { queue_thread_body(); }, 63, false);
    queue_thread_->start();
}

void Scheduler::stop_thread() {
    if (!queue_thread_) return;
    running_ = false;
    wake();
    queue_thread_->join();
    queue_thread_.reset();
}

}  // namespace omb
