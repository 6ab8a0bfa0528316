// The engine's graph of units: nodes by number, each output feeding at most one input bus per connection, rendered
// every buffer in an order where sources come before what they feed, ending at the device node.
//
// Threads: changes come from any thread but the render thread (serialised by the graph's own mutex). Each change
// builds a new render plan off the render thread and publishes it with one atomic exchange; the old plan and any
// removed units are freed only once the render thread can no longer be using them. The render thread takes no lock,
// allocates nothing and frees nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/unit.h"

namespace omb {

class Graph {
public:
    static constexpr int kDeviceNode = 1;  // the output (and input) of the audio device; never removed

    Graph();
    ~Graph();
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    // The device's format: every unit is prepared for it (again when it changes). Before the first render.
    void set_format(double sample_rate, uint32_t max_frames, int device_channels);
    double sample_rate() const { return sample_rate_; }
    uint32_t max_frames() const { return max_frames_; }

    // Adds a prepared-here unit as a new node; returns its number (one more than any before, never reused).
    int add(std::shared_ptr<Unit> unit);
    // The unit of a node, or null for a number the graph does not hold.
    std::shared_ptr<Unit> unit(int node) const;
    // Nodes made so far, the device included (never decreases).
    int node_count() const { return node_count_.load(); }

    enum class Status { ok, unknown_node, bad_bus, cycle, bus_taken, not_connected };
    static const char* text(Status status);
    Status connect(int source, int source_bus, int destination, int destination_bus);
    Status disconnect(int destination, int destination_bus);
    // Removes every node but the device, and every connection.
    void clear();
    // One line per node and per connection, for the log.
    std::vector<std::string> describe() const;
    // What units counted on the render thread and the log has not been told: a line per unit, once per unit. Never
    // waits: nothing while a change holds the graph (the next call tells it).
    std::vector<std::string> take_unit_reports();

    // Render thread: renders every node for `frames` frames of the window starting at sample time `window` and
    // writes the device node's input to `outputs` (silence when nothing feeds it).
    void render(float* const* outputs, int output_channels, uint32_t frames, int64_t window);

private:
    struct Node;
    struct Plan;
    void publish();  // under mutex_
    void retire(std::unique_ptr<Plan> plan, std::vector<std::shared_ptr<Unit>> units);
    void collect_retired(bool wait);
    bool would_cycle(int source, int destination) const;

    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Node>> nodes_;  // by number - 1; null once removed
    std::atomic<int> node_count_{0};
    double sample_rate_ = 44100;
    uint32_t max_frames_ = 4096;
    int device_channels_ = 2;

    std::atomic<Plan*> plan_{nullptr};
    std::atomic<uint64_t> render_epoch_{0};  // odd while the render thread is inside render()
    struct Retired {
        std::unique_ptr<Plan> plan;
        std::vector<std::shared_ptr<Unit>> units;
        uint64_t epoch;
    };
    std::vector<Retired> retired_;
};

}  // namespace omb
