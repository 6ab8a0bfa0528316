// JACK MIDI on the audio engine's own JACK client: the virtual endpoints and the router's ports are MIDI ports of
// that client, read and written in its process callback, so a message sent for sample time t leaves at t's frame
// of the period that plays t.
//
// Ports: "Ombrel Virtual Input" and "Ombrel Virtual Output" (what other programs connect to); "Ombrel Input port"
// and "Ombrle Output port", plus one more of each per further source read or destination written ("Ombrel Input
// port 2", ...), because JACK merges what reaches one port and the router must tell sources (and destinations)
// apart.
//
// Threads: process() runs on JACK's process thread (no lock, no allocation); sends come from the scheduler's queue
// thread through a byte ring; ports are made and listed under mutex_ on the router's threads; closing() runs on the
// audio device's thread as the client goes.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/uuid.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "audio/au_host.h"
#include "io/midi_system.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "scheduler/sample_clock.h"

namespace omb {

namespace {

// Messages on their way from the queue thread to the process thread: a single-consumer byte ring of records
// (time, port slot, length, bytes), so system-exclusive messages of any size up to a quarter of it travel whole.
class OutputRing {
public:
    static constexpr size_t CAPACITY = 1 << 16;  // a power of two

    struct Header {
        int64_t time;
        uint32_t slot;
        uint32_t length;
    };

    // Producer (one at a time: the caller serialises). False when there is no room.
    bool push(const Header& header, const uint8_t* bytes) {
        const size_t need = sizeof(Header) + header.length;
        const size_t tail = tail_.load(std::memory_order_relaxed);
        if (CAPACITY - (tail - head_.load(std::memory_order_acquire)) < need) return false;
        copy_in(tail, &header, sizeof header);
        copy_in(tail + sizeof header, bytes, header.length);
        tail_.store(tail + need, std::memory_order_release);
        return true;
    }

    // Consumer: the next record's header, if any.
    bool peek(Header& header) const {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return false;
        copy_out(head, &header, sizeof header);
        return true;
    }
    // Consumer: copies the peeked record's bytes to `into` (null to skip them) and lets go of the record.
    void pop(const Header& header, uint8_t* into) {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (into) copy_out(head + sizeof header, into, header.length);
        head_.store(head + sizeof header + header.length, std::memory_order_release);
    }

private:
    void copy_in(size_t at, const void* from, size_t n) {
        const size_t i = at & (CAPACITY - 1), first = std::min(n, CAPACITY - i);
        std::memcpy(bytes_.data() + i, from, first);
        std::memcpy(bytes_.data(), static_cast<const uint8_t*>(from) + first, n - first);
    }
    void copy_out(size_t at, void* to, size_t n) const {
        const size_t i = at & (CAPACITY - 1), first = std::min(n, CAPACITY - i);
        std::memcpy(to, bytes_.data() + i, first);
        std::memcpy(static_cast<uint8_t*>(to) + first, bytes_.data(), n - first);
    }

    std::array<uint8_t, CAPACITY> bytes_{};
    std::atomic<size_t> head_{0}, tail_{0};
};

constexpr int kSlots = 32;
constexpr uint32_t kVirtualSlot = 0;  // slot 0 of each side is the virtual endpoint, slot 1 the plain port
constexpr size_t kMaxMessage = OutputRing::CAPACITY / 4;

uint32_t endpoint_id(const jack_port_t* port) {
    return static_cast<uint32_t>(jack_port_uuid(port) & 0xFFFFFFFFu);
}

class JackMidi : public MidiSystem {
public:
    ~JackMidi() override {
        {
            std::lock_guard lock(mutex_);
            leaving_ = true;
        }
        // Off the client before we go: the device calls closing(), which lets go of our ports.
        AUHost::singleton().share_jack_client(ProcessHook{nullptr, nullptr, this});
    }

    const char* name() const override { return "jack"; }
    std::string error() const override { return error_; }
    bool has_virtual_output() const override { return outputs_[kVirtualSlot].port.load() != nullptr; }
    bool has_virtual_input() const override { return inputs_[kVirtualSlot].port.load() != nullptr; }

    bool open(MidiInputRing& input) override {
        input_ = &input;  // before the hook can run
        // Not under mutex_: the device calls closing() under its own lock, which then takes ours.
        auto* client = static_cast<jack_client_t*>(
            AUHost::singleton().share_jack_client(ProcessHook{&JackMidi::process, &JackMidi::closing, this}));
        std::lock_guard lock(mutex_);
        if (!client || gone_.load()) {  // not on JACK, or the client closed in between
            error_ = "JACK MIDI needs the audio engine on JACK, which it is not";
            return false;
        }
        client_ = client;
        register_port(inputs_[kVirtualSlot], "Ombrel Virtual Input", JackPortIsInput);
        register_port(outputs_[kVirtualSlot], "Ombrel Virtual Output", JackPortIsOutput);
        register_port(inputs_[1], "Ombrel Input port", JackPortIsInput);
        register_port(outputs_[1], "Ombrle Output port", JackPortIsOutput);
        if (!has_virtual_input() || !has_virtual_output()) error_ = "JACK refused a MIDI port";
        used_inputs_.store(2);
        used_outputs_.store(2);
        return true;
    }

    std::vector<MidiEndpoint> sources() override { return endpoints(JackPortIsOutput); }
    std::vector<MidiEndpoint> destinations() override { return endpoints(JackPortIsInput); }

    std::vector<MidiDeviceInfo> devices() override {
        std::lock_guard lock(mutex_);
        std::vector<MidiDeviceInfo> found;
        std::set<std::string> seen;
        for_each_port(0, [&](jack_port_t* port, const char* name) {
            const std::string client(name, std::strcspn(name, ":"));
            if (!seen.insert(client).second) return;
            const bool physical = jack_port_flags(port) & JackPortIsPhysical;
            found.push_back({client, "JACK", physical ? "hardware" : "software"});
        });
        return found;
    }

    std::optional<std::string> display_name(uint32_t id) override {
        std::lock_guard lock(mutex_);
        std::optional<std::string> name;
        for_each_port(0, [&](jack_port_t* port, const char* full) {
            if (!name && endpoint_id(port) == id) name = full;
        });
        return name;
    }

    bool connect_source(uint32_t id) override {
        std::lock_guard lock(mutex_);
        jack_port_t* source = find_port(id, JackPortIsOutput);
        if (!source) return false;
        for (int i = 1; i < used_inputs_.load(); ++i)
            if (inputs_[i].endpoint == id) return true;
        const int slot = take_slot(inputs_, used_inputs_, "Ombrel Input port", JackPortIsInput);
        if (slot < 0) return false;
        inputs_[slot].endpoint = id;
        inputs_[slot].source.store(id);
        const int status = jack_connect(client_, jack_port_name(source), jack_port_name(inputs_[slot].port.load()));
        return status == 0 || status == EEXIST;
    }

    bool open_destination(uint32_t id) override {
        std::lock_guard lock(mutex_);
        jack_port_t* destination = find_port(id, JackPortIsInput);
        if (!destination) return false;
        {
            std::lock_guard send(send_mutex_);
            if (slot_of_.count(id)) return true;
        }
        const int slot = take_slot(outputs_, used_outputs_, "Ombrle Output port", JackPortIsOutput);
        if (slot < 0) return false;
        outputs_[slot].endpoint = id;
        const int status =
            jack_connect(client_, jack_port_name(outputs_[slot].port.load()), jack_port_name(destination));
        if (status != 0 && status != EEXIST) return false;
        std::lock_guard send(send_mutex_);
        slot_of_[id] = static_cast<uint32_t>(slot);
        return true;
    }

    bool send(uint32_t destination, int64_t time, std::span<const uint8_t> bytes) override {
        return queue(destination, time, bytes);
    }

    // Sent once in the ring: JACK takes it in the next period whole, or drops it with the period's other overflow.
    bool send_sysex(uint32_t destination, std::span<const uint8_t> bytes) override {
        if (!queue(destination, 0, bytes)) return false;
        devlog("SysEx Message Successfully Sent");
        return true;
    }

private:
    struct InputSlot {
        std::atomic<jack_port_t*> port{nullptr};
        std::atomic<uint32_t> source{0};  // the connected source's id, for packets read from this port
        uint32_t endpoint = 0;            // the same, under mutex_
    };
    struct OutputSlot {
        std::atomic<jack_port_t*> port{nullptr};
        uint32_t endpoint = 0;
        void* buffer = nullptr;   // process thread only: this period's buffer
        uint32_t last_frame = 0;  // process thread only: JACK wants each port's events in time order
    };

    // Caller holds mutex_.
    bool register_port(auto& slot, const std::string& name, unsigned long flags) {
        jack_port_t* port = jack_port_register(client_, name.c_str(), JACK_DEFAULT_MIDI_TYPE, flags, 0);
        slot.port.store(port, std::memory_order_release);
        return port != nullptr;
    }

    // The plain port (slot 1) when no endpoint has it yet, else a new numbered one. Caller holds mutex_.
    template <typename Slots>
    int take_slot(Slots& slots, std::atomic<int>& used, const char* base, unsigned long flags) {
        if (!client_) return -1;
        if (slots[1].endpoint == 0 && slots[1].port.load()) return 1;
        const int slot = used.load();
        if (slot >= kSlots) return -1;
        if (!register_port(slots[slot], std::string(base) + " " + std::to_string(slot), flags)) return -1;
        used.store(slot + 1, std::memory_order_release);  // the process thread reads the slot from now on
        return slot;
    }

    std::vector<MidiEndpoint> endpoints(unsigned long direction) {
        std::lock_guard lock(mutex_);
        std::vector<MidiEndpoint> found;
        for_each_port(direction, [&](jack_port_t* port, const char* name) {
            // Our own plain ports are the router's, not endpoints; our virtual ones are, as any program's are.
            if (jack_port_is_mine(client_, port) && port != inputs_[kVirtualSlot].port.load() &&
                port != outputs_[kVirtualSlot].port.load())
                return;
            found.push_back({endpoint_id(port), name});
        });
        return found;
    }

    jack_port_t* find_port(uint32_t id, unsigned long direction) {
        jack_port_t* found = nullptr;
        for_each_port(direction, [&](jack_port_t* port, const char*) {
            if (!found && endpoint_id(port) == id) found = port;
        });
        return found;
    }

    // Every MIDI port of the server with that direction (0: both), in JACK's order. Caller holds mutex_.
    template <typename Visit>
    void for_each_port(unsigned long direction, Visit visit) {
        if (!client_) return;
        const char** names = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, direction);
        if (!names) return;
        for (const char** n = names; *n; ++n)
            if (jack_port_t* port = jack_port_by_name(client_, *n)) visit(port, *n);
        jack_free(names);
    }

    bool queue(uint32_t destination, int64_t time, std::span<const uint8_t> bytes) {
        if (bytes.empty() || bytes.size() > kMaxMessage || gone_.load()) return false;
        std::lock_guard lock(send_mutex_);
        if (const uint64_t lost = overfull_.exchange(0, std::memory_order_relaxed))
            CPPBridge::error("JACK MIDI dropped %llu messages: more were due in one period than its buffer holds",
                             static_cast<unsigned long long>(lost));
        uint32_t slot = kVirtualSlot;
        if (destination == VIRTUAL_OUTPUT) {
            if (!has_virtual_output()) return false;
        } else {
            auto it = slot_of_.find(destination);
            if (it == slot_of_.end()) return false;
            slot = it->second;
        }
        return ring_.push({time, slot, static_cast<uint32_t>(bytes.size())}, bytes.data());
    }

    static void process(void* user, uint32_t frames) { static_cast<JackMidi*>(user)->run(frames); }

    // The period that plays sample times [window, window + frames): the engine renders it right after this.
    void run(uint32_t frames) {
        const int64_t window = static_cast<int64_t>(SampleClock::TIME.load(std::memory_order_acquire));
        read_inputs(frames);
        const int outputs = used_outputs_.load(std::memory_order_acquire);
        for (int i = 0; i < outputs; ++i) {
            OutputSlot& slot = outputs_[i];
            jack_port_t* port = slot.port.load(std::memory_order_acquire);
            slot.buffer = port ? jack_port_get_buffer(port, frames) : nullptr;
            slot.last_frame = 0;
            if (slot.buffer) jack_midi_clear_buffer(slot.buffer);
        }
        OutputRing::Header header{};
        while (ring_.peek(header) && header.time < window + static_cast<int64_t>(frames)) {
            OutputSlot& slot = outputs_[header.slot];
            // Late messages (their period has played) go at the start of this one, in the order they came.
            const uint32_t frame = header.time > window ? static_cast<uint32_t>(header.time - window) : 0;
            slot.last_frame = std::max(slot.last_frame, frame);
            uint8_t* into = slot.buffer ? jack_midi_event_reserve(slot.buffer, slot.last_frame, header.length)
                                        : nullptr;
            if (!into) overfull_.fetch_add(1, std::memory_order_relaxed);
            ring_.pop(header, into);
        }
    }

    void read_inputs(uint32_t frames) {
        const int inputs = used_inputs_.load(std::memory_order_acquire);
        bool any = false;
        for (int i = 0; i < inputs; ++i) {
            jack_port_t* port = inputs_[i].port.load(std::memory_order_acquire);
            if (!port) continue;
            void* buffer = jack_port_get_buffer(port, frames);
            const uint32_t count = jack_midi_get_event_count(buffer);
            for (uint32_t e = 0; e < count; ++e) {
                jack_midi_event_t event;
                if (jack_midi_event_get(&event, buffer, e) != 0 || event.size == 0) continue;
                MidiPacket packet;
                packet.from_virtual = i == static_cast<int>(kVirtualSlot);
                packet.source = inputs_[i].source.load(std::memory_order_relaxed);
                packet.length = static_cast<uint16_t>(std::min<size_t>(event.size, 0xFFFF));
                std::memcpy(packet.data, event.buffer, std::min<size_t>(event.size, 3));
                input_->push(packet);
                any = true;
            }
        }
        if (any) input_->wake();
    }

    // The hook will not run again: we are leaving, or the client is closing (the engine stops, or the JACK server
    // went away). A live client gets our ports back.
    static void closing(void* user, bool server_gone) {
        auto* self = static_cast<JackMidi*>(user);
        std::lock_guard lock(self->mutex_);
        if (!self->leaving_ && server_gone) CPPBridge::error("JACK MIDI has stopped with the audio engine's JACK client");
        self->gone_.store(true);
        auto let_go = [&](auto& slot) {
            jack_port_t* port = slot.port.exchange(nullptr);
            if (port && !server_gone) jack_port_unregister(self->client_, port);
        };
        for (auto& slot : self->inputs_) let_go(slot);
        for (auto& slot : self->outputs_) let_go(slot);
        self->client_ = nullptr;
    }

    std::mutex mutex_;  // client_ and the ports' endpoints, off the process thread
    jack_client_t* client_ = nullptr;
    MidiInputRing* input_ = nullptr;
    std::array<InputSlot, kSlots> inputs_;
    std::array<OutputSlot, kSlots> outputs_;
    std::atomic<int> used_inputs_{0}, used_outputs_{0};
    std::mutex send_mutex_;  // the ring's producer side and slot_of_
    std::map<uint32_t, uint32_t> slot_of_;  // destination id -> output slot
    OutputRing ring_;
    std::atomic<bool> gone_{false};
    std::atomic<uint64_t> overfull_{0};  // messages the period's buffer had no room for, counted on the process thread
    bool leaving_ = false;
    std::string error_;
};

}  // namespace

std::unique_ptr<MidiSystem> make_jack_midi() { return std::make_unique<JackMidi>(); }

}  // namespace omb
