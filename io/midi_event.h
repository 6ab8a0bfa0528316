// MIDI event records: the typed events a standard MIDI file's tracks are read into, each with its delta time.
//
// Every class has a static `id` (what getId() returns, so a reader can switch on it), prints itself as one line on
// standard output, and writes its MIDI bytes with data(): at most three, so the buffer is an EventBytes.
#pragma once

#include <array>
#include <cstdint>

namespace omb {

using EventBytes = std::array<uint8_t, 3>;

class Event {
public:
    explicit Event(long time) : time_(time) {}
    virtual ~Event() = default;

    // Ticks since the previous event of the same track.
    long getTime() const { return time_; }
    void setTime(long time) { time_ = time; }
    virtual int getId() const = 0;
    virtual void print() const = 0;
    // Writes the event's bytes into `out` and returns their count.
    virtual int data(EventBytes& out) const = 0;

private:
    long time_;
};

class ATouch final : public Event {
public:
    static constexpr int id = 1;
    ATouch(uint8_t pitch, uint8_t pressure, uint8_t channel, long time)
        : Event(time), pitch(pitch), pressure(pressure), channel(channel) {}
    int getId() const override { return id; }
    void print() const override;
    int data(EventBytes& out) const override;
    uint8_t pitch, pressure, channel;
};

class CPres final : public Event {
public:
    static constexpr int id = 2;
    CPres(uint8_t pressure, uint8_t channel, long time) : Event(time), pressure(pressure), channel(channel) {}
    int getId() const override { return id; }
    void print() const override;
    int data(EventBytes& out) const override;
    uint8_t pressure, channel;
};

class CChange final : public Event {
public:
    static constexpr int id = 3;
    CChange(uint8_t controller, uint8_t value, uint8_t channel, long time)
        : Event(time), controller(controller), value(value), channel(channel) {}
    int getId() const override { return id; }
    void print() const override;
    int data(EventBytes& out) const override;
    uint8_t controller, value, channel;
};

class NoteOff final : public Event {
public:
    static constexpr int id = 4;
    NoteOff(uint8_t pitch, uint8_t velocity, uint8_t channel, long time)
        : Event(time), pitch(pitch), velocity(velocity), channel(channel) {}
    int getId() const override { return id; }
    void print() const override;
    int data(EventBytes& out) const override;
    uint8_t pitch, velocity, channel;
};

class NoteOn final : public Event {
public:
    static constexpr int id = 5;
    NoteOn(uint8_t pitch, uint8_t velocity, uint8_t channel, long time)
        : Event(time), pitch(pitch), velocity(velocity), channel(channel) {}
    int getId() const override { return id; }
    void print() const override;
    int data(EventBytes& out) const override;
    uint8_t pitch, velocity, channel;
};

class PWheel final : public Event {
public:
    static constexpr int id = 6;
    // `value`: the most significant seven bits of the bend.
    PWheel(int value, uint8_t channel, long time) : Event(time), value(value), channel(channel) {}
    int getId() const override { return id; }
    void print() const override;
    int data(EventBytes& out) const override;
    int value;
    uint8_t channel;
};

class PChange final : public Event {
public:
    static constexpr int id = 7;
    PChange(uint8_t program, uint8_t channel, long time) : Event(time), program(program), channel(channel) {}
    int getId() const override { return id; }
    void print() const override;
    int data(EventBytes& out) const override;
    uint8_t program, channel;
};

class Tempo final : public Event {
public:
    static constexpr int id = 8;
    // `tempo`: microseconds per quarter note.
    Tempo(long time, int tempo) : Event(time), tempo(tempo) {}
    int getId() const override { return id; }
    void print() const override;
    // 0x51 and the tempo in beats per minute, truncated to a byte.
    int data(EventBytes& out) const override;
    // Beats per minute, whole; 0 for a tempo of 0 (a damaged file's), which has no rate.
    int bpm() const;
    int tempo;
};

}  // namespace omb
