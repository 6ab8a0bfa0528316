#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace std::chrono_literals;
using omb::Guard;
using omb::RecursiveOwnerMutex;
using omb::Scheduling;
using omb::Thread;

namespace {

// Generous: these bound hangs, never measure speed.
constexpr auto kPatience = 30s;

TEST(RecursiveOwnerMutex, OwnershipIsPerThreadNotCountedAndExclusive) {
  RecursiveOwnerMutex m("test mutex");
  EXPECT_TRUE(m.is_free());
  EXPECT_FALSE(m.is_owned_by_current_thread());
  m.lock();
  m.lock(); // the holder locking again must neither block nor count
  EXPECT_TRUE(m.is_owned_by_current_thread());
  EXPECT_FALSE(m.is_free());
  EXPECT_TRUE(m.try_lock());
  std::thread([&] { // sees it held, cannot take it and cannot release it
    EXPECT_FALSE(m.is_owned_by_current_thread());
    EXPECT_FALSE(m.is_free());
    EXPECT_FALSE(m.try_lock());
    m.unlock();
  }).join();
  EXPECT_TRUE(m.is_owned_by_current_thread());
  m.unlock(); // one unlock releases, however often it was locked
  EXPECT_TRUE(m.is_free());
  EXPECT_FALSE(m.is_owned_by_current_thread());
  m.unlock(); // unlocking a free mutex does nothing
  EXPECT_TRUE(m.is_free());
  std::thread([&] {
    EXPECT_TRUE(m.try_lock() && m.is_owned_by_current_thread());
    m.unlock();
  }).join();

  long counter = 0; // deliberately not atomic: the mutex must protect it
  constexpr int kThreads = 4, kEach = 20000;
  {
    std::vector<std::jthread> workers;
    for (int t = 0; t < kThreads; ++t)
      workers.emplace_back([&] {
        for (int i = 0; i < kEach; ++i) {
          std::lock_guard lock(m);
          ASSERT_TRUE(m.is_owned_by_current_thread());
          ++counter;
        }
      });
  }
  EXPECT_EQ(counter, long{kThreads} * kEach);
  EXPECT_TRUE(m.is_free());
}

TEST(Guard, TimedWaitsReturnFalseOnTimeOutAndLeaveTheGuardAsTheyFoundIt) {
  Guard g("timeouts");
  {
    std::lock_guard lock(g);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(g.wait_for(20ms));
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_GE(waited, 20ms);
    EXPECT_LT(waited, kPatience);
    ASSERT_TRUE(g.is_owned_by_current_thread()); // else the next wait would lock it again, for ever
    EXPECT_FALSE(g.wait_until(std::chrono::steady_clock::now() - 1s));
    EXPECT_FALSE(g.wait_for(-5ms));
    EXPECT_TRUE(g.is_owned_by_current_thread());
  }
  EXPECT_FALSE(g.wait_for(1ms)); // not held: taken for the wait only
  EXPECT_TRUE(g.is_free());
}

// The render thread signals the scheduler without taking its guard; an
// "almost forever" time-out must still wait rather than overflow into the past.
TEST(Guard, NotifyWithoutTheGuardWakesAWaiter) {
  Guard g("render signal");
  std::atomic<bool> signalled{false}, entered{false};
  auto waiter = std::async(std::launch::async, [&] {
    std::lock_guard lock(g);
    entered = true;
    while (!signalled)
      if (!g.wait_for(std::chrono::nanoseconds::max())) return false;
    return g.is_owned_by_current_thread();
  });

  // Once this thread gets the guard after the waiter entered, the waiter has released it inside its wait.
  while (!entered) std::this_thread::yield();
  g.lock();
  g.unlock();
  signalled = true;
  g.notify();
  if (waiter.wait_for(kPatience) != std::future_status::ready) {
    ADD_FAILURE() << "notify without the guard did not wake the waiter";
    while (waiter.wait_for(10ms) != std::future_status::ready) g.notify(); // let the waiter go so the test can end
  }
  EXPECT_TRUE(waiter.get());
}

// Each waiter takes the guard, lets it go inside its wait (or the others could not count themselves in), and holds
// it again when the broadcast wakes it.
TEST(Guard, NotifyAllWakesEveryWaiterHoldingTheGuardAgain) {
  Guard g("broadcast");
  bool go = false; // under g
  int waiting = 0; // under g
  constexpr int kWaiters = 3;
  std::vector<std::future<bool>> waiters;
  for (int i = 0; i < kWaiters; ++i)
    waiters.push_back(std::async(std::launch::async, [&] {
      std::lock_guard lock(g);
      ++waiting;
      while (!go)
        if (!g.wait_for(kPatience)) return false;
      return g.is_owned_by_current_thread();
    }));

  for (bool sent = false; !sent;) {
    std::lock_guard lock(g);
    sent = go = waiting == kWaiters;
    if (go) g.notify_all(); // under the guard: they wake as this thread lets go
  }
  for (auto& w : waiters) {
    ASSERT_EQ(w.wait_for(kPatience), std::future_status::ready);
    EXPECT_TRUE(w.get());
  }
  EXPECT_TRUE(g.is_free());
}

std::string os_name_of_current_thread() {
  char buf[64] = {};
  pthread_getname_np(pthread_self(), buf, sizeof buf);
  return buf;
}

TEST(Thread, RunsItsBodyOnceUnderItsNameAndJoins) {
  // The OS keeps 15 bytes of a name, cut where a character begins.
  const std::pair<std::string, std::string> names[] = {
      {"eval", "eval"}, {"Ombrel scheduler queue", "Ombrel schedule"}, {"Ombrel clock \xE2\x99\xAA", "Ombrel clock "}};
  for (const auto& [name, os_name] : names) {
    std::string seen;
    Thread t(name, [&] { seen = os_name_of_current_thread(); });
    ASSERT_TRUE(t.start());
    t.join();
    EXPECT_EQ(seen, os_name);
  } // the destructor's join after join() does nothing

  std::atomic<int> runs{0};
  {
    Thread t("runs once", [&] {
      std::this_thread::sleep_for(20ms);
      ++runs;
    });
    EXPECT_FALSE(t.started());
    ASSERT_TRUE(t.start());
    EXPECT_TRUE(t.started());
    EXPECT_FALSE(t.start());
  } // leaving the scope joins
  EXPECT_EQ(runs.load(), 1);

  Thread thrower("thrower", [] { throw std::runtime_error("boom"); });
  ASSERT_TRUE(thrower.start());
  thrower.join(); // the exception ended that thread only, not the program
}

// Real time and a raised nice value may or may not be granted here; either way the thread runs, it gets what
// it asked for or plain time-sharing, and a change while it runs applies at once. The audio level stays above the
// queue thread's.
TEST(Thread, SchedulingClassesApplyBeforeStartAndWhileRunning) {
  struct { int policy = -1, fifo_level = -1, nice = 99; } seen[3];
  std::promise<void> looked[3], go[2];
  bool granted = false;
  Thread t("sched test", [&] {
    granted = Thread::realtime_available();
    for (int i = 0; i < 3; ++i) {
      sched_param p{};
      pthread_getschedparam(pthread_self(), &seen[i].policy, &p);
      seen[i].fifo_level = p.sched_priority;
      seen[i].nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
      looked[i].set_value();
      if (i < 2) go[i].get_future().wait();
    }
  });
  auto look = [&](int i) { // lets the thread look again after the change just made
    if (i > 0) go[i - 1].set_value();
    return looked[i].get_future().wait_for(kPatience) == std::future_status::ready;
  };

  t.set_scheduling(Scheduling::realtime_audio); // before start: applied when the thread starts
  ASSERT_TRUE(t.start());
  ASSERT_TRUE(look(0));
  EXPECT_EQ(seen[0].policy == SCHED_FIFO, granted);

  t.set_scheduling(Scheduling::realtime_scheduler);
  ASSERT_TRUE(look(1));
  if (granted) {
    EXPECT_EQ(seen[1].policy, SCHED_FIFO);
    EXPECT_LT(seen[1].fifo_level, seen[0].fifo_level);
  }

  t.set_scheduling(Scheduling::raised); // time-sharing again, nice -5 where permitted
  ASSERT_TRUE(look(2));
  t.join();
  EXPECT_EQ(seen[2].policy, SCHED_OTHER);
  // The privilege that grants real time grants a raised nice value too.
  EXPECT_TRUE(seen[2].nice == Thread::kRaisedNice || (!granted && seen[2].nice == 0)) << seen[2].nice;
}

} // namespace
