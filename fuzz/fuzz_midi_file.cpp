// Feeds arbitrary bytes to the standard MIDI file reader. A MIDI file may come from anywhere: it must be read or
// refused with a one-line reason, never read past its end, never crash or hang.
//
// A file that is read must hold what its header announced, give notes in range with sane times, pair every note
// with the end the one-note walk finds, and come back the same when its events are written out again with their
// own bytes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "io/midi_file.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "fuzz_midi_file: %s\n%s\n", what, detail.c_str());
    std::abort();
}

// The file again from the events read: every status written out, tempos as their meta event.
std::vector<uint8_t> written(const omb::SMF& smf) {
    std::vector<uint8_t> out{'M', 'T', 'h', 'd', 0, 0, 0, 6};
    omb::append_big_endian(out, smf.format, 2);
    omb::append_big_endian(out, smf.ntracks, 2);
    omb::append_big_endian(out, static_cast<uint16_t>(smf.division), 2);
    for (const omb::Track& track : smf.tracks) {
        std::vector<uint8_t> events;
        for (const auto& e : track.events) {
            omb::append_variable_quantity(events, static_cast<uint32_t>(e->getTime()));
            if (e->getId() == omb::Tempo::id) {
                events.insert(events.end(), {0xFF, 0x51, 0x03});
                omb::append_big_endian(events, static_cast<uint32_t>(static_cast<const omb::Tempo&>(*e).tempo), 3);
                continue;
            }
            omb::EventBytes bytes{};
            const int n = e->data(bytes);
            events.insert(events.end(), bytes.begin(), bytes.begin() + n);
            if (e->getId() == omb::PWheel::id) events.insert(events.end() - 1, 0);  // the dropped low bits
        }
        out.insert(out.end(), {'M', 'T', 'r', 'k'});
        omb::append_big_endian(out, static_cast<uint32_t>(events.size()), 4);
        out.insert(out.end(), events.begin(), events.end());
    }
    return out;
}

// Deltas carried over dropped events can pass what one delta of the format holds; such a file is not written out.
bool writable(const omb::SMF& smf) {
    for (const omb::Track& track : smf.tracks)
        for (const auto& e : track.events)
            if (e->getTime() > 0x0FFFFFFF) return false;
    return true;
}

std::string events_of(const omb::SMF& smf) {
    std::string text;
    for (const omb::Track& track : smf.tracks) {
        for (const auto& e : track.events) {
            omb::EventBytes bytes{};
            const int n = e->data(bytes);
            text += std::to_string(e->getId()) + '@' + std::to_string(e->getTime());
            for (int i = 0; i < n; ++i) text += ' ' + std::to_string(bytes[i]);
            text += '\n';
        }
        text += "--\n";
    }
    return text;
}

void check_notes(const omb::SMF& smf) {
    const std::vector<omb::TrackNotes> notes = smf.notes();
    size_t element = 0;
    for (const omb::Track& track : smf.tracks) {
        if (track.events.empty()) continue;
        const omb::TrackNotes& n = notes.at(element++);
        if (n.starts.size() != n.pitches.size() || n.pitches.size() != n.velocities.size() ||
            n.velocities.size() != n.durations.size())
            fail("note columns of different lengths");
        bool pedal[16] = {};
        size_t note = 0;
        for (size_t i = 0; i < track.events.size(); ++i) {
            const omb::Event& e = *track.events[i];
            if (e.getId() == omb::CChange::id) {
                const auto& cc = static_cast<const omb::CChange&>(e);
                if (cc.controller == 64) pedal[cc.channel] = cc.value >= 64;
            }
            if (e.getId() != omb::NoteOn::id || static_cast<const omb::NoteOn&>(e).velocity == 0) continue;
            const auto& on = static_cast<const omb::NoteOn&>(e);
            if (note >= n.pitches.size() || n.pitches[note] != on.pitch || n.velocities[note] != on.velocity)
                fail("a note does not match its note-on");
            if (!std::isfinite(n.starts[note]) || n.starts[note] < 0 || (note && n.starts[note] < n.starts[note - 1]))
                fail("a start out of order or range");
            if (n.durations[note] != smf.getDuration(track, i, pedal[on.channel]))
                fail("a duration differs from its walk", std::to_string(n.durations[note]));
            if (!(n.durations[note] >= 0)) fail("a negative duration");
            ++note;
        }
        if (note != n.pitches.size()) fail("more notes than note-ons");
    }
    if (element != notes.size()) fail("an element for a track without events");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    omb::SMF smf;
    if (!smf.parse(data, size)) {
        const std::string& reason = smf.error();
        if (reason.empty() || reason.find('\n') != std::string::npos) fail("reason is not one line", reason);
        if (!smf.tracks.empty()) fail("a refused file left tracks");
        return 0;
    }
    if (smf.tracks.size() != smf.ntracks) fail("tracks read differ from the header's count");
    if (smf.division == 0 || !(smf.ticksPerBeat() > 0)) fail("no ticks per beat");
    check_notes(smf);
    if (!writable(smf)) return 0;
    const std::vector<uint8_t> again = written(smf);
    omb::SMF reread;
    if (!reread.parse(again.data(), again.size())) fail("the events written out do not read back", reread.error());
    if (events_of(reread) != events_of(smf)) fail("the events read back differently", events_of(smf));
    return 0;
}
