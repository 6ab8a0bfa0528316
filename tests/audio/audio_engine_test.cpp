// The engine on the offline device: every buffer advances the clock by FRAMES and wakes the queue thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "audio/au_host.h"

namespace omb {
namespace {

struct Nothing : CM {
    void execute(TaskI*) override {}
} nothing;

TEST(AudioEngine, OfflineBuffersAdvanceTheClockAndRunDueTasks) {
    AUHost& host = AUHost::singleton();
    SampleClock::TIME = 0;
    SampleClock::FRAMES = 256;
    auto device = std::make_unique<OfflineDevice>();
    OfflineDevice* offline = device.get();
    ASSERT_TRUE(host.start(std::move(device)));
    offline->render_buffers(10);
    EXPECT_EQ(SampleClock::TIME.load(), 2560u);

    std::atomic<int> ran{0};
    struct Counter : TaskI {
        std::atomic<int>& n;
        Counter(std::atomic<int>& c, int64_t t) : TaskI(t, false, 0, &nothing), n(c) {}
        void execute() override { ++n; }
    };
    for (int i = 0; i < 100; ++i) host.scheduler().insert(new Counter(ran, 2560 + i * 100));
    // The queue thread runs a slice per wake-up; keep rendering until everything fell due.
    for (int i = 0; i < 2000 && ran < 100; ++i) {
        offline->render_buffers(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    EXPECT_EQ(ran.load(), 100);
    host.stop();
}


}  // namespace
}  // namespace omb
