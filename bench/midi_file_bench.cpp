// How long "io:read-midi-file" takes for a 1 MB standard MIDI file: the whole call as Scheme makes it (reading the
// file, parsing, pairing notes with their ends, building the lists), and its parts on their own.
//
// The file is generated: eight tracks of a piano-like part (chords, running status, note-offs as velocity-0
// note-ons, the sustain pedal every bar, a lyric now and then), about 1 MB and 150 000 notes in all.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "interpreter/scheme.h"
#include "io/midi_file.h"
#include "io/midi_file_scheme.h"

namespace {

constexpr size_t kFileBytes = 1 << 20;
constexpr int kTracks = 8;

// One bar after another of four-note chords, each chord released before the next; the pedal goes down at the
// bar and up at its end.
std::vector<uint8_t> track_events(size_t bytes, int channel, std::mt19937& random) {
    std::vector<uint8_t> e;
    const uint8_t on = static_cast<uint8_t>(0x90 | channel), cc = static_cast<uint8_t>(0xB0 | channel);
    for (int bar = 0; e.size() < bytes; ++bar) {
        e.insert(e.end(), {0x00, cc, 64, 127});
        for (int chord = 0; chord < 4; ++chord) {
            const int root = 36 + static_cast<int>(random() % 48);
            omb::append_variable_quantity(e, chord == 0 ? 0 : 30);
            e.insert(e.end(), {on, static_cast<uint8_t>(root), static_cast<uint8_t>(40 + random() % 80)});
            for (int k : {4, 7, 12}) e.insert(e.end(), {0x00, static_cast<uint8_t>(root + k), 90});
            for (int k : {0, 4, 7, 12}) {
                omb::append_variable_quantity(e, k == 0 ? 450 : 0);
                e.insert(e.end(), {static_cast<uint8_t>(root + k), 0});
            }
        }
        e.insert(e.end(), {0x00, cc, 64, 0});
        if (bar % 8 == 0) e.insert(e.end(), {0x00, 0xFF, 0x05, 0x03, 'l', 'a', '!'});
    }
    e.insert(e.end(), {0x00, 0xFF, 0x2F, 0x00});
    return e;
}

std::vector<uint8_t> midi_file() {
    std::mt19937 random(42);
    std::vector<uint8_t> file{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1};
    omb::append_big_endian(file, kTracks, 2);
    omb::append_big_endian(file, 480, 2);
    for (int t = 0; t < kTracks; ++t) {
        const std::vector<uint8_t> events = track_events(kFileBytes / kTracks - 8, t, random);
        file.insert(file.end(), {'M', 'T', 'r', 'k'});
        omb::append_big_endian(file, static_cast<uint32_t>(events.size()), 4);
        file.insert(file.end(), events.begin(), events.end());
    }
    return file;
}

const std::vector<uint8_t>& file_bytes() {
    static const std::vector<uint8_t> bytes = midi_file();
    return bytes;
}

// The file on disk for the whole call, removed when the program ends.
struct TempFile {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("ombrel-bench-" + std::to_string(::getpid()) + ".mid");
    TempFile() {
        const std::vector<uint8_t>& bytes = file_bytes();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    ~TempFile() {
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
};

std::string file_path() {
    static const TempFile file;
    return file.path.string();
}

void report(benchmark::State& state, const omb::SMF& smf) {
    size_t notes = 0;
    for (const omb::TrackNotes& t : smf.notes()) notes += t.pitches.size();
    state.counters["file_bytes"] = static_cast<double>(file_bytes().size());
    state.counters["notes"] = static_cast<double>(notes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file_bytes().size()));
}

// The whole call, as a performer's (define notes (io:read-midi-file "...")) makes it.
void BM_ReadMidiFileFromScheme(benchmark::State& state) {
    omb::scheme* sc = omb::scheme_init_new();
    omb::scheme_define(sc, sc->global_env, omb::mk_symbol(sc, "io:read-midi-file"),
                       omb::mk_foreign_func(sc, omb::read_midi_file));
    const std::string text = "(define notes (io:read-midi-file \"" + file_path() + "\"))";
    for (auto _ : state) omb::scheme_load_string(sc, text.c_str());
    omb::scheme_load_string(sc, "(pair? notes)");
    if (sc->value != sc->T) state.SkipWithError("io:read-midi-file gave no notes");
    omb::SMF smf;
    if (!smf.read(file_path())) state.SkipWithError(smf.error().c_str());
    report(state, smf);
    omb::scheme_deinit(sc);
    std::free(sc);
}

void BM_ParseMidiBytes(benchmark::State& state) {
    omb::SMF smf;
    for (auto _ : state)
        if (!smf.parse(file_bytes().data(), file_bytes().size())) state.SkipWithError(smf.error().c_str());
    report(state, smf);
}

void BM_PairNotes(benchmark::State& state) {
    omb::SMF smf;
    smf.parse(file_bytes().data(), file_bytes().size());
    for (auto _ : state) benchmark::DoNotOptimize(smf.notes());
    report(state, smf);
}

BENCHMARK(BM_ReadMidiFileFromScheme)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseMidiBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PairNotes)->Unit(benchmark::kMillisecond);

}  // namespace
