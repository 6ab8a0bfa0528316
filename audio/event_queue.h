// Events for a unit's render thread: what must happen at a frame of a buffer.
//
// Any thread posts (posters take a mutex among themselves, never shared with the render thread); the render thread
// alone takes events, without locks or allocation. A fixed ring of events, and a fixed ring of bytes for the
// system-exclusive messages they carry, so nothing is allocated or freed on either side once made.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

namespace omb {

struct UnitEvent {
    enum class Kind : uint8_t { midi, note_start, note_stop, parameter, bypass, sysex };
    Kind kind = Kind::midi;
    // The buffer the frame is counted in, by the sample time it starts at, and the frame inside it. An event for
    // a buffer already rendered (its poster was late) applies at frame 0 of the next one.
    int64_t window = 0;
    uint32_t frame = 0;
    union {
        struct {
            uint8_t status, data1, data2;
        } midi;
        struct {
            uint32_t instance;  // from Unit::new_note_instance(); note_stop names the one to stop
            float pitch, velocity;
        } note;
        struct {
            uint32_t id;
            int32_t scope, element;
            float value;
        } parameter;
        struct {
            bool on;
        } bypass;
        struct {
            // The bytes travel beside the event (EventQueue::sysex_bytes): their place in the byte ring, filled in
            // by push_sysex.
            uint32_t size, start;
            uint64_t end;
        } sysex;
    };
    UnitEvent() : midi{0, 0, 0} {}
};

class EventQueue {
public:
    static constexpr size_t kEvents = 4096;       // a power of two
    static constexpr size_t kSysexBytes = 65536;  // a power of two; also the largest message

    EventQueue();

    // Any thread. False (and the event counted as dropped) when the queue is full.
    bool push(const UnitEvent& event);
    // A system-exclusive message: false when the bytes do not fit.
    bool push_sysex(const UnitEvent& event, std::span<const uint8_t> bytes);

    // Render thread: the next event if it is due in `window` (posted for it or for an earlier one).
    const UnitEvent* peek(int64_t window) const;
    // Render thread: the bytes of the sysex event peek() returned; valid until pop().
    std::span<const uint8_t> sysex_bytes() const;
    void pop();

    uint64_t take_dropped() { return dropped_.exchange(0, std::memory_order_relaxed); }

private:
    std::mutex posters_;
    std::unique_ptr<UnitEvent[]> events_;
    std::unique_ptr<uint8_t[]> bytes_;
    std::atomic<size_t> head_{0}, tail_{0};            // events: written by posters, read by the render thread
    std::atomic<size_t> byte_head_{0}, byte_tail_{0};  // sysex bytes, likewise
    std::atomic<uint64_t> dropped_{0};
};

}  // namespace omb
