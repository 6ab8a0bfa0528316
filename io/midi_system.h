// A MIDI system: the platform service the MIDI router speaks through (the ALSA sequencer, or JACK MIDI on the audio
// engine's JACK client). It owns the client "Ombrel", its input and output ports and the two virtual endpoints,
// "Ombrel Virtual Output" (a source other programs read) and "Ombrel Virtual Input" (a destination they write).
//
// Endpoints are known by a stable 32-bit id: ALSA's client × 256 + port, JACK's port id.
//
// Threads: open() and the listings on any one thread at a time (the router serialises them); send() and
// send_sysex() on the scheduler's queue thread; received packets are pushed into the router's input ring from the
// system's own input thread (JACK's process thread included), which must not lock, allocate or log there.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace omb {

struct MidiEndpoint {
    uint32_t id = 0;
    std::string name;  // the display name
};

struct MidiDeviceInfo {
    std::string name, manufacturer, model;
};

// One received message as the router reads it: who sent it, its length and its first three bytes.
struct MidiPacket {
    uint32_t source = 0;        // the connected source's id; unused when from_virtual
    bool from_virtual = false;  // it came to "Ombrel Virtual Input"
    uint16_t length = 0;        // bytes in the whole message (a system-exclusive one is long)
    uint8_t data[3] = {};
};

// Received packets on their way from the system's input thread to the router's: a single-producer,
// single-consumer ring that neither side locks. A push into a full ring is counted, never waits. The producer
// calls wake() after a batch (a semaphore post: no lock, no wait), so a thread with nothing to read costs nothing.
class MidiInputRing {
public:
    static constexpr size_t CAPACITY = 4096;  // a power of two

    MidiInputRing() { sem_init(&ready_, 0, 0); }
    ~MidiInputRing() { sem_destroy(&ready_); }
    MidiInputRing(const MidiInputRing&) = delete;
    MidiInputRing& operator=(const MidiInputRing&) = delete;

    void wake() { sem_post(&ready_); }
    // Consumer: until woken or `ms` milliseconds have passed.
    void wait(int ms) {
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        until.tv_sec += ms / 1000 + until.tv_nsec / 1000000000L;
        until.tv_nsec %= 1000000000L;
        while (sem_timedwait(&ready_, &until) != 0 && errno == EINTR) {
        }
        while (sem_trywait(&ready_) == 0) {  // one look at the ring serves every post so far
        }
    }

    bool push(const MidiPacket& packet) {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == CAPACITY) {
            overflowed_.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        slots_[tail & (CAPACITY - 1)] = packet;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    bool pop(MidiPacket& packet) {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return false;
        packet = slots_[head & (CAPACITY - 1)];
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

    // Packets lost to a full ring since the last call.
    uint64_t take_overflowed() { return overflowed_.exchange(0, std::memory_order_relaxed); }

private:
    MidiPacket slots_[CAPACITY];
    std::atomic<size_t> head_{0}, tail_{0};
    std::atomic<uint64_t> overflowed_{0};
    sem_t ready_;
};

class MidiSystem {
public:
    // The destination id that means the virtual output: sending "to" it emits from "Ombrel Virtual Output".
    static constexpr uint32_t VIRTUAL_OUTPUT = 0xFFFFFFFF;

    virtual ~MidiSystem() = default;
    virtual const char* name() const = 0;  // "alsa" or "jack"

    // Creates the client, the ports and the virtual endpoints; received packets go to `input` from then on. False,
    // with error() saying why, when the system is absent: nothing is left open then. A virtual endpoint that
    // cannot be made alone is reported through virtual_output()/virtual_input() and error(), and open() succeeds.
    virtual bool open(MidiInputRing& input) = 0;
    virtual std::string error() const = 0;
    virtual bool has_virtual_output() const = 0;
    virtual bool has_virtual_input() const = 0;

    // What other programs offer: sources to read from, destinations to write to, and the devices behind them.
    virtual std::vector<MidiEndpoint> sources() = 0;
    virtual std::vector<MidiEndpoint> destinations() = 0;
    virtual std::vector<MidiDeviceInfo> devices() = 0;
    // The display name of the endpoint with that id, if there is one.
    virtual std::optional<std::string> display_name(uint32_t id) = 0;

    // Connects the input port to the source with that id; its packets then carry the id. Connecting it again is
    // no error. False when there is no such source.
    virtual bool connect_source(uint32_t id) = 0;
    // Readies sending to the destination with that id. False when there is no such destination.
    virtual bool open_destination(uint32_t id) = 0;

    // One short message to a destination opened before, or from the virtual output (VIRTUAL_OUTPUT), at sample
    // time `time` (at once when it has come; a system that cannot place it inside a buffer sends it at once).
    virtual bool send(uint32_t destination, int64_t time, std::span<const uint8_t> bytes) = 0;
    // A system-exclusive message, whole (F0 ... F7), sent as soon as the system can.
    virtual bool send_sysex(uint32_t destination, std::span<const uint8_t> bytes) = 0;
};

// The ALSA sequencer. Absent on a machine without /dev/snd/seq: open() fails with the reason.
std::unique_ptr<MidiSystem> make_alsa_midi();
// JACK MIDI on the audio engine's JACK client; open() fails when the engine does not run on JACK.
std::unique_ptr<MidiSystem> make_jack_midi();

}  // namespace omb
