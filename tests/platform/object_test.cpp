#include "platform/log_bridge.h"
#include "platform/objects/object.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Counted : omb::Object {
  explicit Counted(std::atomic<int>& deaths) : deaths_(deaths) {}
  ~Counted() override { deaths_.fetch_add(1); }
  std::string class_name() const override { return "Counted"; }
  std::atomic<int>& deaths_;
};

TEST(Object, RefcountIsExactAcrossThreadsAndDeletesOnce) {
  std::atomic<int> deaths{0};
  auto* obj = new Counted(deaths);
  EXPECT_EQ(obj->retain_count(), 1);
  EXPECT_EQ(obj->description().rfind("#<Counted ", 0), 0u);

  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([obj] {
      for (int i = 0; i < 50000; ++i) {
        obj->retain();
        obj->release();
      }
    });
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(obj->retain_count(), 1);
  EXPECT_EQ(deaths.load(), 0);

  // Last holders race to release; exactly one of them deletes.
  for (int t = 0; t < 4; ++t)
    obj->retain();
  threads.clear();
  for (int t = 0; t < 5; ++t)
    threads.emplace_back([obj] { obj->release(); });
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(deaths.load(), 1);
}

TEST(Object, BridgeReleaseHonoursGcSwitch) {
  std::atomic<int> deaths{0};
  auto* obj = new Counted(deaths);
  omb::OBJC_GC = false;
  omb::CPPBridge::release(obj);
  EXPECT_EQ(obj->retain_count(), 1);
  omb::OBJC_GC = true;
  omb::CPPBridge::release(nullptr);
  omb::CPPBridge::release(obj);
  EXPECT_EQ(deaths.load(), 1);
}

} // namespace
