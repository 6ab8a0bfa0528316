// The time-ordered scheduler: every pending task of the program, run by a queue thread when it falls due.
//
// Threads: any thread inserts; the render thread only calls wake(); the queue thread runs time_slice() once per
// buffer. The queue lock is never held while a task executes, so a running task may schedule new ones.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "platform/thread.h"
#include "runtime/tasks.h"

namespace omb {

class Scheduler {
public:
    Scheduler();
    ~Scheduler();  // stops the queue thread; tasks still queued are discarded
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    void insert(TaskI* task);  // takes ownership
    void clear();              // every queued task is discarded at the start of the next slice
    void set_block(int32_t tag);
    void remove_block(int32_t tag);
    size_t size();

    void start_thread();  // the queue thread (real-time priority when granted)
    void stop_thread();
    // From the render thread once per buffer: no lock, no allocation, never blocks.
    void wake() { queue_thread_guard_.notify(); }
    // One pass: clear if asked, reap late tasks, run those due before TIME + FRAMES. Queue thread (or tests).
    void time_slice();
    // Runs at the start of every slice on the queue thread: where render-thread events get reported.
    void set_slice_hook(std::function<void()> hook) { slice_hook_ = std::move(hook); }

private:
    TaskI* front();
    void pop_front();
    void queue_thread_body();

    std::multimap<int64_t, TaskI*, SortCriteria<int64_t>> queue_;
    RecursiveOwnerMutex priority_queue_mutex_{"priority_queue_mutex"};
    Guard queue_thread_guard_{"queue_thread_guard"};
    std::set<int32_t> blocked_;
    std::atomic<bool> clear_requested_{false};
    std::atomic<bool> running_{false};
    std::unique_ptr<Thread> queue_thread_;
    std::function<void()> slice_hook_;
};

}  // namespace omb
