// The engine on the offline device: every buffer advances the clock by FRAMES and wakes the queue thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "audio/au_host.h"
#include "runtime/argument_target.h"

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

    // The timed targets place events in the buffer that starts at TIME, at the difference: a note due at
    // TIME + 100 lands on frame 100 of the next buffer rendered; a late one on its frame 0. Note ids map to
    // instances, the later start under an id replacing the earlier.
    struct Recorder : Unit {
        std::vector<UnitEvent> seen;
        Recorder() : Unit({fourcc("aumu"), fourcc("recd"), fourcc("test"), "Recorder"}, {}, {}, 2) {
            seen.reserve(64);
        }
        void process(const BusBuffer*, BusBuffer& out, uint32_t offset, uint32_t count) override {
            for (int c = 0; c < out.count; ++c) std::fill_n(out.channels[c] + offset, count, 0.0f);
        }
        void apply(const UnitEvent& e) override { seen.push_back(e); }
    };
    auto recorder = std::make_shared<Recorder>();
    const int node = host.graph().add(recorder);
    const double n = node;
    ASSERT_EQ(host.graph().connect(node, 0, Graph::kDeviceNode, 0), Graph::Status::ok);
    host.scheduler().stop_thread();  // the targets are run by hand below, on a clock that stands still
    const int64_t now = static_cast<int64_t>(SampleClock::TIME.load());
    auto run = [&](void (AUHost::*target)(TaskI*), int64_t at, std::vector<double> args) {
        Task<TaskArguments> task(at, false, 0, &nothing, TaskArguments{std::move(args), {}, {}, {}});
        (host.*target)(&task);
    };
    run(&AUHost::on, now + 100, {n, 2, 60, 100});
    run(&AUHost::on, now - 50, {n, 0, 62, 100});
    run(&AUHost::on, now + 10, {n, 0, 0, 100});   // pitch 0: not played
    run(&AUHost::on, now + 10, {n, 0, 60, 128});  // velocity 128: not played
    run(&AUHost::aumidi, now + 20, {n, 9, 0, 60, 0});  // no range test: a note on with velocity 0
    run(&AUHost::start_note, now + 30, {n, 0, 60.5, 90, 7});
    run(&AUHost::start_note, now + 31, {n, 0, 64, 90, 7});
    run(&AUHost::stop_note, now + 40, {n, 0, 64, 7});
    run(&AUHost::stop_note, now + 41, {n, 0, 64, 99});  // never started: nothing to stop
    run(&AUHost::on, now, {99, 0, 60, 100});  // no such node: reported, nothing sent
    offline->render_buffers(1);
    ASSERT_EQ(recorder->seen.size(), 6u);
    auto midi = [](const UnitEvent& e) {
        return std::vector<int>{int(e.frame), e.midi.status, e.midi.data1, e.midi.data2};
    };
    EXPECT_EQ(midi(recorder->seen[0]), (std::vector<int>{100, 0x92, 60, 100}));
    EXPECT_EQ(midi(recorder->seen[1]), (std::vector<int>{0, 0x90, 62, 100})) << "late: the start of the buffer";
    EXPECT_EQ(midi(recorder->seen[2]), (std::vector<int>{20, 0x90, 60, 0}));
    EXPECT_EQ(recorder->seen[3].kind, UnitEvent::Kind::note_start);
    EXPECT_FLOAT_EQ(recorder->seen[3].note.pitch, 60.5f);
    EXPECT_EQ(recorder->seen[5].kind, UnitEvent::Kind::note_stop);
    EXPECT_EQ(recorder->seen[5].note.instance, recorder->seen[4].note.instance) << "the second start under id 7";
    EXPECT_EQ(recorder->seen[5].frame, 40u);
    EXPECT_EQ(host.forget_note(node, 7), 0u) << "stopping forgets the id";
    host.stop();
}

}  // namespace
}  // namespace omb
