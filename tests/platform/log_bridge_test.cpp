#include "platform/console_log.h"
#include "platform/log_bridge.h"
#include "platform/main_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
namespace mq = omb::main_queue;
using omb::CPPBridge;

namespace {

struct Recorder : omb::LogTarget {
  std::vector<std::string> lines; // "kind|text", main thread only
  void output(std::string_view t) override { lines.push_back("out|" + std::string(t)); }
  void error(std::string_view t) override { lines.push_back("err|" + std::string(t)); }
  void notification(std::string_view t) override { lines.push_back("note|" + std::string(t)); }
  void styled(const omb::StyledText& t) override {
    lines.push_back("style|" + t.text + "|" + std::to_string(t.fg_rgb) + "|" +
                    std::to_string(t.bg_rgb) + "|" + (t.bold ? "b" : "-"));
  }
};

class LogBridge : public ::testing::Test {
protected:
  void SetUp() override {
    mq::set_main_thread();
    mq::run_pending();
  }
  void TearDown() override {
    CPPBridge::detach();
    mq::run_pending();
  }
  Recorder rec;
};

TEST_F(LogBridge, DropsMessagesBeforeAttachAndAfterDetach) {
  CPPBridge::log("lost %d", 1);
  CPPBridge::error_text("lost");
  CPPBridge::logattr({"lost", 1, 2, true});
  EXPECT_EQ(mq::run_pending(), 0u) << "nothing may be queued without a target";
  CPPBridge::attach(&rec);
  CPPBridge::log("queued");
  CPPBridge::detach(); // the message already in flight is dropped too
  EXPECT_EQ(mq::run_pending(), 1u);
  EXPECT_TRUE(rec.lines.empty());
}

TEST_F(LogBridge, FormatsEachKind) {
  CPPBridge::attach(&rec);
  CPPBridge::notification("n%d", 1);
  CPPBridge::error("x %s", "y");
  CPPBridge::log("%d-%d", 2, 3);
  CPPBridge::lognbr("no newline");
  CPPBridge::log("%s", std::string(5000, 'z').c_str()); // beyond any small buffer
  CPPBridge::notification_text("n2");
  CPPBridge::error_text("e2");
  CPPBridge::log_text("l2");
  CPPBridge::lognbr_text("%d stays literal");
  CPPBridge::logattr({"hi", 0xff0000, 0x000010, true});
  mq::run_pending();
  std::vector<std::string> want = {
      "note|n1\n", "err|:ERROR: x y\n", "out|2-3\n", "out|no newline",
      "out|" + std::string(5000, 'z') + "\n", "note|n2\n", "err|:ERROR: e2\n",
      "out|l2\n", "out|%d stays literal", "style|hi|16711680|16|b"};
  EXPECT_EQ(rec.lines, want);
}

// The detaching thread destroys the target right after detach returns while
// the main thread is still delivering; ASan flags any late call.
TEST_F(LogBridge, DetachFromAnotherThreadWhileDelivering) {
  auto target = std::make_unique<Recorder>();
  CPPBridge::attach(target.get());
  std::atomic<bool> stop{false}, detached{false};
  std::thread producer([&] {
    while (!stop)
      CPPBridge::log("spam");
  });
  std::thread detacher([&] {
    std::this_thread::sleep_for(20ms);
    CPPBridge::detach();
    target.reset();
    detached = true;
  });
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!detached && std::chrono::steady_clock::now() < deadline)
    mq::wait_and_run(1ms);
  for (int i = 0; i < 20; ++i)
    mq::wait_and_run(1ms);
  stop = true;
  producer.join();
  detacher.join();
  mq::run_pending();
  EXPECT_TRUE(detached);
}

// Posting never waits for the main thread. A runaway printer does not fill memory: past the bound, messages are
// dropped and the log says how many; what is kept comes in order.
TEST_F(LogBridge, AFloodBeyondTheBoundIsDroppedAndCountedWithoutWaiting) {
  CPPBridge::attach(&rec);
  constexpr int kCount = 250000, kKept = 200000;
  auto done = std::async(std::launch::async, [] {
    for (int i = 0; i < kCount; ++i)
      CPPBridge::log("m%d", i);
  });
  ASSERT_EQ(done.wait_for(60s), std::future_status::ready) << "producer blocked";
  mq::run_pending();
  ASSERT_EQ(rec.lines.size(), kKept + 1u) << "the bound's worth, and one note";
  EXPECT_EQ(rec.lines[0], "err|:ERROR: 50000 log messages were dropped: they came faster than the log could show them\n");
  for (int i = 0; i < kKept; ++i)
    ASSERT_EQ(rec.lines[i + 1], "out|m" + std::to_string(i) + "\n");
  CPPBridge::log("after");
  mq::run_pending();
  EXPECT_EQ(rec.lines.back(), "out|after\n") << "the bound frees as messages are shown";
}

TEST(ConsoleLog, WritesPlainTextWhenNotATerminal) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  omb::ConsoleLog log(f);
  EXPECT_FALSE(log.colour());
  log.output("a\n");
  log.error(":ERROR: b\n");
  log.notification("c\n");
  log.styled({"d", 0xffffff, 0, true});
  log.output("e");
  std::rewind(f);
  char buf[64] = {};
  EXPECT_EQ(std::string(buf, std::fread(buf, 1, sizeof buf, f)), "a\n:ERROR: b\nc\nde");
  std::fclose(f);
}

} // namespace
