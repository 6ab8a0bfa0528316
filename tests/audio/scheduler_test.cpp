// The scheduler driven by hand (time_slice on the test thread, the clock set directly) and by the offline and
// null devices through the engine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "audio/au_host.h"
#include "audio/scheduler.h"
#include "interpreter/process_switches.h"

namespace omb {
namespace {

// Records what ran and what was thrown away.
struct Journal {
    std::vector<int> ran;
    std::vector<int> discarded;
};

class Probe : public CM {
public:
    void execute(TaskI*) override {}
};
Probe probe;

class Marked : public TaskI {
public:
    Marked(Journal& j, int id, int64_t time, int32_t tag = 0, bool callback = false)
        : TaskI(time, callback, tag, &probe), journal_(j), id_(id) {}
    void execute() override { journal_.ran.push_back(id_); }
    void discard() override { journal_.discarded.push_back(id_); }

private:
    Journal& journal_;
    int id_;
};

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override {
        SampleClock::TIME = 0;
        SampleClock::FRAMES = 256;
        SampleClock::REAPER_TIME = 0;
        SampleClock::REAP_CALLBACKS = false;
    }
    Scheduler s;
    Journal j;
};

TEST_F(SchedulerTest, EqualTimesRunInSchedulingOrderAndTheLookAheadIsOneBuffer) {
    s.insert(new Marked(j, 1, 100));
    s.insert(new Marked(j, 2, 50));
    s.insert(new Marked(j, 3, 100));
    s.insert(new Marked(j, 4, 255));  // TIME + FRAMES - 1: this slice
    s.insert(new Marked(j, 5, 256));  // TIME + FRAMES: the next one
    s.time_slice();
    EXPECT_EQ(j.ran, (std::vector<int>{2, 1, 3, 4}));
    EXPECT_EQ(s.size(), 1u);
    SampleClock::TIME = 256;
    s.time_slice();
    EXPECT_EQ(j.ran.back(), 5);
    EXPECT_TRUE(j.discarded.empty());
}

TEST_F(SchedulerTest, ReapingThresholdsAndCallbacks) {
    SampleClock::TIME = 10000;
    SampleClock::REAPER_TIME = 1000;
    s.insert(new Marked(j, 1, 10000 - 1000));      // exactly the threshold late: runs
    s.insert(new Marked(j, 2, 10000 - 1001));      // one sample more: reaped
    s.time_slice();
    EXPECT_EQ(j.ran, std::vector<int>{1});
    EXPECT_EQ(j.discarded, std::vector<int>{2});

    // A late callback at the front stops reaping: it and the late task behind it run late.
    j = {};
    s.insert(new Marked(j, 3, 1, 0, true));
    s.insert(new Marked(j, 4, 2));
    s.time_slice();
    EXPECT_EQ(j.ran, (std::vector<int>{3, 4}));
    EXPECT_TRUE(j.discarded.empty());

    SampleClock::REAP_CALLBACKS = true;
    j = {};
    s.insert(new Marked(j, 5, 1, 0, true));
    s.time_slice();
    EXPECT_EQ(j.discarded, std::vector<int>{5});

    SampleClock::REAPER_TIME = 0;  // off: nothing is reaped however late
    j = {};
    s.insert(new Marked(j, 6, -1000000000));
    s.time_slice();
    EXPECT_EQ(j.ran, std::vector<int>{6});

    // Lateness counts only tasks whose buffer had begun: task 1 (1000 late) ran late, and so did 3, 4 and 6.
    const Scheduler::Stats st = s.stats();
    EXPECT_EQ(st.reaped, 2u);
    EXPECT_EQ(st.executed, 4u);
    EXPECT_EQ(st.late, 4u);
    EXPECT_EQ(st.max_lateness, 10000 + 1000000000);
}

TEST_F(SchedulerTest, BlockedTagsAndClearingDiscardTasks) {
    s.set_block(7);
    s.insert(new Marked(j, 1, 0, 7));
    s.insert(new Marked(j, 2, 0, 0));
    s.insert(new Marked(j, 3, 0, 8));
    s.time_slice();
    EXPECT_EQ(j.ran, (std::vector<int>{2, 3}));
    EXPECT_EQ(j.discarded, std::vector<int>{1});
    s.remove_block(7);
    s.remove_block(99);  // absent: ignored
    s.insert(new Marked(j, 4, 0, 7));
    s.time_slice();
    EXPECT_EQ(j.ran.back(), 4);

    j = {};
    for (int i = 0; i < 5; ++i) s.insert(new Marked(j, i, i * 1000));
    s.clear();
    s.insert(new Marked(j, 9, 0));  // scheduled after the clear (a loop restarted): not cleared
    s.time_slice();  // the clear comes first: even the task due now does not run
    EXPECT_EQ(j.ran, std::vector<int>{9});
    EXPECT_EQ(j.discarded.size(), 5u);
    EXPECT_EQ(s.size(), 0u);
    EXPECT_EQ(s.stats().cleared, 5u);
    EXPECT_EQ(s.stats().blocked, 1u);
    EXPECT_EQ(s.stats().late, 0u) << "tasks due within the coming buffer are on time";
}

// The render thread may wake the queue thread while a slice is still running; that wake must still produce a
// slice, or the tasks of the next buffer run one buffer late.
TEST_F(SchedulerTest, AWakeDuringASliceIsNotLost) {
    struct RenderDuringSlice : TaskI {
        Scheduler& s;
        RenderDuringSlice(Scheduler& sched) : TaskI(0, false, 0, &probe), s(sched) {}
        void execute() override {
            SampleClock::TIME = 256;
            s.wake();
        }
    };
    std::atomic<bool> next_ran{false};
    struct Flag : TaskI {
        std::atomic<bool>& f;
        Flag(std::atomic<bool>& flag) : TaskI(300, false, 0, &probe), f(flag) {}
        void execute() override { f = true; }
    };
    s.insert(new RenderDuringSlice(s));
    s.insert(new Flag(next_ran));
    s.start_thread();  // the first slice runs at once and renders "during" itself
    for (int i = 0; i < 2000 && !next_ran; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(next_ran.load());
    s.stop_thread();
    EXPECT_EQ(s.stats().late, 0u);
}

// A task that arrives after the slice for its buffer, but before that buffer is rendered, runs at once and on time
// (a callback rescheduling itself close to its own time) instead of a buffer late.
TEST_F(SchedulerTest, ATaskArrivingAfterItsSliceButBeforeItsBufferRunsAtOnce) {
    std::atomic<bool> ran{false};
    struct Flag : TaskI {
        std::atomic<bool>& f;
        Flag(std::atomic<bool>& flag, int64_t t) : TaskI(t, false, 0, &probe), f(flag) {}
        void execute() override { f = true; }
    };
    s.start_thread();
    for (int i = 0; i < 2000 && s.stats().slices == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(s.stats().last_slice_time, 0);
    s.insert(new Flag(ran, 200));  // within the served buffer: no render comes to wake the queue thread
    for (int i = 0; i < 2000 && !ran; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(ran.load());
    std::atomic<bool> later{false};
    s.insert(new Flag(later, 256));  // the next buffer: waits for its slice
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(later.load());
    s.stop_thread();
    EXPECT_EQ(s.stats().late, 0u);
}

// A 32-bit key would put a task due after 2^31 samples (13.5 hours at 44.1 kHz) before one due now.
TEST_F(SchedulerTest, SixtyFourBitTimesPastTwoToTheThirtyOne) {
    const int64_t t = (int64_t{1} << 31) + 500;
    SampleClock::TIME = static_cast<uint64_t>(t);
    SampleClock::REAPER_TIME = 44100;
    s.insert(new Marked(j, 1, t + 100000));
    s.insert(new Marked(j, 2, t));
    s.insert(new Marked(j, 3, t - 10));
    s.time_slice();
    EXPECT_EQ(j.ran, (std::vector<int>{3, 2}));
    EXPECT_TRUE(j.discarded.empty());
    EXPECT_EQ(s.size(), 1u);
    SampleClock::TIME = static_cast<uint64_t>(t + 100000 + 44101 + 1);
    s.time_slice();
    EXPECT_EQ(j.discarded, std::vector<int>{1});
}

TEST_F(SchedulerTest, TasksLeftAtDestructionAreDiscarded) {
    Journal k;
    {
        Scheduler local;
        local.insert(new Marked(k, 1, 1000000));
    }
    EXPECT_EQ(k.discarded, std::vector<int>{1});
}

// The engine on the offline device: every buffer advances the clock by FRAMES and wakes the queue thread.
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
        Counter(std::atomic<int>& c, int64_t t) : TaskI(t, false, 0, &probe), n(c) {}
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
