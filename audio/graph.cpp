#include "audio/graph.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace omb {

namespace {

// The device node's unit: what feeds its input bus is what the device plays.
class DeviceUnit : public Unit {
public:
    explicit DeviceUnit(int channels)
        : Unit({fourcc("auou"), fourcc("ahal"), fourcc("appl"), "Default Output"}, {}, {channels}, channels) {}

protected:
    void process(const BusBuffer* inputs, BusBuffer& output, uint32_t offset, uint32_t count) override {
        for (int c = 0; c < output.count; ++c)
            std::copy_n(inputs[0].channels[c] + offset, count, output.channels[c] + offset);
    }
};

// Fits `from` into `to` (channel counts differ): a mono source goes to every channel, more channels than
// wanted are averaged.
void fit_channels(const BusBuffer& from, const BusBuffer& to, uint32_t frames) {
    for (int c = 0; c < to.count; ++c) {
        float* out = to.channels[c];
        if (from.count == 1) {
            std::copy_n(from.channels[0], frames, out);
        } else if (from.count < to.count) {
            std::copy_n(from.channels[std::min(c, from.count - 1)], frames, out);
        } else {
            const float scale = 1.0f / static_cast<float>(from.count);
            for (uint32_t i = 0; i < frames; ++i) {
                float sum = 0;
                for (int k = 0; k < from.count; ++k) sum += from.channels[k][i];
                out[i] = sum * scale;
            }
        }
    }
}

}  // namespace

struct Graph::Node {
    std::shared_ptr<Unit> unit;
    std::vector<int> sources;  // per input bus: the source node, 0 for none
    bool told_silenced = false;
};

// Everything one buffer needs, fixed when the plan is built: the order, every buffer and every pointer.
struct Graph::Plan {
    struct Bus {
        int source_step = -1;  // -1: silence
        bool fit = false;      // the source's channels differ: copied and fitted into `own`
        std::vector<float*> channels;
    };
    struct Step {
        Unit* unit = nullptr;
        std::vector<Bus> buses;
        std::vector<BusBuffer> inputs;
        std::vector<float*> out_channels;
        BusBuffer output;
    };
    std::vector<Step> steps;  // sources before what they feed
    int device_step = -1;
    std::vector<std::unique_ptr<float[]>> storage;
    std::unique_ptr<float[]> silence;
    uint32_t max_frames = 0;

    float* block() {
        storage.push_back(std::make_unique<float[]>(max_frames));
        return storage.back().get();
    }
};

Graph::Graph() {
    std::lock_guard lock(mutex_);
    nodes_.push_back(std::make_unique<Node>(Node{std::make_shared<DeviceUnit>(device_channels_), {0}}));
    node_count_ = 1;
    nodes_[0]->unit->prepare(sample_rate_, max_frames_);
    publish();
}

Graph::~Graph() {
    delete plan_.exchange(nullptr);
    retired_.clear();
}

const char* Graph::text(Status status) {
    switch (status) {
    case Status::ok: return "ok";
    case Status::unknown_node: return "no such node";
    case Status::bad_bus: return "no such bus";
    case Status::cycle: return "the connection would make a cycle";
    case Status::bus_taken: return "the input bus is already connected";
    case Status::not_connected: return "the input bus is not connected";
    }
    return "?";
}

void Graph::set_format(double sample_rate, uint32_t max_frames, int device_channels) {
    std::lock_guard lock(mutex_);
    // Units are prepared again only while no plan uses them: silence for a moment, then the graph as it was.
    retire(std::unique_ptr<Plan>(plan_.exchange(nullptr)), {});
    collect_retired(true);
    sample_rate_ = sample_rate;
    max_frames_ = std::max<uint32_t>(max_frames, 64);
    if (device_channels != device_channels_) {
        device_channels_ = device_channels;
        nodes_[0]->unit = std::make_shared<DeviceUnit>(device_channels);
    }
    for (auto& n : nodes_)
        if (n) n->unit->prepare(sample_rate_, max_frames_);
    publish();
}

int Graph::add(std::shared_ptr<Unit> unit) {
    std::lock_guard lock(mutex_);
    unit->prepare(sample_rate_, max_frames_);
    auto node = std::make_unique<Node>();
    node->sources.assign(static_cast<size_t>(unit->input_buses()), 0);
    node->unit = std::move(unit);
    nodes_.push_back(std::move(node));
    node_count_ = static_cast<int>(nodes_.size());
    publish();
    return node_count_;
}

std::shared_ptr<Unit> Graph::unit(int node) const {
    std::lock_guard lock(mutex_);
    if (node < 1 || node > static_cast<int>(nodes_.size()) || !nodes_[static_cast<size_t>(node - 1)]) return nullptr;
    return nodes_[static_cast<size_t>(node - 1)]->unit;
}

bool Graph::would_cycle(int source, int destination) const {
    // A cycle appears when the destination already feeds the source, directly or through others.
    std::vector<int> pending{source};
    std::vector<bool> seen(nodes_.size() + 1, false);
    while (!pending.empty()) {
        const int n = pending.back();
        pending.pop_back();
        if (n == destination) return true;
        if (seen[static_cast<size_t>(n)]) continue;
        seen[static_cast<size_t>(n)] = true;
        if (const auto& node = nodes_[static_cast<size_t>(n - 1)])
            for (int s : node->sources)
                if (s) pending.push_back(s);
    }
    return false;
}

Graph::Status Graph::connect(int source, int source_bus, int destination, int destination_bus) {
    std::lock_guard lock(mutex_);
    auto held = [&](int n) { return n >= 1 && n <= static_cast<int>(nodes_.size()) && nodes_[size_t(n - 1)]; };
    if (!held(source) || !held(destination)) return Status::unknown_node;
    Node& to = *nodes_[static_cast<size_t>(destination - 1)];
    if (source_bus != 0 || source == kDeviceNode || destination_bus < 0 ||
        destination_bus >= static_cast<int>(to.sources.size()))
        return Status::bad_bus;
    if (to.sources[static_cast<size_t>(destination_bus)]) return Status::bus_taken;
    if (source == destination || would_cycle(source, destination)) return Status::cycle;
    to.sources[static_cast<size_t>(destination_bus)] = source;
    publish();
    return Status::ok;
}

Graph::Status Graph::disconnect(int destination, int destination_bus) {
    std::lock_guard lock(mutex_);
    if (destination < 1 || destination > static_cast<int>(nodes_.size()) || !nodes_[size_t(destination - 1)])
        return Status::unknown_node;
    Node& to = *nodes_[static_cast<size_t>(destination - 1)];
    if (destination_bus < 0 || destination_bus >= static_cast<int>(to.sources.size())) return Status::bad_bus;
    if (!to.sources[static_cast<size_t>(destination_bus)]) return Status::not_connected;
    to.sources[static_cast<size_t>(destination_bus)] = 0;
    publish();
    return Status::ok;
}

void Graph::clear() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<Unit>> removed;
    for (size_t i = 1; i < nodes_.size(); ++i)
        if (nodes_[i]) {
            removed.push_back(std::move(nodes_[i]->unit));
            nodes_[i].reset();
        }
    std::fill(nodes_[0]->sources.begin(), nodes_[0]->sources.end(), 0);
    publish();
    // The removed units go once the render thread has let go of them, here and now.
    retire(nullptr, std::move(removed));
    collect_retired(true);
}

std::vector<std::string> Graph::take_unit_reports() {
    std::vector<std::string> lines;
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return lines;
    for (size_t i = 0; i < nodes_.size(); ++i) {
        Node* node = nodes_[i].get();
        if (!node || !node->unit || node->unit->take_silenced_samples() == 0 || node->told_silenced) continue;
        node->told_silenced = true;
        lines.push_back("The unit at node " + std::to_string(i + 1) + " (" + node->unit->description().name +
                        ") put out values that are not numbers: they are silenced");
    }
    return lines;
}

std::vector<std::string> Graph::describe() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    lines.push_back("AudioUnitGraph: " + std::to_string(std::count_if(nodes_.begin(), nodes_.end(),
                                                                        [](const auto& n) { return bool(n); })) +
                    " nodes");
    for (size_t i = 0; i < nodes_.size(); ++i) {
        if (!nodes_[i]) continue;
        const Unit& u = *nodes_[i]->unit;
        const auto& d = u.description();
        lines.push_back("  node " + std::to_string(i + 1) + " '" + fourcc_text(d.type) + "' '" + fourcc_text(d.subtype) +
                        "' '" + fourcc_text(d.manufacturer) + "' " + d.name + ", " + std::to_string(u.input_buses()) +
                        " in, " + std::to_string(u.output_channels()) + " channels out" +
                        (u.bypassed() ? ", bypassed" : ""));
    }
    for (size_t i = 0; i < nodes_.size(); ++i) {
        if (!nodes_[i]) continue;
        for (size_t b = 0; b < nodes_[i]->sources.size(); ++b)
            if (int s = nodes_[i]->sources[b])
                lines.push_back("  node " + std::to_string(s) + " bus 0 -> node " + std::to_string(i + 1) + " bus " +
                                std::to_string(b));
    }
    return lines;
}

// ---- plans ---------------------------------------------------------------------------------------------------------

void Graph::publish() {
    auto plan = std::make_unique<Plan>();
    plan->max_frames = max_frames_;
    plan->silence = std::make_unique<float[]>(max_frames_);
    // Depth-first from every node: sources first.
    std::vector<int> step_of(nodes_.size() + 1, -1);
    std::vector<int> order;
    std::vector<int> state(nodes_.size() + 1, 0);  // 0 new, 1 in progress, 2 done
    auto visit = [&](auto&& self, int n) -> void {
        if (state[size_t(n)]) return;
        state[size_t(n)] = 1;
        for (int s : nodes_[size_t(n - 1)]->sources)
            if (s && nodes_[size_t(s - 1)]) self(self, s);
        state[size_t(n)] = 2;
        step_of[size_t(n)] = static_cast<int>(order.size());
        order.push_back(n);
    };
    for (int n = 1; n <= static_cast<int>(nodes_.size()); ++n)
        if (nodes_[size_t(n - 1)]) visit(visit, n);

    plan->steps.resize(order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        Plan::Step& step = plan->steps[i];
        Node& node = *nodes_[size_t(order[i] - 1)];
        step.unit = node.unit.get();
        for (int c = 0; c < step.unit->output_channels(); ++c) step.out_channels.push_back(plan->block());
        step.output = BusBuffer{step.out_channels.data(), static_cast<int>(step.out_channels.size())};
        step.buses.resize(node.sources.size());
        for (size_t b = 0; b < node.sources.size(); ++b) {
            Plan::Bus& bus = step.buses[b];
            const int channels = step.unit->input_channels(static_cast<int>(b));
            const int source = node.sources[b];
            bus.source_step = source && nodes_[size_t(source - 1)] ? step_of[size_t(source)] : -1;
            if (bus.source_step < 0) {
                bus.channels.assign(static_cast<size_t>(channels), plan->silence.get());
            } else {
                const Plan::Step& from = plan->steps[size_t(bus.source_step)];
                bus.fit = from.output.count != channels;
                if (bus.fit)
                    for (int c = 0; c < channels; ++c) bus.channels.push_back(plan->block());
                else
                    bus.channels = from.out_channels;
            }
        }
        for (auto& bus : step.buses) step.inputs.push_back(BusBuffer{bus.channels.data(), int(bus.channels.size())});
        if (order[i] == kDeviceNode) plan->device_step = static_cast<int>(i);
    }
    retire(std::unique_ptr<Plan>(plan_.exchange(plan.release(), std::memory_order_acq_rel)), {});
    collect_retired(false);
}

void Graph::retire(std::unique_ptr<Plan> plan, std::vector<std::shared_ptr<Unit>> units) {
    retired_.push_back(Retired{std::move(plan), std::move(units), render_epoch_.load(std::memory_order_seq_cst)});
}

// A plan retired while the render thread was outside render() (even epoch) is free at once; one retired during a
// render is free once that render has ended.
void Graph::collect_retired(bool wait) {
    using namespace std::chrono;
    const auto give_up = steady_clock::now() + seconds(2);
    std::erase_if(retired_, [&](Retired& r) {
        for (;;) {
            const uint64_t now = render_epoch_.load(std::memory_order_seq_cst);
            if (r.epoch % 2 == 0 || now != r.epoch) return true;
            if (!wait || steady_clock::now() > give_up) return false;  // a render that never ends: keep it
            std::this_thread::sleep_for(microseconds(200));
        }
    });
}

// ---- rendering -------------------------------------------------------------------------------------------------------

void Graph::render(float* const* outputs, int output_channels, uint32_t frames, int64_t window) {
    render_epoch_.fetch_add(1, std::memory_order_seq_cst);
    Plan* plan = plan_.load(std::memory_order_acquire);
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = plan ? std::min(frames - done, plan->max_frames) : frames - done;
        if (!plan || plan->device_step < 0) {
            for (int c = 0; c < output_channels; ++c) std::fill_n(outputs[c] + done, n, 0.0f);
            done += n;
            continue;
        }
        for (auto& step : plan->steps) {
            for (size_t b = 0; b < step.buses.size(); ++b) {
                const Plan::Bus& bus = step.buses[b];
                if (bus.fit) fit_channels(plan->steps[size_t(bus.source_step)].output, step.inputs[b], n);
            }
            step.unit->render(step.inputs.data(), step.output, n, window + done);
        }
        const BusBuffer& mix = plan->steps[size_t(plan->device_step)].output;
        for (int c = 0; c < output_channels; ++c) {
            if (c < mix.count) std::copy_n(mix.channels[c], n, outputs[c] + done);
            else std::copy_n(mix.channels[mix.count - 1], n, outputs[c] + done);
        }
        done += n;
    }
    render_epoch_.fetch_add(1, std::memory_order_seq_cst);
}

}  // namespace omb
