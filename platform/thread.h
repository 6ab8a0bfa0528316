// Threads with a scheduling class, a mutex that knows its owner, and a guard (that mutex plus a condition variable).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <pthread.h>
#include <sys/types.h>

namespace omb {

// A mutex that tells whether the calling thread holds it. Not counting: a
// lock() by the holder does nothing and a single unlock() releases it, so a
// code path can take the lock without knowing whether its caller already did.
// unlock() by a thread that does not hold it does nothing. Meets BasicLockable
// and Lockable, so std::lock_guard and std::unique_lock work with it.
class RecursiveOwnerMutex {
public:
  explicit RecursiveOwnerMutex(std::string name);
  RecursiveOwnerMutex(const RecursiveOwnerMutex&) = delete;
  RecursiveOwnerMutex& operator=(const RecursiveOwnerMutex&) = delete;

  void lock();
  void unlock();
  // True when the caller holds the mutex afterwards (already did, or took it now).
  bool try_lock();

  // A snapshot: another thread may take the mutex right after it reads free.
  bool is_free() const;
  // Exact for the calling thread: only the calling thread can make it true or false.
  bool is_owned_by_current_thread() const;

  const std::string& name() const { return name_; }

protected:
  // Hands the underlying mutex over to a condition wait and takes it back.
  void release_for_wait();
  void restore_after_wait();

  std::mutex mutex_;

private:
  std::string name_;
  // Per-thread id of the holder, 0 when free. Ids are never reused, so a
  // thread that ends while holding the mutex cannot be mistaken for a new one.
  std::atomic<std::uint64_t> owner_{0};
};

// A RecursiveOwnerMutex with a condition variable. Waits release the guard
// while waiting and hold it again (as owner) when they return; a wait called
// without the guard takes it for the wait and leaves it free afterwards. Waits
// may wake spuriously: callers re-check their condition.
//
// notify() and notify_all() need not hold the guard, never block and never
// allocate, so the audio render thread may call them. A notify sent without
// the guard can miss a waiter that has checked its condition but not yet begun
// to wait; a waiter that must not miss one waits with a time-out.
class Guard : public RecursiveOwnerMutex {
public:
  explicit Guard(std::string name);

  void wait();
  // False when the time-out passed without a notification.
  bool wait_for(std::chrono::nanoseconds timeout);
  bool wait_until(std::chrono::steady_clock::time_point deadline);

  void notify();
  void notify_all();

private:
  bool wait_impl(const std::chrono::steady_clock::time_point* deadline); // null: no time-out

  std::condition_variable cond_;
};

// How a thread shares the processors. Only the audio render thread runs real-time, with the scheduler's queue
// thread one level below it; every other thread time-shares, so that a runaway evaluation can never starve the
// audio, the scheduler, or the thread that interrupts it.
enum class Scheduling {
  normal, // plain time-sharing
  raised, // time-sharing with a raised nice value where permitted (the executer and eval-server threads)
  realtime_scheduler, // SCHED_FIFO just below the audio: the scheduler's queue thread
  realtime_audio,     // SCHED_FIFO: an audio render thread we own (the null driver's clock)
};

// A named thread. Where the system refuses the scheduling asked for, the thread runs at normal priority and the
// refusal is reported once per program run. The thread starts stopped; it is joinable, and the destructor joins.
class Thread {
public:
  Thread(std::string name, std::function<void()> body, Scheduling scheduling = Scheduling::normal);
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Launches the body once; false if already started or the system could not
  // create the thread. The OS name of the thread is the first 15 bytes of name().
  bool start();
  // Waits for the body to end; does nothing if not started or already joined.
  void join();

  // While running, applies at once; before start, applies when the thread starts.
  void set_scheduling(Scheduling scheduling);
  Scheduling scheduling() const;

  const std::string& name() const { return name_; }
  bool started() const { return started_.load(std::memory_order_acquire); }

  // Whether the most recent request for real-time scheduling succeeded (false before any request).
  static bool realtime_available();
  // The SCHED_FIFO level of audio render threads; an audio server that runs its own (JACK) tells its level here
  // so that the queue thread stays below it. Set before the queue thread starts.
  static void set_audio_realtime_level(int level);
  // The nice value "raised" threads ask for.
  static constexpr int kRaisedNice = -5;

private:
  void run();
  void apply_scheduling(pthread_t handle); // caller holds control_; needs tid_

  std::string name_;
  std::function<void()> body_;
  std::atomic<bool> started_{false};
  mutable std::mutex control_; // scheduling_, thread_ and tid_ between start, set_scheduling and join
  Scheduling scheduling_;
  pid_t tid_ = 0; // the kernel's id of the running thread, for its nice value
  std::thread thread_;
};

} // namespace omb
