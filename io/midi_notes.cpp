// The notes a track plays: each note-on paired with its end, the sustain pedal honoured.
//
// A note ends at the first note-off (or velocity-0 note-on) of its channel and pitch after it; overlapping notes of
// one pitch therefore end together. If the channel's pedal (controller 64, down from 64 up) is down then, the note
// lasts until the pedal is released; a note whose end never comes lasts four beats. Times are kept in whole ticks
// and divided once, so neither starts nor durations drift over a long track.
#include <array>
#include <cstdint>

#include "io/midi_file.h"

namespace omb {

namespace {

constexpr int kChannels = 16;
constexpr uint8_t kSustainPedal = 64;
constexpr double kEndless = 4.0;
constexpr int32_t kNone = -1;

bool pedal_down(uint8_t value) { return value >= 64; }

// An event that ends the notes of its channel and pitch.
bool is_note_end(const Event& e) {
    return e.getId() == NoteOff::id ||
           (e.getId() == NoteOn::id && static_cast<const NoteOn&>(e).velocity == 0);
}

int key_of(const Event& e) {
    if (e.getId() == NoteOff::id) {
        const auto& off = static_cast<const NoteOff&>(e);
        return (off.channel & 0x0F) * 128 + (off.pitch & 0x7F);
    }
    const auto& on = static_cast<const NoteOn&>(e);
    return (on.channel & 0x0F) * 128 + (on.pitch & 0x7F);
}

const CChange* as_pedal(const Event& e) {
    if (e.getId() != CChange::id) return nullptr;
    const auto& cc = static_cast<const CChange&>(e);
    return cc.controller == kSustainPedal ? &cc : nullptr;
}

// Notes still waiting for their end, chained through `next` so that a key's chain moves to its channel's
// sustained chain, or ends, in one walk: every note is chained, moved and ended at most once.
class Pairing {
public:
    explicit Pairing(size_t expected) {
        held_.fill(kNone);
        sustained_.fill(kNone);
        start_.reserve(expected);
        end_.reserve(expected);
        next_.reserve(expected);
    }

    void start(int key, int64_t now) {
        const auto note = static_cast<int32_t>(start_.size());
        start_.push_back(now);
        end_.push_back(-1);
        next_.push_back(held_[key]);
        held_[key] = note;
    }

    void release(int key, int64_t now) {
        const int channel = key / 128;
        if (pedal_[channel]) {
            sustained_[channel] = append(held_[key], sustained_[channel]);
        } else {
            end_chain(held_[key], now);
        }
        held_[key] = kNone;
    }

    void pedal(int channel, bool down, int64_t now) {
        pedal_[channel] = down;
        if (down) return;
        end_chain(sustained_[channel], now);
        sustained_[channel] = kNone;
    }

    // Durations in beats, in the order the notes started.
    std::vector<double> durations(double ticks_per_beat) const {
        std::vector<double> out(start_.size());
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = end_[i] < 0 ? kEndless : static_cast<double>(end_[i] - start_[i]) / ticks_per_beat;
        return out;
    }

private:
    // `chain` followed by `rest`.
    int32_t append(int32_t chain, int32_t rest) {
        if (chain == kNone) return rest;
        int32_t last = chain;
        while (next_[last] != kNone) last = next_[last];
        next_[last] = rest;
        return chain;
    }

    void end_chain(int32_t note, int64_t now) {
        for (; note != kNone; note = next_[note]) end_[note] = now;
    }

    std::array<int32_t, kChannels * 128> held_;
    std::array<int32_t, kChannels> sustained_;
    std::array<bool, kChannels> pedal_{};
    std::vector<int64_t> start_, end_;
    std::vector<int32_t> next_;
};

TrackNotes notes_of(const Track& track, double ticks_per_beat) {
    TrackNotes notes;
    Pairing pairing(track.events.size() / 2);
    int64_t now = 0;
    for (const auto& e : track.events) {
        now += e->getTime();
        if (is_note_end(*e)) {
            pairing.release(key_of(*e), now);
        } else if (e->getId() == NoteOn::id) {
            const auto& on = static_cast<const NoteOn&>(*e);
            notes.starts.push_back(static_cast<double>(now) / ticks_per_beat);
            notes.pitches.push_back(on.pitch);
            notes.velocities.push_back(on.velocity);
            pairing.start(key_of(on), now);
        } else if (const CChange* pedal = as_pedal(*e)) {
            pairing.pedal(pedal->channel & 0x0F, pedal_down(pedal->value), now);
        }
    }
    notes.durations = pairing.durations(ticks_per_beat);
    return notes;
}

}  // namespace

double SMF::ticksPerBeat() const {
    if (division > 0) return division;
    // Time code: frames per second (29 stands for 29.97, drop frame) times ticks per frame, half a second a beat.
    const int frames = -static_cast<int8_t>((division >> 8) & 0xFF);
    const double rate = frames == 29 ? 29.97 : frames;
    return rate * (division & 0xFF) / 2.0;
}

std::vector<TrackNotes> SMF::notes() const {
    std::vector<TrackNotes> all;
    const double ticks_per_beat = ticksPerBeat();
    for (const Track& track : tracks)
        if (!track.events.empty()) all.push_back(notes_of(track, ticks_per_beat));
    return all;
}

double SMF::getDuration(const Track& track, size_t index, bool sustain) const {
    if (index >= track.events.size() || track.events[index]->getId() != NoteOn::id) return 0.0;
    const int key = key_of(*track.events[index]);
    int64_t ticks = 0;
    bool pedal = sustain;
    bool released_under_pedal = false;
    for (size_t i = index + 1; i < track.events.size(); ++i) {
        const Event& e = *track.events[i];
        ticks += e.getTime();
        if (is_note_end(e) && key_of(e) == key) {
            if (!pedal) return static_cast<double>(ticks) / ticksPerBeat();
            released_under_pedal = true;
        } else if (const CChange* cc = as_pedal(e); cc && (cc->channel & 0x0F) == key / 128) {
            pedal = pedal_down(cc->value);
            if (!pedal && released_under_pedal) return static_cast<double>(ticks) / ticksPerBeat();
        }
    }
    return kEndless;
}

}  // namespace omb
