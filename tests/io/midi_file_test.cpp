// Standard MIDI files built byte by byte: the events they are read into, the notes "io:read-midi-file" gives a real
// process for them, and the damaged and lying files it refuses with "Bad MIDI File" while the process runs on.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "io/midi_file.h"
#include "io/midi_file_scheme.h"
#include "tests/runtime/process_support.h"

namespace omb::test {
namespace {

using Bytes = std::string;

Bytes b(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

Bytes big_endian(uint32_t v, int n) {
    Bytes out;
    for (int i = n - 1; i >= 0; --i) out += static_cast<char>(v >> (8 * i));
    return out;
}

Bytes header(int format, int ntracks, int division, uint32_t length = 6) {
    return "MThd" + big_endian(length, 4) + big_endian(format, 2) + big_endian(ntracks, 2) + big_endian(division, 2);
}

Bytes track_claiming(uint32_t length, const Bytes& events) { return "MTrk" + big_endian(length, 4) + events; }
Bytes track(const Bytes& events) { return track_claiming(static_cast<uint32_t>(events.size()), events); }

const Bytes kEnd = b({0x00, 0xFF, 0x2F, 0x00});
const Bytes kTempoOnly = track(b({0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}) + kEnd);
Bytes one_note(int pitch) { return track(b({0x00, 0x90, pitch, 100, 0x83, 0x60, 0x80, pitch, 0}) + kEnd); }
Bytes format0(const Bytes& events) { return header(0, 1, 480) + track(events + kEnd); }

const uint8_t* data_of(const Bytes& bytes) { return reinterpret_cast<const uint8_t*>(bytes.data()); }

TEST(MidiEvents, IdsBytesAndLines) {
    struct Row {
        std::unique_ptr<Event> event;
        int id;
        std::vector<int> bytes;
        const char* line;
    };
    Row rows[] = {
        {std::make_unique<ATouch>(60, 33, 2, 7), 1, {0xA2, 60, 33},
         "After Touch(001): [time = 7][midiChannel = 2][pitch = 60][pressure = 33]\n"},
        {std::make_unique<CPres>(90, 15, 0), 2, {0xDF, 90},
         "Channel Pressure(002): [time = 0][midiChannel = 15][pressure = 90]\n"},
        {std::make_unique<CChange>(64, 127, 1, 480), 3, {0xB1, 64, 127},
         "Control Change(003): [time = 480][midiChannel = 1][controller_num = 64][value = 127]\n"},
        {std::make_unique<NoteOff>(61, 0, 3, 5), 4, {0x83, 61, 0},
         "Note Off(004): [time = 5][midiChannel = 3][pitch = 61][velocity = 0]\n"},
        {std::make_unique<NoteOn>(60, 100, 9, 96), 5, {0x99, 60, 100},
         "Note On(005): [time = 96][midiChannel = 9][pitch = 60][velocity = 100]\n"},
        {std::make_unique<PWheel>(64, 4, 1), 6, {0xE4, 64},
         "Pitch Wheel(006): [time = 1][midiChannel = 4][value = 64]\n"},
        {std::make_unique<PChange>(12, 5, 2), 7, {0xC5, 12},
         "Program Change(007): [time = 2][midiChannel = 5][value = 12]\n"},
        {std::make_unique<Tempo>(0, 500000), 8, {0x51, 120}, "Tempo(008): [time = 0][temp(bpm) = 120\n"},
        {std::make_unique<Tempo>(3, 200000), 8, {0x51, 300 & 0xFF}, "Tempo(008): [time = 3][temp(bpm) = 300\n"},
        {std::make_unique<Tempo>(0, 0), 8, {0x51, 0}, "Tempo(008): [time = 0][temp(bpm) = 0\n"},  // no division by 0
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.event->getId(), row.id) << row.line;
        EventBytes out{};
        const int n = row.event->data(out);
        EXPECT_EQ(std::vector<int>(out.begin(), out.begin() + n), row.bytes) << row.line;
        ::testing::internal::CaptureStdout();
        row.event->print();
        std::fflush(stdout);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), row.line);
    }
}

TEST(MidiFile, EveryKindOfEventWithItsTimeAndRunningStatus) {
    // Running status covers the second note-on; the text and system exclusive events are not kept, and their
    // deltas move on to the next event kept. A header two bytes longer than its fields is stepped over.
    const Bytes events = b({0x00, 0x91, 60, 100, 0x10, 62, 90,  0x05, 0xFF, 0x01, 0x02, 'h', 'i',
                            0x06, 0xF0, 0x02, 0x7E, 0xF7, 0x01, 0xA1, 60, 20, 0x02, 0xB1, 64, 127,
                            0x03, 0xC1, 5, 0x04, 0xD1, 70, 0x05, 0xE1, 0x11, 0x40, 0x81, 0x00, 0x81, 62, 9,
                            0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40}) + kEnd;
    const Bytes file = header(1, 1, 96, 8) + b({0, 0}) + track(events);
    SMF smf;
    ASSERT_TRUE(smf.parse(data_of(file), file.size())) << smf.error();
    EXPECT_EQ(smf.format, 1);
    EXPECT_EQ(smf.ntracks, 1);
    EXPECT_EQ(smf.division, 96);
    ASSERT_EQ(smf.tracks.size(), 1u);
    std::vector<std::pair<int, long>> seen;
    std::vector<int> bytes;
    for (const auto& e : smf.tracks[0].events) {
        seen.emplace_back(e->getId(), e->getTime());
        EventBytes out{};
        bytes.insert(bytes.end(), out.begin(), out.begin() + e->data(out));
    }
    const std::vector<std::pair<int, long>> expected{{5, 0}, {5, 16}, {1, 12}, {3, 2}, {7, 3},
                                                     {2, 4}, {6, 5},  {4, 128}, {8, 0}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(bytes, (std::vector<int>{0x91, 60, 100, 0x91, 62, 90, 0xA1, 60, 20, 0xB1, 64, 127, 0xC1, 5,
                                       0xD1, 70, 0xE1, 0x40, 0x81, 62, 9, 0x51, 60}));
}

// Every proper prefix of a sound file is a truncated one, and a lie about a length is caught where it lies.
TEST(MidiFile, TruncatedFilesAreRefusedAtEveryLength) {
    const Bytes file = header(1, 2, 480) + one_note(60) + track(b({0x00, 0xFF, 0x01, 0x01, 'x', 0x00, 0xF0, 0x01,
                                                                    0x7E, 0x00, 0x90, 62, 1}) + kEnd);
    SMF smf;
    ASSERT_TRUE(smf.parse(data_of(file), file.size())) << smf.error();
    for (size_t n = 0; n < file.size(); ++n) {
        EXPECT_FALSE(smf.parse(data_of(file), n)) << n << " bytes";
        EXPECT_FALSE(smf.error().empty());
        EXPECT_TRUE(smf.tracks.empty());
    }
    // Each length field of the file made one larger or smaller (offsets: header length, the two track lengths,
    // the text's, the system exclusive's).
    for (size_t at : {7u, 21u, 42u, 46u, 50u})
        for (int lie : {-1, 1}) {
            Bytes lying = file;
            lying[at] = static_cast<char>(lying[at] + lie);
            EXPECT_FALSE(smf.parse(data_of(lying), lying.size())) << "byte " << at << " off by " << lie;
        }
}

// The one-pass pairing of notes with their ends agrees with the walk that defines it, on random tracks of two
// channels' notes, velocity-0 ends and pedal moves.
TEST(MidiFile, DurationsAgreeWithTheirDefinition) {
    std::mt19937 random(7);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    for (int round = 0; round < 300; ++round) {
        SMF smf(1, 1 + pick(960));
        Track& t = smf.tracks.emplace_back();
        for (int i = 0, n = pick(80); i < n; ++i) {
            const uint8_t channel = static_cast<uint8_t>(pick(2)), pitch = static_cast<uint8_t>(60 + pick(3));
            const long delta = pick(4) == 0 ? 0 : pick(500);
            switch (pick(5)) {
            case 0: t.events.push_back(std::make_unique<NoteOff>(pitch, 0, channel, delta)); break;
            case 1:
                t.events.push_back(std::make_unique<CChange>(64, pick(2) ? 0 : 64 + pick(64), channel, delta));
                break;
            default: t.events.push_back(std::make_unique<NoteOn>(pitch, pick(3) ? 1 + pick(127) : 0, channel, delta));
            }
        }
        const std::vector<TrackNotes> notes = smf.notes();
        if (t.events.empty()) {
            EXPECT_TRUE(notes.empty());
            continue;
        }
        std::vector<double> walked;
        bool pedal[2] = {false, false};
        for (size_t i = 0; i < t.events.size(); ++i) {
            const Event& e = *t.events[i];
            if (e.getId() == CChange::id) {
                const auto& cc = static_cast<const CChange&>(e);
                pedal[cc.channel] = cc.value >= 64;
            } else if (e.getId() == NoteOn::id && static_cast<const NoteOn&>(e).velocity > 0) {
                walked.push_back(smf.getDuration(t, i, pedal[static_cast<const NoteOn&>(e).channel]));
            }
        }
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_EQ(notes[0].durations, walked) << "round " << round;
    }
}

class ReadMidiFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(c.greet());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string write(const std::string& name, const Bytes& bytes) {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::string read(const std::string& name, const Bytes& bytes) {
        return c.eval("(io:read-midi-file \"" + write(name, bytes) + "\")");
    }
    LogCapture log;
    Conn c{ProcessEnvironment::port};
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("ombrel-midi-test-" + std::to_string(::getpid()));
};

TEST_F(ReadMidiFile, NotesInBeatsPerTrack) {
    struct Row {
        const char* name;
        Bytes file;
        const char* reply;
    };
    const Row rows[] = {
        {"a beat in, half a beat long", format0(b({0x83, 0x60, 0x90, 60, 100, 0x81, 0x70, 0x80, 60, 0})),
         "(((1) (60) (100) (0.5)))"},
        {"velocity 0 ends a note and starts none",
         format0(b({0x00, 0x90, 60, 100, 0x83, 0x60, 0x90, 60, 0, 0, 0x90, 62, 0})),
         "(((0) (60) (100) (1)))"},
        {"the pedal holds a released note until it goes up",
         format0(b({0x00, 0xB0, 64, 127, 0x00, 0x90, 60, 100, 0x83, 0x60, 0x80, 60, 0, 0x83, 0x60, 0xB0, 64, 0,
                    0x00, 0x90, 62, 80, 0x83, 0x60, 0x80, 62, 0})),
         "(((0 2) (60 62) (100 80) (2 1)))"},
        {"a pedal value of 64 and up is down", format0(b({0x00, 0xB0, 64, 100, 0x00, 0x90, 60, 100, 0x83, 0x60, 0x80,
                                                          60, 0, 0x83, 0x60, 0xB0, 64, 63})),
         "(((0) (60) (100) (2)))"},
        {"a note whose end never comes lasts four beats", format0(b({0x00, 0x90, 60, 100})), "(((0) (60) (100) (4)))"},
        {"the last track comes first", header(1, 2, 480) + one_note(60) + one_note(64),
         "(((0) (64) (100) (1)) ((0) (60) (100) (1)))"},
        {"a tempo-only track has no notes, an empty track no element",
         header(1, 3, 480) + kTempoOnly + track(kEnd) + one_note(67), "(((0) (67) (100) (1)) (NIL NIL NIL NIL))"},
        {"running status, ends included",
         format0(b({0x00, 0x90, 60, 100, 0x00, 62, 90, 0x81, 0x70, 60, 0, 0x00, 62, 0})),
         "(((0 0) (60 62) (100 90) (0.5 0.5)))"},
        {"meta and system exclusive deltas are not lost",
         format0(b({0x00, 0x90, 60, 100, 0x81, 0x70, 0xFF, 0x05, 0x01, 'a', 0x81, 0x70, 0xF0, 0x01, 0xF7, 0x00, 0x80,
                    60, 0})),
         "(((0) (60) (100) (1)))"},
        {"ends and the pedal belong to their channel",
         format0(b({0x00, 0x90, 60, 100, 0x00, 0xB1, 64, 127, 0x81, 0x70, 0x81, 60, 0, 0x81, 0x70, 0x80, 60, 0})),
         "(((0) (60) (100) (1)))"},
        {"overlapping notes of a pitch end together",
         format0(b({0x00, 0x90, 60, 100, 0x81, 0x70, 0x90, 60, 90, 0x81, 0x70, 0x80, 60, 0, 0x00, 0x80, 60, 0})),
         "(((0 0.5) (60 60) (100 90) (1 0.5)))"},
        {"other channel events make no notes",
         format0(b({0x00, 0xC0, 5, 0x00, 0xD0, 40, 0x00, 0xE0, 0, 64, 0x00, 0xA0, 60, 9, 0x00, 0x90, 60, 100})),
         "(((0) (60) (100) (4)))"},
        {"a time-code division, at 120 beats a minute",
         header(0, 1, 0xE728) + track(b({0x83, 0x74, 0x90, 60, 100, 0x81, 0x7A, 0x80, 60, 0}) + kEnd),
         "(((1) (60) (100) (0.5)))"},
        {"no tracks", header(1, 0, 480), "NIL"},
    };
    for (const Row& row : rows) EXPECT_EQ(read("ok.mid", row.file), row.reply) << row.name;
    // The printer shows whole reals without a point: the columns' exactness tells reals from integers.
    const std::string path = write("exact.mid", rows[0].file);
    EXPECT_EQ(c.eval("(map (lambda (column) (map exact? column)) (car (io:read-midi-file \"" + path + "\")))"),
              "((#f) (#t) (#t) (#f))");
    EXPECT_FALSE(log.saw(log.errors, "Bad MIDI File", 0ms));
}

TEST_F(ReadMidiFile, DamagedAndLyingFilesAreRefused) {
    const Bytes note = b({0x00, 0x90, 60, 100});
    struct Row {
        const char* name;
        Bytes file;
        const char* reason;
    };
    const Row rows[] = {
        {"empty", "", "the header's tag at byte 0 runs past the end of the file"},
        {"a track without its tag", header(0, 1, 480) + "MTrx" + big_endian(4, 4) + kEnd,
         "track 1 does not begin with \"MTrk\" at byte 14"},
        {"not a MIDI file", "RIFF" + big_endian(1234, 4) + "RMIDdata",
         "track 1 does not begin with \"MTrk\" at byte 10"},
        {"a header too short", header(0, 1, 480, 4) + one_note(60), "a header of 4 bytes (six needed) at byte 4"},
        {"a header longer than the file", header(0, 1, 480, 100) + one_note(60), "the header at byte 8 runs past"},
        {"a track longer than the file", header(0, 1, 480) + track_claiming(100, note + kEnd),
         "a track at byte 22 runs past the end of the file (100 bytes needed, 8 left)"},
        {"a track shorter than its events", header(0, 1, 480) + track_claiming(3, note + kEnd),
         "a note-on's velocity at byte 25 runs past the end of its track"},
        {"a meta event longer than its track", format0(note + b({0x00, 0xFF, 0x01, 0x10, 'a'})),
         "a meta event at byte 30 runs past the end of its track"},
        {"a system exclusive longer than its track", format0(note + b({0x00, 0xF0, 0x7F, 0xF7})),
         "a system exclusive event at byte 29 runs past the end of its track"},
        {"more tracks announced than present", header(1, 3, 480) + one_note(60) + one_note(62),
         "the header announces 3 tracks, the file holds 2"},
        {"a five-byte delta", format0(b({0x81, 0x81, 0x81, 0x81, 0x01, 0x90, 60, 100})),
         "a delta time longer than four bytes at byte 22"},
        {"a tempo of two bytes", format0(b({0x00, 0xFF, 0x51, 0x02, 0x07, 0xA1})), "a tempo of 2 bytes (three needed)"},
        {"running status with nothing to run", format0(b({0x00, 60, 100})),
         "a data byte with no running status at byte 23"},
        {"running status after a meta event", format0(note + b({0x00, 0xFF, 0x01, 0x00, 0x00, 62, 100})),
         "a data byte with no running status at byte 31"},
        {"a status byte where data belongs", format0(b({0x00, 0x90, 60, 0x90})),
         "a note-on's velocity is a status byte"},
        {"a division of 0", header(0, 1, 0) + one_note(60), "a division of 0 ticks per quarter note at byte 12"},
        {"a time code of 23 frames", header(0, 1, 0xE901) + one_note(60),
         "a time-code division of 23 frames per second"},
    };
    for (const Row& row : rows) {
        SMF smf;
        EXPECT_FALSE(smf.parse(data_of(row.file), row.file.size())) << row.name;
        EXPECT_NE(smf.error().find(row.reason), std::string::npos) << row.name << ": " << smf.error();
        log.clear();
        EXPECT_EQ(read("bad.mid", row.file), "#f") << row.name;
        EXPECT_TRUE(log.saw(log.errors, "Bad MIDI File", 2s)) << row.name;
        EXPECT_TRUE(log.saw(log.outputs, row.reason, 2s)) << row.name;
    }
    // Read from a file, the reader says on the terminal what it found.
    const Bytes riff = "RIFF" + big_endian(1234, 4) + "RMIDdata";
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(SMF().parse(data_of(riff), riff.size(), true));
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "This is NOT a MIDI file !!!\nMagic Number Is: 1380533830\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Track started in wrong place!!!!  ABORTING\n");

    log.clear();
    EXPECT_EQ(c.eval("(io:read-midi-file \"" + (dir / "missing.mid").string() + "\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Bad MIDI File"));
    EXPECT_EQ(c.eval("(io:read-midi-file \"" + dir.string() + "\")"), "#f");
    EXPECT_TRUE(log.saw(log.outputs, "unable to open the file: not a regular file"));
    EXPECT_EQ(c.eval("(io:read-midi-file 5)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "io:read-midi-file needs the path of a MIDI file"));
    EXPECT_EQ(c.eval("(+ 1 2)"), "3") << "the process runs on";
}

}  // namespace
}  // namespace omb::test

static const bool midi_library_registered = (omb::add_native_library(omb::midi_file_scheme_init), true);
static auto* const process_environment = ::testing::AddGlobalTestEnvironment(new omb::test::ProcessEnvironment);
