// The scheduler driven by hand (time_slice on the test thread, the clock set directly), by its own queue thread,
// and hammered from several threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/exception.h"
#include "scheduler/sample_clock.h"
#include "scheduler/scheduler.h"
#include "tests/support/log_capture.h"

namespace omb {
namespace {

using test::eventually;

// Records what ran and what was thrown away.
struct Journal {
    std::vector<int> ran;
    std::vector<int> discarded;
    bool operator==(const Journal&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Journal& j) {
    return os << "ran " << ::testing::PrintToString(j.ran) << ", discarded " << ::testing::PrintToString(j.discarded);
}

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

// Raises a flag another thread watches.
struct Flag : TaskI {
    std::atomic<bool>& f;
    Flag(std::atomic<bool>& flag, int64_t t) : TaskI(t, false, 0, &probe), f(flag) {}
    void execute() override { f = true; }
};

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override {
        SampleClock::TIME = 0;
        SampleClock::FRAMES = 256;
        SampleClock::REAPER_TIME = 0;
        SampleClock::REAP_CALLBACKS = false;
    }
    // Runs one slice: what it ran and discarded, the journal starting afresh.
    Journal slice() {
        s.time_slice();
        return std::exchange(j, {});
    }

    Journal j;  // outlives the scheduler, which discards what is left into it
    Scheduler s;
};

TEST_F(SchedulerTest, EqualTimesRunInSchedulingOrderAndTheLookAheadIsOneBuffer) {
    s.insert(new Marked(j, 1, 100));
    s.insert(new Marked(j, 2, 50));
    s.insert(new Marked(j, 3, 100));
    s.insert(new Marked(j, 4, 255));  // TIME + FRAMES - 1: this slice
    s.insert(new Marked(j, 5, 256));  // TIME + FRAMES: the next one
    EXPECT_EQ(slice(), (Journal{{2, 1, 3, 4}, {}}));
    SampleClock::TIME = 256;
    EXPECT_EQ(slice(), (Journal{{5}, {}}));

    Journal k;
    {
        Scheduler local;
        local.insert(new Marked(k, 1, 1000000));
    }
    EXPECT_EQ(k.discarded, std::vector<int>{1}) << "tasks left at destruction are discarded";
}

TEST_F(SchedulerTest, ReapingThresholdsAndCallbacks) {
    SampleClock::TIME = 10000;
    SampleClock::REAPER_TIME = 1000;
    s.insert(new Marked(j, 1, 10000 - 1000));      // exactly the threshold late: runs
    s.insert(new Marked(j, 2, 10000 - 1001));      // one sample more: reaped
    EXPECT_EQ(slice(), (Journal{{1}, {2}}));

    // A late callback at the front stops reaping: it and the late task behind it run late.
    s.insert(new Marked(j, 3, 1, 0, true));
    s.insert(new Marked(j, 4, 2));
    EXPECT_EQ(slice(), (Journal{{3, 4}, {}}));

    // A late task that arrives in the middle of a slice (from a task that runs in it) is reaped all the same.
    struct Inserts : TaskI {
        Scheduler& s;
        Journal& j;
        Inserts(Scheduler& sched, Journal& journal) : TaskI(10000, false, 0, &probe), s(sched), j(journal) {}
        void execute() override { s.insert(new Marked(j, 7, 5000)); }
    };
    s.insert(new Inserts(s, j));
    EXPECT_EQ(slice(), (Journal{{}, {7}}));

    SampleClock::REAP_CALLBACKS = true;
    s.insert(new Marked(j, 5, 1, 0, true));
    EXPECT_EQ(slice(), (Journal{{}, {5}}));

    SampleClock::REAPER_TIME = 0;  // off: nothing is reaped however late
    s.insert(new Marked(j, 6, -1000000000));
    EXPECT_EQ(slice(), (Journal{{6}, {}}));

    // Lateness counts only tasks whose buffer had begun: task 1 (1000 late) ran late, and so did 3, 4 and 6.
    const Scheduler::Stats st = s.stats();
    EXPECT_EQ(st.reaped, 3u);
    EXPECT_EQ(st.executed, 5u);
    EXPECT_EQ(st.late, 4u);
    EXPECT_EQ(st.max_lateness, 10000 + 1000000000);
}

TEST_F(SchedulerTest, BlockedTagsAndClearingDiscardTasks) {
    s.set_block(7);
    s.insert(new Marked(j, 1, 0, 7));
    s.insert(new Marked(j, 2, 0, 0));
    s.insert(new Marked(j, 3, 0, 8));
    EXPECT_EQ(slice(), (Journal{{2, 3}, {1}}));
    s.remove_block(7);
    s.remove_block(99);  // absent: ignored
    s.insert(new Marked(j, 4, 0, 7));
    EXPECT_EQ(slice(), (Journal{{4}, {}}));

    for (int i = 0; i < 5; ++i) s.insert(new Marked(j, i, i * 1000));
    s.clear();
    s.insert(new Marked(j, 9, 0));  // scheduled after the clear (a loop restarted): not cleared
    // The clear comes first: even the task due now does not run.
    EXPECT_EQ(slice(), (Journal{{9}, {0, 1, 2, 3, 4}}));
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
    s.insert(new RenderDuringSlice(s));
    s.insert(new Flag(next_ran, 300));
    s.start_thread();  // the first slice runs at once and renders "during" itself
    EXPECT_TRUE(eventually([&] { return next_ran.load(); }));
    s.stop_thread();
    EXPECT_EQ(s.stats().late, 0u);
}

// A task that arrives after the slice for its buffer, but before that buffer is rendered, runs at once and on time
// (a callback rescheduling itself close to its own time) instead of a buffer late.
TEST_F(SchedulerTest, ATaskArrivingAfterItsSliceButBeforeItsBufferRunsAtOnce) {
    std::atomic<bool> ran{false}, later{false};
    s.start_thread();
    eventually([&] { return s.stats().slices > 0; });
    ASSERT_EQ(s.stats().last_slice_time, 0);
    s.insert(new Flag(ran, 200));  // within the served buffer: no render comes to wake the queue thread
    EXPECT_TRUE(eventually([&] { return ran.load(); }));
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
    EXPECT_EQ(slice(), (Journal{{3, 2}, {}}));
    SampleClock::TIME = static_cast<uint64_t>(t + 100000 + 44101 + 1);
    EXPECT_EQ(slice(), (Journal{{}, {1}}));
}

// Whatever a task throws is reported once and the slice goes on: the tasks behind it still run.
TEST_F(SchedulerTest, ATaskThatThrowsIsReportedAndTheMusicGoesOn) {
    test::LogCapture log;
    struct Throws : TaskI {
        int kind;
        Throws(int k) : TaskI(0, false, 0, &probe), kind(k) {}
        void execute() override {
            if (kind == 0) throw PlatformException("IncorrectSchemeOBJ", "not a number");
            if (kind == 1) throw std::runtime_error("boom");
            throw 42;
        }
    };
    for (int kind = 0; kind < 3; ++kind) s.insert(new Throws(kind));
    s.insert(new Marked(j, 1, 10));
    s.time_slice();
    log.flush();
    EXPECT_EQ(j.ran, std::vector<int>{1});
    EXPECT_EQ(s.stats().failed, 3u);
    EXPECT_EQ(log.errors, (std::vector<std::string>{":ERROR: not a number\n", ":ERROR: Scheduled task failed: boom\n",
                                                  ":ERROR: Scheduled task failed: unknown exception\n"}));
}

// Withdrawing an owner's work takes its tasks out of the queue and out of a pending clear, and waits for one of
// them that is running: afterwards none of them can touch the owner.
TEST_F(SchedulerTest, WithdrawnTasksAreDiscardedAndARunningOneIsWaitedFor) {
    static int owner_a, owner_b;
    struct Owned : Marked {
        const void* who;
        std::atomic<bool>* inside = nullptr;
        std::atomic<bool>* go = nullptr;
        Owned(Journal& j, int id, int64_t t, const void* w) : Marked(j, id, t), who(w) {}
        const void* owner() const override { return who; }
        void execute() override {
            if (inside) {
                *inside = true;
                while (!*go) std::this_thread::yield();
            }
            Marked::execute();
        }
    };
    std::atomic<bool> inside{false}, go{false};
    auto* running = new Owned(j, 1, 0, &owner_a);
    running->inside = &inside;
    running->go = &go;
    s.insert(new Owned(j, 2, 100000, &owner_a));
    s.insert(new Owned(j, 3, 100000, &owner_b));
    s.clear();  // 2 and 3 await the next slice's clear
    s.insert(running);
    s.insert(new Owned(j, 4, 200000, &owner_a));
    s.insert(new Owned(j, 5, 100000, &owner_b));
    std::thread slice([&] { s.time_slice(); });  // the clear, then task 1 runs and waits inside
    while (!inside) std::this_thread::yield();
    std::atomic<bool> withdrawn{false};
    std::thread withdraw([&] {
        s.withdraw(&owner_a);
        withdrawn = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(withdrawn.load()) << "returned while a task of the owner was still running";
    go = true;
    slice.join();
    withdraw.join();
    EXPECT_EQ(j.ran, std::vector<int>{1});
    std::sort(j.discarded.begin(), j.discarded.end());
    EXPECT_EQ(j.discarded, (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(s.size(), 1u) << "another owner's task stays";
}

// Inserts from several threads (due now, long past, later, tagged, callbacks, tasks that reschedule themselves)
// race blocks, clears, reaping changes and withdrawals while the queue thread slices on a fast clock. Every task
// must be run or discarded exactly once, and destroyed exactly once.
TEST(SchedulerStress, EveryTaskIsRunOrDiscardedExactlyOnce) {
    SampleClock::TIME = 0;
    SampleClock::FRAMES = 64;
    SampleClock::REAPER_TIME = 0;
    SampleClock::REAP_CALLBACKS = false;
    constexpr int kThreads = 4, kPerThread = 20000, kChildren = 20000;
    constexpr int kTotal = kThreads * kPerThread + kChildren;
    struct Ledger {
        std::vector<std::atomic<int>> ran, discarded, destroyed;
        std::atomic<int> next_child{kThreads * kPerThread};
        std::atomic<bool> owner_gone{false};
        std::atomic<int> ran_after_withdrawal{0};
        Ledger() : ran(kTotal), discarded(kTotal), destroyed(kTotal) {}
    };
    static Ledger* ledger;
    static int gone_owner;
    Ledger book;
    ledger = &book;
    struct Counted : TaskI {
        int id;
        bool parent;
        const void* who;
        Scheduler* sched;
        Counted(int i, int64_t t, int32_t tag, bool cb, bool p, const void* w, Scheduler* sc)
            : TaskI(t, cb, tag, &probe), id(i), parent(p), who(w), sched(sc) {}
        ~Counted() override { ++ledger->destroyed[id]; }
        const void* owner() const override { return who; }
        void discard() override { ++ledger->discarded[id]; }
        void execute() override {
            ++ledger->ran[id];
            if (who && ledger->owner_gone) ++ledger->ran_after_withdrawal;
            if (!parent) return;
            // Temporal recursion: a task that schedules the next one from the queue thread.
            const int child = ledger->next_child.fetch_add(1);
            if (child < kTotal)
                sched->insert(new Counted(child, time() + 7, 0, true, false, nullptr, sched));
        }
    };

    auto* s = new Scheduler;
    s->start_thread();
    std::atomic<bool> done{false}, owner_inserts_done{false};
    std::thread clock([&] {
        while (!done) {
            SampleClock::TIME += static_cast<uint64_t>(SampleClock::FRAMES.load());
            s->wake();
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    });
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t)
        producers.emplace_back([&, t] {
            unsigned seed = 12345u + static_cast<unsigned>(t);
            for (int i = 0; i < kPerThread; ++i) {
                seed = seed * 1103515245u + 12345u;
                const int64_t now = static_cast<int64_t>(SampleClock::TIME.load());
                const int64_t offsets[] = {0, -5000, 3, 200, -1, 64};
                const int64_t when = now + offsets[(seed >> 8) % 6];
                const int32_t tag = static_cast<int32_t>((seed >> 12) % 4);
                const bool cb = (seed >> 16) & 1;
                const void* who = t == 0 && i < kPerThread / 2 ? &gone_owner : nullptr;
                s->insert(new Counted(t * kPerThread + i, when, tag, cb, (seed >> 20) % 4 == 0, who, s));
                if (who && i + 1 == kPerThread / 2) owner_inserts_done = true;
            }
        });
    std::thread meddler([&] {
        for (int round = 0; !done; ++round) {
            s->set_block(1 + round % 3);
            if (round % 7 == 0) s->clear();
            SampleClock::REAPER_TIME = round % 2 ? 1000 : 0;
            SampleClock::REAP_CALLBACKS = round % 3 == 0;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            s->remove_block(1 + round % 3);
            if (owner_inserts_done && !ledger->owner_gone) {
                s->withdraw(&gone_owner);
                ledger->owner_gone = true;
            }
        }
    });
    for (auto& p : producers) p.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    done = true;
    clock.join();
    meddler.join();
    s->stop_thread();
    const Scheduler::Stats st = s->stats();
    delete s;  // what is still queued is discarded here

    const int children = std::min(book.next_child.load(), kTotal) - kThreads * kPerThread;
    const int made = kThreads * kPerThread + children;
    int ran = 0, bad = 0;
    for (int id = 0; id < made; ++id) {
        ran += book.ran[id];
        if (book.ran[id] + book.discarded[id] != 1 || book.destroyed[id] != 1) ++bad;
    }
    EXPECT_EQ(bad, 0) << "tasks not run or discarded exactly once";
    EXPECT_EQ(book.ran_after_withdrawal.load(), 0);
    EXPECT_EQ(static_cast<uint64_t>(ran), st.executed);
    EXPECT_GT(st.executed, 0u);
    EXPECT_GT(st.cleared + st.blocked + st.reaped, 0u);
}
}  // namespace
}  // namespace omb
