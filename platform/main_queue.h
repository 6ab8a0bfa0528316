// Main-thread work queue: any thread posts closures, the main thread runs them.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace omb::main_queue {

// Marks the calling thread as the main thread (the single consumer).
void set_main_thread();
bool is_main_thread();

// Queues fn to run on the main thread. Callable from any thread; never waits
// for the consumer. Items posted by one thread run in the order posted.
void post(std::function<void()> fn);

// Runs the items queued before the call (not ones they post in turn, so a
// task that re-posts itself cannot starve the caller). Main thread only.
// Returns how many ran. A task that throws is reported on stderr and skipped.
std::size_t run_pending();
// The same, running at most max_items; when work is left the wake fd is signalled again, so an event loop that
// drains in bounded turns still runs everything, with its own events in between (a flood of log lines must not
// freeze the windows).
std::size_t run_pending(std::size_t max_items);

// Waits up to timeout for work to arrive, then runs what is pending.
std::size_t wait_and_run(std::chrono::milliseconds timeout);

// eventfd that becomes readable when work is posted, for an external event
// loop to watch; after it fires, call run_pending().
int wake_fd();

// Runs fn on the main thread and waits for it; exceptions propagate to the
// caller. On the main thread fn runs directly. Blocks until the main thread
// drains the queue, so never call it while holding a lock the main thread needs.
void run_sync(std::function<void()> fn);

} // namespace omb::main_queue
