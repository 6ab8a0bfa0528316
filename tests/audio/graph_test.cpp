// The graph of units: its topology and its errors, rendering in order with events at their frames, and changes made
// while the render thread renders, which must never free what it uses nor make it allocate.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "audio/graph.h"
#include "audio_test_support.h"

namespace omb {
namespace {

using test::parameter;
std::atomic<int> destroyed_on_render_thread{0};
thread_local bool on_render_thread = false;

// A source of a constant level (parameter 0), or an effect that multiplies its input by it; changed at the frames
// its events give.
class Level : public Unit {
public:
    explicit Level(int channels = 1, bool effect = false)
        : Unit({fourcc(effect ? "aufx" : "augn"), fourcc("levl"), fourcc("test"), "Level"},
               {{0, "level", kUnitGeneric, -10, 10, effect ? 1.0f : 0.0f}},
               effect ? std::vector{channels} : std::vector<int>{}, channels) {}
    ~Level() override { destroyed_on_render_thread += on_render_thread; }

protected:
    void process(const BusBuffer* in, BusBuffer& out, uint32_t offset, uint32_t count) override {
        for (int c = 0; c < out.count; ++c)
            for (uint32_t i = offset; i < offset + count; ++i)
                out.channels[c][i] = (input_buses() ? in[0].channels[c][i] : 1.0f) * value(0);
    }
};
std::shared_ptr<Level> scale(int channels = 2) { return std::make_shared<Level>(channels, true); }

struct Output {
    std::vector<float> left = std::vector<float>(256), right = std::vector<float>(256);
    float* channels[2] = {left.data(), right.data()};
};

TEST(Graph, NodesAndConnectionsRefuseWhatCannotBe) {
    Graph g;
    g.set_format(48000, 256, 2);
    EXPECT_EQ(g.node_count(), 1);
    const int src = g.add(std::make_shared<Level>());
    const int fx = g.add(scale());
    const int fx2 = g.add(scale());
    EXPECT_EQ(std::vector<int>({src, fx, fx2}), std::vector<int>({2, 3, 4}));
    using S = Graph::Status;
    EXPECT_EQ(g.connect(99, 0, fx, 0), S::unknown_node);
    EXPECT_EQ(g.connect(src, 1, fx, 0), S::bad_bus) << "a unit has one output bus";
    EXPECT_EQ(g.connect(src, 0, fx, 1), S::bad_bus);
    EXPECT_EQ(g.connect(src, 0, src, 0), S::bad_bus) << "an instrument has no input";
    EXPECT_EQ(g.connect(fx, 0, fx, 0), S::cycle);
    EXPECT_EQ(g.connect(src, 0, fx, 0), S::ok);
    EXPECT_EQ(g.connect(fx, 0, fx2, 0), S::ok);
    EXPECT_EQ(g.connect(fx2, 0, fx, 0), S::bus_taken);
    EXPECT_EQ(g.disconnect(fx, 0), S::ok);
    EXPECT_EQ(g.connect(fx2, 0, fx, 0), S::cycle);
    EXPECT_EQ(g.disconnect(fx, 0), S::not_connected);
    EXPECT_EQ(g.connect(Graph::kDeviceNode, 0, fx, 0), S::bad_bus) << "the device is not a source";
    EXPECT_EQ(g.connect(fx2, 0, Graph::kDeviceNode, 0), S::ok);
    const auto lines = g.describe();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "  node 4 bus 0 -> node 1 bus 0"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "  node 3 bus 0 -> node 4 bus 0"), lines.end());

    g.clear();
    EXPECT_TRUE(g.unit(Graph::kDeviceNode));
    EXPECT_FALSE(g.unit(src));
    EXPECT_EQ(g.node_count(), 4) << "numbers are never reused";
    EXPECT_EQ(g.add(std::make_shared<Level>()), 5);
    EXPECT_EQ(g.connect(src, 0, Graph::kDeviceNode, 0), S::unknown_node);
}

TEST(Graph, RendersSourcesFirstWithEventsAtTheirFrames) {
    Graph g;
    g.set_format(48000, 256, 2);
    auto level = std::make_shared<Level>(1);  // mono into a stereo effect: spread to both channels
    auto scale = std::make_shared<Level>(2, true);
    const int fx = g.add(scale);  // added first: the order of rendering follows the connections, not the numbers
    const int src = g.add(level);
    ASSERT_EQ(g.connect(src, 0, fx, 0), Graph::Status::ok);
    ASSERT_EQ(g.connect(fx, 0, Graph::kDeviceNode, 0), Graph::Status::ok);

    Output out;
    level->post(parameter(0, 0, 0.5f));
    scale->post(parameter(0, 0, 2.0f));
    level->post(parameter(100, 0, 0.25f));
    level->post(parameter(266, 0, 3.0f));  // the next buffer's
    g.render(out.channels, 2, 256, 0);
    EXPECT_FLOAT_EQ(out.left[0], 1.0f);
    EXPECT_FLOAT_EQ(out.left[99], 1.0f);
    EXPECT_FLOAT_EQ(out.left[100], 0.5f) << "the change lands on its frame";
    EXPECT_FLOAT_EQ(out.right[255], 0.5f);
    g.render(out.channels, 2, 256, 256);
    EXPECT_FLOAT_EQ(out.left[9], 0.5f);
    EXPECT_FLOAT_EQ(out.left[10], 6.0f);

    level->post(parameter(200, 0, 1.0f));  // posted too late for its buffer: at the start of the next
    g.render(out.channels, 2, 256, 512);
    EXPECT_FLOAT_EQ(out.left[0], 2.0f);
    EXPECT_FLOAT_EQ(level->parameter_value(0, kScopeGlobal, 0), 1.0f);

    scale->post(test::bypass(768 + 128, true));
    g.render(out.channels, 2, 256, 768);
    EXPECT_FLOAT_EQ(out.left[127], 2.0f);
    EXPECT_FLOAT_EQ(out.left[128], 1.0f) << "bypassed: the input passes unchanged";
    EXPECT_TRUE(scale->bypassed());

    g.disconnect(Graph::kDeviceNode, 0);
    g.render(out.channels, 2, 256, 1024);
    EXPECT_EQ(out.left[0], 0.0f) << "nothing feeds the device: silence";
}

// The render thread renders without pause while another thread builds and tears down the graph: no unit is freed
// under it (the sanitizers would see it), none is freed by it, and it allocates nothing.
TEST(Graph, ChangesWhileRenderingNeverFreeOrAllocateOnTheRenderThread) {
    Graph g;
    g.set_format(48000, 256, 2);
    std::atomic<bool> done{false};
    std::atomic<int> renders{0};
    long allocated = -1;
    std::thread render([&] {
        on_render_thread = true;
        Output out;
        int64_t window = 0;
        allocated = alloc_count::during([&] {
            for (; !done; window += 256, ++renders) g.render(out.channels, 2, 256, window);
        });
    });
    for (int round = 0; round < 300; ++round) {
        auto level = std::make_shared<Level>(round % 2 + 1);
        const int src = g.add(level);
        const int fx = g.add(scale());
        g.connect(src, 0, fx, 0);
        g.connect(fx, 0, Graph::kDeviceNode, 0);
        level->post(parameter(0, 0, 1.0f));
        if (round % 3 == 0) g.clear();
        else g.disconnect(Graph::kDeviceNode, 0);
    }
    g.clear();
    while (renders < 50) std::this_thread::yield();
    done = true;
    render.join();
    EXPECT_EQ(destroyed_on_render_thread.load(), 0);
    EXPECT_EQ(allocated, 0);
}

}  // namespace
}  // namespace omb
