#include "platform/thread.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>
#include <cerrno>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using omb::Guard;
using omb::RecursiveOwnerMutex;
using omb::Scheduling;
using omb::Thread;

namespace {

// Generous: these bound hangs, never measure speed.
constexpr auto kPatience = 30s;

template <class Fn>
auto on_other_thread(Fn fn) {
  auto result = std::async(std::launch::async, fn);
  EXPECT_EQ(result.wait_for(kPatience), std::future_status::ready);
  return result.get();
}

TEST(RecursiveOwnerMutex, OwnershipIsPerThreadAndNotCounted) {
  RecursiveOwnerMutex m("test mutex");
  EXPECT_TRUE(m.is_free());
  EXPECT_FALSE(m.is_owned_by_current_thread());

  m.lock();
  m.lock(); // the holder locking again must neither block nor count
  EXPECT_TRUE(m.is_owned_by_current_thread());
  EXPECT_FALSE(m.is_free());
  EXPECT_TRUE(m.try_lock());

  // Another thread sees it held, cannot take it and cannot release it.
  on_other_thread([&] {
    EXPECT_FALSE(m.is_owned_by_current_thread());
    EXPECT_FALSE(m.is_free());
    EXPECT_FALSE(m.try_lock());
    m.unlock();
    return 0;
  });
  EXPECT_TRUE(m.is_owned_by_current_thread());

  m.unlock(); // one unlock releases, however often it was locked
  EXPECT_TRUE(m.is_free());
  EXPECT_FALSE(m.is_owned_by_current_thread());
  m.unlock(); // unlocking a free mutex does nothing
  EXPECT_TRUE(m.is_free());

  const bool took = on_other_thread([&] {
    const bool ok = m.try_lock() && m.is_owned_by_current_thread();
    m.unlock();
    return ok;
  });
  EXPECT_TRUE(took);
  EXPECT_TRUE(m.is_free());
}

TEST(RecursiveOwnerMutex, ExcludesOtherThreadsUnderContention) {
  RecursiveOwnerMutex m("counter");
  long counter = 0; // deliberately not atomic: the mutex must protect it
  constexpr int kThreads = 4, kEach = 20000;
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        std::lock_guard lock(m);
        ASSERT_TRUE(m.is_owned_by_current_thread());
        ++counter;
      }
    });
  for (auto& w : workers)
    w.join();
  EXPECT_EQ(counter, long{kThreads} * kEach);
  EXPECT_TRUE(m.is_free());
}

TEST(Guard, WaitAndNotifyRoundTripRestoresOwnership) {
  Guard g("round trip");
  int turn = 0; // under g: 0 main's move, 1 the other's
  constexpr int kRounds = 200;

  std::thread other([&] {
    std::lock_guard lock(g);
    for (int i = 0; i < kRounds; ++i) {
      while (turn != 1)
        ASSERT_TRUE(g.wait_for(kPatience));
      ASSERT_TRUE(g.is_owned_by_current_thread());
      turn = 0;
      g.notify();
    }
  });

  {
    std::lock_guard lock(g);
    for (int i = 0; i < kRounds; ++i) {
      turn = 1;
      g.notify();
      while (turn != 0)
        ASSERT_TRUE(g.wait_for(kPatience));
      ASSERT_TRUE(g.is_owned_by_current_thread());
    }
  }
  other.join();
  EXPECT_TRUE(g.is_free());
}

TEST(Guard, TimedWaitsReturnFalseOnTimeOutAndKeepTheGuard) {
  Guard g("timeouts");
  std::lock_guard lock(g);

  const auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(g.wait_for(20ms));
  const auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_GE(waited, 20ms);
  EXPECT_LT(waited, kPatience);
  EXPECT_TRUE(g.is_owned_by_current_thread());

  EXPECT_FALSE(g.wait_until(std::chrono::steady_clock::now() - 1s));
  EXPECT_FALSE(g.wait_for(-5ms));
  EXPECT_TRUE(g.is_owned_by_current_thread());
}

TEST(Guard, WaitWithoutHoldingLeavesTheGuardFree) {
  Guard g("unheld");
  EXPECT_FALSE(g.wait_for(1ms));
  EXPECT_TRUE(g.is_free());
  EXPECT_FALSE(g.is_owned_by_current_thread());
}

// The render thread signals the scheduler without taking its guard; an
// "almost forever" time-out must still wait rather than overflow into the past.
TEST(Guard, NotifyWithoutTheGuardWakesAWaiter) {
  Guard g("render signal");
  std::atomic<bool> signalled{false}, entered{false};

  auto waiter = std::async(std::launch::async, [&] {
    std::lock_guard lock(g);
    entered.store(true);
    while (!signalled.load())
      if (!g.wait_for(std::chrono::nanoseconds::max()))
        return false;
    return g.is_owned_by_current_thread();
  });

  // Once this thread gets the guard after the waiter entered, the waiter has
  // released it inside its wait.
  while (!entered.load())
    std::this_thread::yield();
  g.lock();
  g.unlock();

  signalled.store(true);
  ASSERT_FALSE(g.is_owned_by_current_thread());
  g.notify();
  if (waiter.wait_for(kPatience) != std::future_status::ready) {
    ADD_FAILURE() << "notify without the guard did not wake the waiter";
    while (waiter.wait_for(10ms) != std::future_status::ready)
      g.notify(); // let the waiter go so the test can end
  }
  EXPECT_TRUE(waiter.get());
}

TEST(Guard, NotifyAllWakesEveryWaiter) {
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
        if (!g.wait_for(kPatience))
          return false;
      return true;
    }));

  for (;;) {
    std::lock_guard lock(g);
    if (waiting == kWaiters) {
      go = true;
      break;
    }
  }
  g.notify_all();
  for (auto& w : waiters) {
    ASSERT_EQ(w.wait_for(kPatience), std::future_status::ready);
    EXPECT_TRUE(w.get());
  }
}

std::string os_name_of_current_thread() {
  char buf[64] = {};
  pthread_getname_np(pthread_self(), buf, sizeof buf);
  return buf;
}

TEST(Thread, RunsItsBodyUnderItsNameAndJoins) {
  std::string seen_name;
  std::atomic<bool> finished{false};
  {
    Thread t("Ombrel scheduler queue", [&] {
      seen_name = os_name_of_current_thread();
      std::this_thread::sleep_for(20ms);
      finished = true;
    });
    EXPECT_FALSE(t.started());
    ASSERT_TRUE(t.start());
    EXPECT_TRUE(t.started());
    EXPECT_FALSE(t.start()); // a thread runs its body once
    // leaving the scope joins
  }
  EXPECT_TRUE(finished.load());
  EXPECT_EQ(seen_name, "Ombrel schedule"); // the OS keeps 15 bytes

  std::string short_name;
  Thread s("eval", [&] { short_name = os_name_of_current_thread(); });
  ASSERT_TRUE(s.start());
  s.join();
  s.join(); // a second join does nothing
  EXPECT_EQ(short_name, "eval");
}

TEST(Thread, AnExceptionInTheBodyEndsOnlyThatThread) {
  Thread t("thrower", [] { throw std::runtime_error("boom"); });
  ASSERT_TRUE(t.start());
  t.join();
  SUCCEED(); // reaching here means the program was not terminated
}

// Real time and a raised nice value may or may not be granted here; either way the thread runs, it gets what
// it asked for or plain time-sharing, and a change while it runs applies at once. The audio level stays above the
// queue thread's.
TEST(Thread, SchedulingClassesApplyBeforeStartAndWhileRunning) {
  struct Seen {
    int policy = -1, fifo_level = -1, nice = 99;
  };
  auto look = [] {
    Seen s;
    sched_param p{};
    pthread_getschedparam(pthread_self(), &s.policy, &p);
    s.fifo_level = p.sched_priority;
    errno = 0;
    s.nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    return s;
  };
  std::promise<void> step[3];
  std::promise<void> go[2];
  Seen seen[3];
  bool reported = false;
  Thread t("sched test", [&] {
    seen[0] = look();
    reported = Thread::realtime_available();
    step[0].set_value();
    go[0].get_future().wait();
    seen[1] = look();
    step[1].set_value();
    go[1].get_future().wait();
    seen[2] = look();
    step[2].set_value();
  });
  t.set_scheduling(Scheduling::realtime_audio); // before start: applied when the thread starts
  EXPECT_EQ(t.scheduling(), Scheduling::realtime_audio);
  ASSERT_TRUE(t.start());
  ASSERT_EQ(step[0].get_future().wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(seen[0].policy == SCHED_FIFO, reported);
  const int audio_level = seen[0].fifo_level;

  t.set_scheduling(Scheduling::realtime_scheduler);
  go[0].set_value();
  ASSERT_EQ(step[1].get_future().wait_for(kPatience), std::future_status::ready);
  if (reported) {
    EXPECT_EQ(seen[1].policy, SCHED_FIFO);
    EXPECT_LT(seen[1].fifo_level, audio_level);
  }

  t.set_scheduling(Scheduling::raised); // time-sharing again, nice -5 where permitted
  go[1].set_value();
  ASSERT_EQ(step[2].get_future().wait_for(kPatience), std::future_status::ready);
  t.join();
  EXPECT_EQ(seen[2].policy, SCHED_OTHER);
  EXPECT_TRUE(seen[2].nice == Thread::kRaisedNice || seen[2].nice == 0) << seen[2].nice;
  if (reported) { // the same privilege grants both
    EXPECT_EQ(seen[2].nice, Thread::kRaisedNice);
  }
}

} // namespace
