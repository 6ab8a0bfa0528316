// A standard MIDI file read into tracks of typed events, and the notes its tracks play, in beats.
//
// Reading is checked throughout: every length and count in the file is held against the bytes actually there, and
// a file that is truncated, lies about a length, lacks a chunk tag or breaks the event grammar is refused with
// a one-line reason (error()); nothing past the file's end is ever read.
//
// Reading lives in midi_file.cpp, the pairing of note-ons with their ends in midi_notes.cpp, the Scheme data and
// "io:read-midi-file" in midi_file_scheme.cpp. An SMF is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/midi_event.h"

namespace omb {

struct scheme;
struct cell;

class Track {
public:
    // In file order. Each event's time counts from the event before it; the delta of anything read but not kept
    // (system exclusive, meta events other than tempo) is carried into the next kept event.
    std::vector<std::unique_ptr<Event>> events;
};

// The notes of one track, in the order of their note-ons: four parallel columns.
struct TrackNotes {
    std::vector<double> starts;     // beats from the start of the track
    std::vector<int> pitches;
    std::vector<int> velocities;    // never 0: a note-on of velocity 0 ends a note
    std::vector<double> durations;  // beats; 4 for a note whose end never comes
};

class SMF {
public:
    // The reader's defaults until a header replaces them.
    explicit SMF(uint16_t format = 1, int division = 384) : format(format), division(division) {}

    // Reads the file at `path`. False when it cannot be opened or is not a sound MIDI file. Diagnostics go to
    // standard output and error: "Unable to open SMF file: ", "This is NOT a MIDI file !!!", "Track started in
    // wrong place!!!!  ABORTING"; the reason of any refusal is kept in error().
    bool read(const std::string& path);
    // The same reading over bytes in memory, silent unless `report`.
    bool parse(const uint8_t* bytes, size_t size, bool report = false);
    // Why the last read failed, with the byte offset where it applies; empty after a success.
    const std::string& error() const { return error_; }

    // Ticks per beat: the division, or for a time-code division its ticks per second at the default tempo (120
    // beats per minute), which is the only tempo such a file implies.
    double ticksPerBeat() const;
    // The notes of every track that holds at least one event, in file order.
    std::vector<TrackNotes> notes() const;
    // The duration in beats of the note-on at `index` of `track`, found by walking forward from it: its end is the
    // first note-off (or velocity-0 note-on) of its channel and pitch, or, if the channel's sustain pedal is down
    // then, the pedal's next release. `sustain`: whether the pedal is down at the note-on. notes() finds the same
    // durations for a whole track in one pass; this is the definition it is held to.
    double getDuration(const Track& track, size_t index, bool sustain) const;
    // The result of "io:read-midi-file": one element per track with at least one event, the last track first, each
    // a list of four lists (starts, pitches, velocities, durations). The caller blocks garbage collection.
    cell* getSchemeData(scheme* sc) const;

    uint16_t format;
    uint16_t ntracks = 0;
    int division;  // ticks per quarter note; negative: a time code (frames per second, ticks per frame)
    std::vector<Track> tracks;

private:
    std::string error_;
};

// The file format's two number encodings, for code that writes files (generators of test and benchmark files):
// a variable-length quantity (7 bits a byte, high bit set on all but the last) and an n-byte big-endian number.
void append_variable_quantity(std::vector<uint8_t>& out, uint32_t value);
void append_big_endian(std::vector<uint8_t>& out, uint32_t value, int bytes);

}  // namespace omb
