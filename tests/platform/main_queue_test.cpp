#include "platform/main_queue.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
namespace mq = omb::main_queue;

namespace {

class MainQueue : public ::testing::Test {
protected:
  void SetUp() override {
    mq::set_main_thread();
    mq::run_pending();
  }
  void TearDown() override { mq::run_pending(); }
};

bool fd_readable(int ms) {
  pollfd pfd{mq::wake_fd(), POLLIN, 0};
  return ::poll(&pfd, 1, ms) == 1 && (pfd.revents & POLLIN);
}

// Drains until pred holds or a generous deadline passes.
template <class Pred>
bool drain_until(Pred pred) {
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!pred() && std::chrono::steady_clock::now() < deadline)
    mq::wait_and_run(10ms);
  return pred();
}

TEST_F(MainQueue, KeepsEachProducersOrderUnderContention) {
  constexpr int kThreads = 4, kEach = 20000;
  std::vector<std::pair<int, int>> seen; // touched only on this thread
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t)
    producers.emplace_back([t, &seen] {
      for (int i = 0; i < kEach; ++i)
        mq::post([t, i, &seen] { seen.emplace_back(t, i); });
    });
  ASSERT_TRUE(drain_until([&] { return seen.size() == kThreads * kEach; }));
  for (auto& p : producers)
    p.join();

  std::vector<int> next(kThreads, 0);
  for (auto [t, i] : seen)
    ASSERT_EQ(i, next[t]++) << "producer " << t;
}

TEST_F(MainQueue, RunSyncRunsOnMainThreadAndPropagatesExceptions) {
  EXPECT_TRUE(mq::is_main_thread());
  bool direct = false;
  mq::run_sync([&] { direct = true; }); // main thread: no queueing
  EXPECT_TRUE(direct);

  std::atomic<bool> worker_done{false};
  bool ran_on_main = false, worker_was_main = true, caught = false;
  std::thread worker([&] {
    worker_was_main = mq::is_main_thread();
    mq::run_sync([&] { ran_on_main = mq::is_main_thread(); });
    try {
      mq::run_sync([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error& e) {
      caught = std::string(e.what()) == "boom";
    }
    worker_done = true;
  });
  ASSERT_TRUE(drain_until([&] { return worker_done.load(); }));
  worker.join();
  EXPECT_FALSE(worker_was_main);
  EXPECT_TRUE(ran_on_main);
  EXPECT_TRUE(caught);
}

TEST_F(MainQueue, WakeFdSignalsWorkAndClearsWhenDrained) {
  EXPECT_FALSE(fd_readable(0));
  int runs = 0;
  std::thread([&] { mq::post([&] { ++runs; }); }).join();
  EXPECT_TRUE(fd_readable(1000));
  EXPECT_EQ(mq::run_pending(), 1u);
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(fd_readable(0));

  // A bounded turn leaves the rest signalled, in order.
  std::vector<int> order;
  for (int i = 0; i < 10; ++i) mq::post([&order, i] { order.push_back(i); });
  EXPECT_EQ(mq::run_pending(3), 3u);
  EXPECT_TRUE(fd_readable(0)) << "work is left: the loop must wake again";
  EXPECT_EQ(mq::run_pending(100), 7u);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_FALSE(fd_readable(0));

  // wait_and_run returns on timeout with nothing to do.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(mq::wait_and_run(20ms), 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 15ms);
}

TEST_F(MainQueue, RunPendingStopsAtWhatWasQueuedAndSurvivesThrowingTasks) {
  int reposts = 0;
  std::function<void()> again = [&] {
    ++reposts;
    mq::post(again);
  };
  mq::post([] { throw std::runtime_error("ignored"); });
  mq::post(again);
  EXPECT_EQ(mq::run_pending(), 2u);
  EXPECT_EQ(reposts, 1);
  EXPECT_TRUE(fd_readable(0)) << "the re-posted task must leave the fd signalled";
  EXPECT_EQ(mq::run_pending(), 1u);
  EXPECT_EQ(reposts, 2);
  again = [] {}; // stop the chain
  mq::run_pending();
}

} // namespace
