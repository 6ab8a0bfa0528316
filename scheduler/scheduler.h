// The time-ordered scheduler: every pending task of the program, run by a queue thread when it falls due.
//
// Threads: any thread inserts, clears, blocks and withdraws; the render thread only calls wake(); the queue thread
// runs time_slice() once per buffer. A task leaves the queue (peek, tests and removal) under one lock and is only
// then run or discarded, so each task is run or discarded exactly once whatever races it. The queue lock is never
// held while a task executes, so a running task may schedule new ones.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <semaphore>
#include <set>

#include "platform/thread.h"
#include "scheduler/tasks.h"

namespace omb {

class Scheduler {
public:
    // The program's one queue, driven by the audio engine's clock.
    static Scheduler& singleton();

    Scheduler();
    ~Scheduler();  // stops the queue thread; tasks still queued are discarded
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    void insert(TaskI* task);  // takes ownership
    void clear();              // every task queued now is discarded at the start of the next slice
    void set_block(int32_t tag);
    void remove_block(int32_t tag);
    size_t size();
    // Discards every queued task whose owner() is `owner`, and waits until none of them is running: afterwards
    // nothing the scheduler holds refers to the owner. Not from the queue thread.
    void withdraw(const void* owner);

    void start_thread();  // the queue thread, real-time just below the audio where granted
    void stop_thread();
    // From the render thread once per buffer: no lock, no allocation, never blocks. A semaphore rather than a
    // condition, so a wake that arrives while a slice is still running is not lost (that slice's tasks would be
    // one buffer late).
    void wake() {
        if (!wake_pending_.exchange(true, std::memory_order_acq_rel)) queue_thread_wake_.release();
    }
    // No slice running and none asked for (with the queue thread running). For a clock that waits for the work.
    bool idle() const { return !in_slice_.load() && !wake_pending_.load(); }
    // One pass: clear if asked, reap late tasks, run those due before TIME + FRAMES. Queue thread (or tests).
    void time_slice();
    // Runs at the start of every slice on the queue thread: where render-thread events get reported.
    void set_slice_hook(std::function<void()> hook) { slice_hook_ = std::move(hook); }

    // What the slices have done since construction: read by benchmarks and diagnostics from any thread.
    struct Stats {
        uint64_t slices = 0;           // completed
        int64_t last_slice_time = -1;  // TIME as the last completed slice read it
        uint64_t executed = 0;
        uint64_t late = 0;             // executed although their buffer had already begun (time < TIME at the slice)
        int64_t max_lateness = 0;      // samples
        uint64_t reaped = 0;
        uint64_t blocked = 0;
        uint64_t cleared = 0;
        uint64_t failed = 0;           // threw while running; reported and destroyed
    };
    Stats stats() const;

private:
    using Queue = std::multimap<int64_t, TaskI*, SortCriteria<int64_t>>;

    enum class Fate { reap, block, run };
    struct Taken {
        TaskI* task = nullptr;
        Fate fate = Fate::run;
    };
    struct Reaping {
        int64_t threshold;  // samples late; 0: reaping is off (or ended for this slice)
        bool callbacks;     // callbacks are reaped too
        bool spared = false;  // a late callback was spared just now, ending the reaping
    };

    void discard_cleared();
    void report_queue(int64_t now);
    Taken take(int64_t now, int64_t horizon, Reaping& reaping);
    void run_due(int64_t now);
    void run(TaskI* task);
    void queue_thread_body();
    void note_lateness(int64_t lateness);

    Queue queue_;
    Queue clearing_;  // cleared, awaiting the next slice
    RecursiveOwnerMutex priority_queue_mutex_{"priority_queue_mutex"};
    // Held by the slicing thread for a whole slice, so withdraw() can wait for the tasks it has in hand. Never taken
    // under the queue lock.
    std::mutex running_mutex_;
    // Wakes coalesce: at most one release is outstanding, so the count stays within the semaphore's range.
    std::counting_semaphore<> queue_thread_wake_{0};
    std::atomic<bool> wake_pending_{false};
    std::atomic<bool> in_slice_{false};
    std::set<int32_t> blocked_;
    std::atomic<bool> clear_requested_{false};
    std::atomic<bool> running_{false};
    std::unique_ptr<Thread> queue_thread_;
    std::function<void()> slice_hook_;
    // Written by the slicing thread only; relaxed atomics so readers on other threads see whole values.
    struct Counters {
        std::atomic<uint64_t> slices{0}, executed{0}, late{0}, reaped{0}, blocked{0}, cleared{0}, failed{0};
        std::atomic<int64_t> max_lateness{0};
        std::atomic<int64_t> last_slice_time{-1};
    } counters_;
};

}  // namespace omb
