#include "platform/thread.h"

#include "platform/dev_log.h"
#include "platform/log_bridge.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>
#include <utility>

#include <cxxabi.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace omb {
namespace {

// Ids from a counter rather than pthread_self(): pthread ids are reused once a
// thread ends, and a reused id would "own" a mutex its predecessor left locked.
std::uint64_t current_thread_id() {
  static std::atomic<std::uint64_t> next{1};
  thread_local const std::uint64_t id = next.fetch_add(1, std::memory_order_relaxed);
  return id;
}

} // namespace

// ---- RecursiveOwnerMutex ----------------------------------------------------

RecursiveOwnerMutex::RecursiveOwnerMutex(std::string name) : name_(std::move(name)) {}

// owner_ only ever equals the caller's id if the caller stored it, so relaxed
// loads suffice for the ownership test; the mutex itself orders the data.
bool RecursiveOwnerMutex::is_owned_by_current_thread() const {
  return owner_.load(std::memory_order_relaxed) == current_thread_id();
}

bool RecursiveOwnerMutex::is_free() const { return owner_.load(std::memory_order_acquire) == 0; }

void RecursiveOwnerMutex::lock() {
  if (is_owned_by_current_thread())
    return;
  mutex_.lock();
  owner_.store(current_thread_id(), std::memory_order_release);
}

bool RecursiveOwnerMutex::try_lock() {
  if (is_owned_by_current_thread())
    return true;
  if (!mutex_.try_lock())
    return false;
  owner_.store(current_thread_id(), std::memory_order_release);
  return true;
}

void RecursiveOwnerMutex::unlock() {
  if (!is_owned_by_current_thread())
    return;
  owner_.store(0, std::memory_order_release);
  mutex_.unlock();
}

void RecursiveOwnerMutex::release_for_wait() { owner_.store(0, std::memory_order_release); }

void RecursiveOwnerMutex::restore_after_wait() {
  owner_.store(current_thread_id(), std::memory_order_release);
}

// ---- Guard ------------------------------------------------------------------

Guard::Guard(std::string name) : RecursiveOwnerMutex(std::move(name)) {}

// Ownership moves from the guard to the condition wait and back. A caller
// that did not hold the guard gets it back free, as it was.
bool Guard::wait_impl(const std::chrono::steady_clock::time_point* deadline) {
  const bool held = is_owned_by_current_thread();
  if (!held)
    lock();
  release_for_wait();
  std::unique_lock<std::mutex> inner(mutex_, std::adopt_lock);
  bool notified = true;
  if (deadline)
    notified = cond_.wait_until(inner, *deadline) == std::cv_status::no_timeout;
  else
    cond_.wait(inner);
  inner.release(); // still locked: the guard takes it back
  restore_after_wait();
  if (!held)
    unlock();
  return notified;
}

void Guard::wait() { wait_impl(nullptr); }

bool Guard::wait_for(std::chrono::nanoseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point now = Clock::now();
  // Saturate rather than overflow for "wait practically forever" time-outs.
  const Clock::duration room = Clock::time_point::max() - now;
  const Clock::time_point deadline =
      timeout >= room ? Clock::time_point::max() : now + std::chrono::duration_cast<Clock::duration>(timeout);
  return wait_impl(&deadline);
}

bool Guard::wait_until(std::chrono::steady_clock::time_point deadline) { return wait_impl(&deadline); }

void Guard::notify() { cond_.notify_one(); }

void Guard::notify_all() { cond_.notify_all(); }

// ---- Thread -----------------------------------------------------------------

namespace {

std::atomic<bool> g_realtime_granted{false};
std::atomic<bool> g_realtime_refusal_reported{false};
std::atomic<bool> g_nice_refusal_reported{false};
// Middle of the SCHED_FIFO range: above ordinary real-time helpers, below an audio server's own threads.
std::atomic<int> g_audio_level{40};

int fifo_level(Scheduling scheduling) {
  const int lo = sched_get_priority_min(SCHED_FIFO);
  const int hi = sched_get_priority_max(SCHED_FIFO);
  const int audio = g_audio_level.load(std::memory_order_relaxed);
  return std::clamp(scheduling == Scheduling::realtime_audio ? audio : audio - 1, lo, hi);
}

bool is_realtime(Scheduling scheduling) {
  return scheduling == Scheduling::realtime_audio || scheduling == Scheduling::realtime_scheduler;
}

void report_once(std::atomic<bool>& reported, const char* what, const std::string& name, int err) {
  if (reported.exchange(true, std::memory_order_relaxed))
    return;
  CPPBridge::notification("%s refused for thread %s; running at normal priority", what, name.c_str());
  devlog("%s refused for thread %s (%s); running at normal priority", what, name.c_str(), std::strerror(err));
}

// Linux keeps a nice value per thread: setpriority on the thread's own id changes only that thread.
int set_nice(pid_t tid, int nice) { return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0 ? 0 : errno; }

// pthread_setname_np takes at most 15 bytes; cut on a UTF-8 character boundary.
std::string os_thread_name(const std::string& name) {
  constexpr std::size_t kMax = 15;
  if (name.size() <= kMax)
    return name;
  std::size_t cut = kMax;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
    --cut;
  return name.substr(0, cut);
}

} // namespace

Thread::Thread(std::string name, std::function<void()> body, Scheduling scheduling)
    : name_(std::move(name)), body_(std::move(body)), scheduling_(scheduling) {}

Thread::~Thread() { join(); }

bool Thread::realtime_available() { return g_realtime_granted.load(std::memory_order_acquire); }

void Thread::set_audio_realtime_level(int level) { g_audio_level.store(level, std::memory_order_relaxed); }

Scheduling Thread::scheduling() const {
  std::lock_guard lock(control_);
  return scheduling_;
}

bool Thread::start() {
  std::lock_guard lock(control_);
  if (started_.load(std::memory_order_relaxed))
    return false;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error& e) {
    devlog("could not start thread %s: %s", name_.c_str(), e.what());
    return false;
  }
  started_.store(true, std::memory_order_release);
  return true;
}

void Thread::join() {
  std::thread done;
  {
    std::lock_guard lock(control_);
    if (!thread_.joinable())
      return;
    // A thread that ends its own Thread object cannot join itself.
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
      return;
    }
    done = std::move(thread_);
  }
  done.join();
}

void Thread::set_scheduling(Scheduling scheduling) {
  std::lock_guard lock(control_);
  scheduling_ = scheduling;
  if (tid_ != 0 && thread_.joinable())
    apply_scheduling(thread_.native_handle());
}

void Thread::apply_scheduling(pthread_t handle) {
  sched_param param{};
  if (is_realtime(scheduling_)) {
    param.sched_priority = fifo_level(scheduling_);
    const int err = pthread_setschedparam(handle, SCHED_FIFO, &param);
    g_realtime_granted.store(err == 0, std::memory_order_release);
    if (err == 0)
      return;
    report_once(g_realtime_refusal_reported, "Real-time scheduling", name_, err);
  }
  param.sched_priority = 0;
  pthread_setschedparam(handle, SCHED_OTHER, &param);
  const int nice = scheduling_ == Scheduling::raised ? kRaisedNice : 0;
  if (const int err = set_nice(tid_, nice); err != 0 && nice < 0)
    report_once(g_nice_refusal_reported, "A raised priority", name_, err);
}

void Thread::run() {
  pthread_setname_np(pthread_self(), os_thread_name(name_).c_str());
  {
    // Also waits until start() has stored thread_, so join and set_scheduling see it.
    std::lock_guard lock(control_);
    tid_ = gettid();
    apply_scheduling(pthread_self());
  }
  if (!body_)
    return;
  // An exception must not take the whole program down from a helper thread.
  try {
    body_();
  } catch (abi::__forced_unwind&) {
    throw; // thread cancellation unwinds through here and must go on
  } catch (const std::exception& e) {
    CPPBridge::error("Thread %s stopped: %s", name_.c_str(), e.what());
    devlog("thread %s stopped by an exception: %s", name_.c_str(), e.what());
  } catch (...) {
    CPPBridge::error("Thread %s stopped by an unknown exception", name_.c_str());
    devlog("thread %s stopped by an unknown exception", name_.c_str());
  }
}

} // namespace omb
