#include "scheduler/scheduler.h"

#include <exception>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "interpreter/process_switches.h"
#include "platform/dev_log.h"
#include "platform/exception.h"
#include "platform/log_bridge.h"
#include "scheduler/sample_clock.h"

namespace omb {

namespace {

void bump(std::atomic<uint64_t>& counter, uint64_t by = 1) {
    counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

// Runs one step of a task's life; whatever it throws is reported once and the music goes on. False if it threw.
template <class F>
bool guarded(F&& step) {
    try {
        step();
        return true;
    } catch (const PlatformException& e) {
        CPPBridge::error_text(e.reason());
    } catch (const std::exception& e) {
        CPPBridge::error("Scheduled task failed: %s", e.what());
    } catch (...) {
        CPPBridge::error("Scheduled task failed: unknown exception");
    }
    return false;
}

void discard(TaskI* task) {
    guarded([task] { task->discard(); });
    delete task;
}

}  // namespace

Scheduler& Scheduler::singleton() {
    static Scheduler scheduler;
    return scheduler;
}

Scheduler::Scheduler() = default;

Scheduler::~Scheduler() {
    stop_thread();
    std::lock_guard lock(priority_queue_mutex_);
    clearing_.merge(queue_);
    for (auto& [time, task] : clearing_) discard(task);
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
    clearing_.merge(queue_);
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

void Scheduler::withdraw(const void* owner) {
    if (!owner) return;
    std::vector<TaskI*> withdrawn;
    {
        // A slice in progress finishes first: a task of the owner may be running or being discarded there.
        std::lock_guard running(running_mutex_);
        std::lock_guard lock(priority_queue_mutex_);
        for (Queue* q : {&queue_, &clearing_})
            std::erase_if(*q, [&](const auto& entry) {
                if (entry.second->owner() != owner) return false;
                withdrawn.push_back(entry.second);
                return true;
            });
    }
    for (TaskI* task : withdrawn) discard(task);
}

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
    s.failed = counters_.failed.load(std::memory_order_relaxed);
    return s;
}

void Scheduler::time_slice() {
    // Tasks are run and discarded under this lock, so withdraw() can wait until none of an owner's is in hand.
    std::lock_guard running(running_mutex_);
    if (slice_hook_) slice_hook_();
    discard_cleared();
    const int64_t now = static_cast<int64_t>(SampleClock::TIME.load());
    if (TASK_QUEUE_LOGGING) report_queue(now);
    run_due(now);
    counters_.last_slice_time.store(now, std::memory_order_release);
    counters_.slices.store(counters_.slices.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

void Scheduler::discard_cleared() {
    if (!clear_requested_.exchange(false)) return;
    Queue cleared;
    {
        std::lock_guard lock(priority_queue_mutex_);
        cleared.swap(clearing_);
    }
    for (auto& [time, task] : cleared) discard(task);
    bump(counters_.cleared, cleared.size());
}

void Scheduler::report_queue(int64_t now) {
    size_t size;
    int64_t next = 0;
    {
        std::lock_guard lock(priority_queue_mutex_);
        size = queue_.size();
        if (size) next = queue_.begin()->first;
    }
    if (size)
        CPPBridge::notification("Queue Size: %d - Next task due in %d samples", static_cast<int>(size),
                                static_cast<int>(next - now));
    else
        CPPBridge::notification("Queue Size: 0");
}

// Takes the front task out of the queue if it is to be reaped or is due, deciding its fate under the same lock.
// Reaping comes first: a task more than REAPER_TIME late is destroyed unrun, unless it is a callback and callbacks
// are spared, which ends the reaping for the slice (the late tasks behind it run late). Lateness is a full 64-bit
// difference. A task inserted in the middle of the slice is judged by the same rules as one that was there first.
Scheduler::Taken Scheduler::take(int64_t now, int64_t horizon, Reaping& reaping) {
    std::lock_guard lock(priority_queue_mutex_);
    if (queue_.empty()) return {};
    const auto front = queue_.begin();
    TaskI* task = front->second;
    if (reaping.threshold != 0 && now - front->first > reaping.threshold) {
        if (reaping.callbacks || !task->callback()) {
            queue_.erase(front);
            return {task, Fate::reap};
        }
        reaping.threshold = 0;
        reaping.spared = true;
    }
    if (front->first >= horizon) return {};
    queue_.erase(front);
    const int32_t tag = task->getTag();
    return {task, tag != 0 && blocked_.count(tag) != 0 ? Fate::block : Fate::run};
}

void Scheduler::run_due(int64_t now) {
    const int64_t horizon = now + SampleClock::FRAMES.load();
    Reaping reaping{SampleClock::REAPER_TIME.load(), SampleClock::REAP_CALLBACKS.load()};
    bool reported = false;
    for (;;) {
        const Taken taken = take(now, horizon, reaping);
        if (reaping.spared) {
            devlog("Don't reap callback");
            reaping.spared = false;
        }
        if (!taken.task) return;
        switch (taken.fate) {
        case Fate::reap:
            if (!reported) CPPBridge::notification("Reaping late events");
            reported = true;
            bump(counters_.reaped);
            discard(taken.task);
            break;
        case Fate::block:
            bump(counters_.blocked);
            discard(taken.task);
            break;
        case Fate::run:
            note_lateness(now - taken.task->time());
            run(taken.task);
            break;
        }
    }
}

void Scheduler::run(TaskI* task) {
    if (!guarded([task] { task->execute(); })) bump(counters_.failed);
    delete task;
}

void Scheduler::note_lateness(int64_t lateness) {
    bump(counters_.executed);
    if (lateness <= 0) return;
    bump(counters_.late);
    if (lateness > counters_.max_lateness.load(std::memory_order_relaxed))
        counters_.max_lateness.store(lateness, std::memory_order_relaxed);
}

void Scheduler::queue_thread_body() {
    in_slice_.store(true);
    while (running_) {
        time_slice();
        in_slice_.store(false);
        queue_thread_wake_.acquire();
        // Busy before the wake is taken back, so that idle() is never true while a slice is coming.
        in_slice_.store(true);
        wake_pending_.store(false);
    }
    in_slice_.store(false);
}

void Scheduler::start_thread() {
    if (queue_thread_) return;
    running_ = true;
    queue_thread_ = std::make_unique<Thread>("ombrel scheduler", [this] { queue_thread_body(); },
                                             Scheduling::realtime_scheduler);
    queue_thread_->start();
}

void Scheduler::stop_thread() {
    if (!queue_thread_) return;
    running_ = false;
    wake();
    queue_thread_->join();
    queue_thread_.reset();
}

// ---- the targets that exist -------------------------------------------------------------------------------------------

namespace {

std::mutex& targets_mutex() {
    static std::mutex m;
    return m;
}

std::unordered_set<const void*>& targets() {
    static std::unordered_set<const void*> set;
    return set;
}

}  // namespace

CM::CM() {
    std::lock_guard lock(targets_mutex());
    targets().insert(this);
}

CM::~CM() {
    std::lock_guard lock(targets_mutex());
    targets().erase(this);
}

bool CM::live(const void* p) {
    std::lock_guard lock(targets_mutex());
    return targets().count(p) != 0;
}

}  // namespace omb
