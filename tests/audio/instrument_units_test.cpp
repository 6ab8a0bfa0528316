// The built-in instruments driven directly, as the graph drives them: made through the registry, prepared at
// 48 kHz with 256-frame buffers, events posted for a window and a frame, rendered into buffers of our own.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "audio/units/sampler.h"
#include "audio_test_support.h"

namespace omb {
namespace {

using namespace test;
const FourCC kMusicDevice = fourcc("aumu");

std::unique_ptr<Unit> make(const char (&subtype)[5], int channels = 2) {
    return make_unit(kMusicDevice, fourcc(subtype), channels);
}

struct Audio {
    Signal left, right;  // a mono unit's channel in both
};

// From window `from` on, until `frames` frames are out.
Audio render(Unit& unit, int64_t frames, int64_t from = 0) {
    const Channels out = render_unit(unit, static_cast<size_t>(frames), from);
    return {out.front(), out.back()};
}

Audio play(Unit& unit, const std::vector<UnitEvent>& events, int64_t frames) {
    for (const UnitEvent& e : events) EXPECT_TRUE(unit.post(e));
    return render(unit, frames);
}

long first_sound(const std::vector<float>& x, float above = 0) {
    for (size_t i = 0; i < x.size(); ++i)
        if (std::fabs(x[i]) > above) return static_cast<long>(i);
    return -1;
}

double energy(const std::vector<float>& x, size_t from = 0) {
    double sum = 0;
    for (size_t i = from; i < x.size(); ++i) sum += double(x[i]) * x[i];
    return sum;
}

std::vector<float> slice(const std::vector<float>& x, size_t from, size_t count) {
    return {x.begin() + static_cast<long>(from), x.begin() + static_cast<long>(std::min(from + count, x.size()))};
}

// The period (in frames) between `shortest` and `longest` over which x[from, from + span) repeats best: the lag
// with the least squared difference, refined between lags by a parabola (the difference grows as the square of the
// lag's error, so the parabola is close to exact).
double period(const std::vector<float>& x, size_t from, size_t span, int shortest, int longest) {
    auto difference = [&](int lag) {
        double sum = 0;
        for (size_t i = from; i < from + span; ++i) {
            const double d = double(x[i]) - x[i + static_cast<size_t>(lag)];
            sum += d * d;
        }
        return sum;
    };
    int best = shortest;
    double least = 1e300;
    for (int lag = shortest; lag <= longest; ++lag)
        if (double d = difference(lag); d < least) best = lag, least = d;
    const double before = difference(best - 1), after = difference(best + 1);
    return best + 0.5 * (before - after) / (before - 2 * least + after);
}

TEST(InstrumentUnits, EveryInstrumentAnswersToItsCodesAndAliasesWithSaneParameters) {
    const UnitRegistry& registry = UnitRegistry::builtin();
    for (auto [own, alias] : {std::pair{"dls ", "dls "}, {"subs", ""}, {"smpl", "samp"}}) {
        SCOPED_TRACE(own);
        FourCC subtype = 0, other = 0;
        ASSERT_TRUE(fourcc_from(own, subtype));
        const RegisteredUnit* found = registry.find(kMusicDevice, subtype, kOmbrel);
        ASSERT_NE(found, nullptr);
        if (fourcc_from(alias, other)) {
            EXPECT_EQ(registry.find(kMusicDevice, other, kApple), found);
        }
        std::string error;
        auto unit = found->make(found->description, 2, &error);
        ASSERT_NE(unit, nullptr) << error;
        EXPECT_EQ(unit->description().subtype, subtype);
        EXPECT_EQ(unit->output_channels(), 2);
        expect_sane_parameters(*unit);
        EXPECT_FALSE(found->make(found->description, 0, &error));
    }
}

// ---- subtractive synth ----

TEST(InstrumentSubtractive, NotesSoundFromTheirFrameAndEachInstanceStopsAlone) {
    // A note instance and a MIDI note on both start at their frame exactly, in any window.
    EXPECT_EQ(first_sound(play(*make("subs"), {note_start(100, 1, 60)}, 2048).left), 100);
    const Audio by_midi = play(*make("subs"), {midi(3 * kFrames + 17, 0x93, 64, 90)}, 2048);
    EXPECT_EQ(first_sound(by_midi.left), 3 * kFrames + 17);
    EXPECT_EQ(by_midi.left, by_midi.right);

    // Two instances of one pitch: stopping the first leaves the second exactly as it sounds alone.
    const UnitEvent start_a = note_start(0, 1, 60), start_b = note_start(50, 2, 60), stop_a = note_stop(4000, 1);
    const Audio both = play(*make("subs"), {start_a, start_b, stop_a}, 48000);
    const Audio a = play(*make("subs"), {start_a, stop_a}, 48000), b = play(*make("subs"), {start_b}, 48000);
    for (size_t i = 0; i < both.left.size(); ++i) ASSERT_NEAR(both.left[i], a.left[i] + b.left[i], 1e-5) << i;
    EXPECT_EQ(first_sound(slice(a.left, 30000, a.left.size())), -1) << "the stopped instance ends";
    EXPECT_GT(energy(b.left, 30000), 1.0) << "the other one holds";

    // With one voice (parameter 19), a second note steals the first; stopping the stolen instance leaves the new
    // one alone.
    const Audio stolen = play(
        *make("subs"), {parameter(0, 19, 1), note_start(0, 1, 60), note_start(100, 2, 67), note_stop(200, 1)}, 8192);
    const Audio fresh = play(*make("subs"), {note_start(100, 2, 67)}, 8192);
    EXPECT_EQ(slice(stolen.left, 100, 8192), slice(fresh.left, 100, 8192));
}

TEST(InstrumentSubtractive, FractionalPitchesSoundBetweenTheKeysAndParametersChangeAtTheirFrame) {
    // Two sines in tune, the filter wide open: the period tells the pitch.
    for (float pitch : {60.0f, 60.25f, 60.5f}) {
        SCOPED_TRACE(pitch);
        std::vector<UnitEvent> events;
        for (auto [id, value] : {std::pair{0u, 3.0f}, {1u, 3.0f}, {2u, 0.0f}, {4u, 20000.0f}, {6u, 0.0f}, {7u, 0.0f},
                                 {8u, 0.0f}})
            events.push_back(parameter(0, id, value));
        events.push_back(note_start(0, 1, pitch));
        EXPECT_NEAR(period(play(*make("subs"), events, 24000).left, 4800, 9600, 150, 200),
                    kRate / (261.6256 * std::exp2((pitch - 60) / 12)), 0.05);
    }

    // Cutoff (per-voice filter), volume (amplitude) and waveform, each changed at a frame inside a buffer.
    const std::vector<UnitEvent> notes = {note_start(0, 1, 57), note_start(10, 2, 64)};
    const Audio plain = play(*make("subs"), notes, 4096);
    for (auto [id, value] : {std::pair{4u, 300.0f}, {18u, -20.0f}, {0u, 1.0f}}) {
        SCOPED_TRACE(id);
        std::vector<UnitEvent> changed = notes;
        changed.push_back(parameter(2 * kFrames + 77, id, value));
        const Audio a = play(*make("subs"), changed, 4096);
        EXPECT_EQ(std::mismatch(a.left.begin(), a.left.end(), plain.left.begin()).first - a.left.begin(),
                  2 * kFrames + 77);
    }
}

// ---- sampler ----

// A 32-bit float WAV, so every sample reads back exactly.
void write_wav(const std::string& path, const std::vector<float>& interleaved, int channels) {
    SF_INFO info{};
    info.samplerate = 44100;  // not the engine's rate: the root key still plays it frame for frame
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    sf_writef_float(f, interleaved.data(), static_cast<sf_count_t>(interleaved.size()) / channels);
    sf_close(f);
}

std::vector<float> wave(size_t frames, float shape) {
    std::vector<float> x(frames);
    for (size_t i = 0; i < frames; ++i) x[i] = 0.25f + 0.5f * std::sin(static_cast<float>(i) * shape);
    return x;
}

Sampler* sampler(const std::unique_ptr<Unit>& unit) {
    if (auto* s = dynamic_cast<Sampler*>(unit.get())) return s;
    throw std::logic_error("smpl is not a Sampler");
}

// A sampler playing `file` on every key, at its root key 60.
std::unique_ptr<Unit> sampler_of(const std::string& file, int channels = 2) {
    auto unit = make("smpl", channels);
    std::string error;
    EXPECT_TRUE(sampler(unit)->load(file, 60, 0, 127, &error)) << error;
    return unit;
}

TEST(InstrumentSampler, TheRootKeyPlaysTheFileFrameForFrameFromTheNotesFrame) {
    TempDir dir;
    const std::vector<float> sound = wave(2000, 0.05f);
    write_wav(dir.file("tone.wav"), sound, 1);
    const Audio a = play(*sampler_of(dir.file("tone.wav")),
                         {note_start(100, 1, 60, 127), midi(3000, 0x92, 60, 127),
                          note_start(6000, 2, 72, 127),     // an octave up: every second frame, still exact
                          note_start(9000, 3, 60.5f, 127)},  // a quarter tone up: resampled, shorter
                         12288);
    EXPECT_EQ(first_sound(a.left), 100);
    EXPECT_EQ(slice(a.left, 100, sound.size()), sound);
    EXPECT_EQ(slice(a.right, 100, sound.size()), sound);
    EXPECT_EQ(slice(a.left, 3000, sound.size()), sound);
    EXPECT_EQ(first_sound(slice(a.left, 2100, 900)), -1) << "silent after the file ends";
    for (size_t i = 0; i < 1000; ++i) ASSERT_EQ(a.left[6000 + i], sound[2 * i]) << i;
    EXPECT_EQ(a.left[7000], 0.0f);
    long last = 9000;
    for (long i = 9000; i < 12288; ++i)
        if (a.left[static_cast<size_t>(i)] != 0) last = i;
    EXPECT_NEAR(last - 9000 + 1, 2000 / std::exp2(0.5 / 12), 1.5);

    // A mono node hears the mean of left and right: the file itself for a mono file.
    const Audio mono = play(*sampler_of(dir.file("tone.wav"), 1), {note_start(5, 1, 60, 127)}, 2048);
    EXPECT_EQ(slice(mono.left, 5, sound.size()), sound);
}

TEST(InstrumentSampler, NoteOffFadesOnlyItsInstanceAndOneShotsPlayOn) {
    TempDir dir;
    const std::vector<float> sound = wave(24000, 0.01f);
    const std::string file = dir.file("long.wav");
    write_wav(file, sound, 1);
    // The default release: 10 ms, 480 frames.
    const Audio mixed =
        play(*sampler_of(file), {note_start(0, 1, 60, 127), note_start(10, 2, 60, 127), note_stop(1000, 1)}, 30000);
    const Audio alone = play(*sampler_of(file), {note_start(10, 2, 60, 127)}, 30000);
    EXPECT_NE(slice(mixed.left, 1000, 400), slice(alone.left, 1000, 400)) << "still fading";
    EXPECT_EQ(slice(mixed.left, 1500, 28000), slice(alone.left, 1500, 28000)) << "faded out; the other plays on";

    // Held notes end with the fade; one-shots ignore the note off and play the file to its end.
    const std::vector<UnitEvent> tap = {note_start(0, 7, 60, 127), note_stop(2000, 7)};
    EXPECT_EQ(first_sound(slice(play(*sampler_of(file), tap, 26000).left, 2500, 20000)), -1);
    auto one_shot = sampler_of(file);
    one_shot->post(parameter(0, Sampler::kOneShot, 1));
    EXPECT_EQ(slice(play(*one_shot, tap, 26000).left, 0, sound.size()), sound);
}

TEST(InstrumentSampler, ZonesLoadFailAndComeBackFromPresets) {
    TempDir dir;
    const std::vector<float> low = wave(1000, 0.02f), high = wave(1000, 0.09f), other = wave(1000, 0.3f);
    write_wav(dir.file("low.wav"), low, 1);
    write_wav(dir.file("high.wav"), high, 1);
    write_wav(dir.file("other.wav"), other, 1);
    { std::ofstream(dir.file("text.wav")) << "not a sound file\n"; }

    auto unit = make("smpl");
    Sampler* s = sampler(unit);
    std::string error;
    ASSERT_TRUE(s->load(dir.file("low.wav"), 48, 0, 59, &error)) << error;
    ASSERT_TRUE(s->load(dir.file("high.wav"), 72, 60, 127, &error)) << error;

    EXPECT_FALSE(s->load(dir.file("missing.wav"), 60, 0, 127, &error));
    EXPECT_EQ(error, "Cannot load sample " + dir.file("missing.wav") + ": no such file");
    EXPECT_FALSE(s->load(dir.file("text.wav"), 60, 0, 127, &error));
    EXPECT_EQ(error.rfind("Cannot load sample " + dir.file("text.wav") + ": ", 0), 0u) << error;
    EXPECT_FALSE(s->load(dir.file("low.wav"), 60, 70, 50, &error));
    EXPECT_EQ(error, "Cannot load sample " + dir.file("low.wav") +
                         ": keys must be 0 to 127, the lowest not above the highest");
    EXPECT_EQ(s->zone_count(), 2u);

    auto zones = [](Unit& u) {
        const Audio a = play(u, {note_start(0, 1, 48, 127), note_start(2000, 2, 72, 127)}, 4096);
        return std::pair{slice(a.left, 0, 1000), slice(a.left, 2000, 1000)};
    };
    EXPECT_EQ(zones(*unit), std::pair(low, high));

    // A preset brings back the same zones; one naming a missing file changes nothing.
    auto restored = make("smpl");
    ASSERT_TRUE(restored->set_extra_state(unit->extra_state(), &error)) << error;
    EXPECT_EQ(sampler(restored)->zone_count(), 2u);
    EXPECT_EQ(zones(*restored), std::pair(low, high));
    plist::Value broken = unit->extra_state();
    (*broken.find("zones")->as_array())[1].as_dict()->set("file", dir.file("gone.wav"));
    EXPECT_FALSE(restored->set_extra_state(broken, &error));
    EXPECT_EQ(error, "Cannot load sample " + dir.file("gone.wav") + ": no such file");
    EXPECT_EQ(restored->extra_state(), unit->extra_state());

    // Loading over the same key range replaces the zone.
    ASSERT_TRUE(s->load(dir.file("other.wav"), 72, 60, 127, &error));
    EXPECT_EQ(s->zone_count(), 2u);
    EXPECT_EQ(zones(*unit).second, other);
}

TEST(InstrumentSampler, ZonesChangeWhilePlayingWithoutDisturbingOtherNotes) {
    TempDir dir;
    const std::vector<float> a = wave(40000, 0.01f), b = wave(40000, 0.03f), c = wave(40000, 0.07f);
    write_wav(dir.file("a.wav"), a, 1);
    write_wav(dir.file("b.wav"), b, 1);
    write_wav(dir.file("c.wav"), c, 1);
    auto unit = make("smpl");
    Sampler* s = sampler(unit);
    ASSERT_TRUE(s->load(dir.file("a.wav"), 40, 0, 59));
    ASSERT_TRUE(s->load(dir.file("b.wav"), 80, 60, 127));
    play(*unit, {note_start(0, 1, 40, 127), note_start(0, 2, 80, 127)}, 4096);
    // b's zone is replaced while its note plays: that note fades within 5 ms, a's goes on untouched.
    ASSERT_TRUE(s->load(dir.file("c.wav"), 80, 60, 127));
    const Audio second = render(*unit, 8192, 4096);
    std::vector<float> expected = slice(a, 4096, 8192);
    for (size_t i = 0; i < 240; ++i) expected[i] += b[4096 + i] * (1.0f - static_cast<float>(i + 1) / 240.0f);
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_NEAR(second.left[i], expected[i], 1e-4) << i;

    // A loader thread swapping zones all the while notes start: nothing read after it was freed.
    std::atomic<int> loads{0};
    std::thread loader([&] {
        for (int i = 0; i < 300; ++i, ++loads) {
            ASSERT_TRUE(s->load(dir.file(i % 2 ? "b.wav" : "c.wav"), 80, 60, 127));
            if (i % 7 == 0) s->clear();
        }
    });
    int64_t window = 12288;
    for (int buffer = 0; buffer < 400 || loads < 300; ++buffer, window += kFrames) {
        unit->post(note_start(window + buffer % kFrames, static_cast<uint32_t>(10 + buffer), 80, 100));
        if (buffer % 3 == 0) unit->post(note_stop(window + 5, static_cast<uint32_t>(9 + buffer)));
        const Audio out = render(*unit, kFrames, window);
        for (float x : out.left) ASSERT_TRUE(std::isfinite(x) && std::fabs(x) < 200);
    }
    loader.join();
}

// ---- General MIDI synth ----

std::unique_ptr<Unit> gm(int channels = 2) { return make("dls ", channels); }

constexpr float kAudible = 1e-5f;

TEST(InstrumentGm, NotesAndDrumsSoundOnTheirChannelsAndProgramsChangeTheTimbre) {
    auto unit = gm();
    EXPECT_EQ(first_sound(render(*unit, 4096).left, kAudible), -1) << "silent before any note";
    unit->post(midi(4096 + 100, 0x90, 60, 100));
    const Audio piano = render(*unit, 24000, 4096);
    // FluidSynth starts notes on its 64-frame blocks: never early, at most a block late.
    const long onset = first_sound(piano.left, kAudible);
    EXPECT_GE(onset, 100);
    EXPECT_LT(onset, 100 + 64);
    EXPECT_GT(energy(play(*gm(), {midi(0, 0x99, 36, 110)}, 24000).left), 1.0) << "channel 10: the bass drum";

    // The same note after a program change (to the violin): another timbre, not merely another level.
    const Audio violin = play(*gm(), {midi(0, 0xC0, 40), midi(100, 0x90, 60, 100)}, 24000);
    auto brightness = [](const std::vector<float>& x) {
        double change = 0;
        for (size_t i = 1; i < x.size(); ++i) change += double(x[i] - x[i - 1]) * (x[i] - x[i - 1]);
        return change / energy(x);
    };
    const double p = brightness(piano.left), v = brightness(violin.left);
    EXPECT_GT(std::max(p, v) / std::min(p, v), 1.5) << "piano " << p << ", violin " << v;

    // A note instance plays channel 0's program (the flute), fractional pitches included.
    auto tuned = [](float pitch) {
        const Audio a = play(*gm(), {midi(0, 0xC0, 73), note_start(0, 1, pitch, 100)}, 24000);
        return period(a.left, 6000, 9600, 150, 200);
    };
    // 60.5 and 61 start from the same key (and sample): a quarter tone apart.
    EXPECT_NEAR(tuned(60.5f) / tuned(61), std::exp2(0.5 / 12), 0.001);
    EXPECT_NEAR(tuned(61.2f) / tuned(61), std::exp2(-0.2 / 12), 0.001);
}

TEST(InstrumentGm, InstancesStopAloneAndSysexAndParametersReachTheSynth) {
    // Two instances of one key on the church organ (it holds while the key is down): stopping one leaves the other.
    const UnitEvent organ = midi(0, 0xC0, 19), start = note_start(0, 1, 60, 100), stop = note_stop(100, 1);
    const Audio a = play(*gm(), {organ, start, note_start(0, 2, 60, 100), stop}, 48000);
    const Audio b = play(*gm(), {organ, start, stop}, 48000);
    EXPECT_GT(energy(a.left, 24000), 100 * energy(b.left, 24000));

    // A GM System On within max_sysex(): accepted, and it resets the program to the piano.
    auto reset = gm();
    ASSERT_GE(reset->max_sysex(), 1024u);
    reset->post(midi(0, 0xC0, 40));
    const uint8_t gm_on[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    EXPECT_TRUE(reset->post_sysex(at(10), gm_on));
    const Audio after_reset = play(*reset, {midi(100, 0x90, 60, 100)}, 8192);
    const Audio from_piano = play(*gm(), {midi(100, 0x90, 60, 100)}, 8192);
    for (size_t i = 0; i < from_piano.left.size(); ++i)
        ASSERT_NEAR(after_reset.left[i], from_piano.left[i], 1e-6) << i;
    EXPECT_GT(energy(from_piano.left), 1.0);
    std::vector<uint8_t> huge(reset->max_sysex() + 100, 0x11);
    huge.front() = 0xF0, huge.back() = 0xF7;
    EXPECT_TRUE(reset->post_sysex(at(9000), huge));  // too long for the synth: ignored, nothing breaks
    render(*reset, 2048, 8192);

    // Volume (1) in decibels, and Tuning (0) in cents (+1200: an octave); no reverb (2): the level is the note's.
    auto level = [](float db, float cents) {
        return play(*gm(),
                    {parameter(0, 1, db), parameter(0, 0, cents), parameter(0, 2, 0), midi(0, 0xC0, 73),
                     midi(0, 0x90, 60, 100)},
                    24000)
            .left;
    };
    const auto loud = level(0, 0), soft = level(-6, 0), high = level(0, 1200);
    EXPECT_NEAR(std::sqrt(energy(soft) / energy(loud)), std::pow(10.0, -6.0 / 20), 0.01);
    EXPECT_NEAR(period(loud, 6000, 9600, 150, 200) / period(high, 6000, 9600, 75, 100), 2.0, 0.01);
}

TEST(InstrumentGm, PresetsNameTheSoundFontAndMonoNodesHearTheMix) {
    auto unit = gm();
    const plist::Value state = unit->extra_state();
    ASSERT_NE(state.find("soundfont"), nullptr);
    const std::string soundfont = *state.find("soundfont")->as_string();
    EXPECT_TRUE(std::filesystem::exists(soundfont)) << soundfont;

    TempDir dir;
    { std::ofstream(dir.file("fake.sf2")) << "RIFF but not really\n"; }
    auto naming = [](const std::string& file) {
        plist::Dict d;
        d.set("soundfont", file);
        return plist::Value(d);
    };
    std::string error;
    EXPECT_FALSE(unit->set_extra_state(naming("/nonexistent/none.sf2"), &error));
    EXPECT_EQ(error, "Cannot load SoundFont /nonexistent/none.sf2: no such file");
    EXPECT_FALSE(unit->set_extra_state(naming(dir.file("fake.sf2")), &error));
    EXPECT_EQ(error, "Cannot load SoundFont " + dir.file("fake.sf2") + ": not a SoundFont file");
    EXPECT_EQ(unit->extra_state(), state);

    // Another name for a SoundFont while the unit plays: a new synth takes over and sounds.
    play(*unit, {midi(0, 0x90, 60, 100)}, 2048);
    const std::string copy = dir.file("copy.sf2");
    std::filesystem::copy_file(soundfont, copy);
    ASSERT_TRUE(unit->set_extra_state(naming(copy), &error)) << error;
    EXPECT_EQ(*unit->extra_state().find("soundfont")->as_string(), copy);
    unit->post(midi(4096, 0x90, 67, 100));
    EXPECT_GT(energy(render(*unit, 8192, 4096).left), 1.0);

    // Mono: the mean of left and right (of a note panned hard left).
    const std::vector<UnitEvent> left = {midi(0, 0xC0, 0), midi(0, 0xB0, 10, 0), midi(10, 0x90, 60, 100)};
    const Audio s = play(*gm(), left, 8192), m = play(*gm(1), left, 8192);
    for (size_t i = 0; i < s.left.size(); ++i) ASSERT_NEAR(m.left[i], 0.5f * (s.left[i] + s.right[i]), 1e-6) << i;
    EXPECT_GT(energy(s.left), 2 * energy(s.right));
}

// ---- all three ----

// Every render is checked to allocate nothing: here the three meet everything a performer sends.
TEST(InstrumentUnits, BypassedInstrumentsAreSilentAndRenderingAllocatesNothing) {
    // The counter itself counts (volatile: the compiler may not drop an allocation it sees freed).
    EXPECT_EQ(alloc_count::during([] { int* volatile p = new int(1); delete p; }), 1);
#ifdef OMBREL_COUNT_MALLOC
    EXPECT_EQ(alloc_count::during([] { void* volatile p = std::malloc(16); std::free(p); }), 1);
#endif

    TempDir dir;
    write_wav(dir.file("tone.wav"), wave(30000, 0.03f), 2);
    auto subs = make("subs"), smpl = sampler_of(dir.file("tone.wav")), dls = gm();
    for (Unit* u : {subs.get(), smpl.get(), dls.get()}) {
        const std::string name = fourcc_text(u->description().subtype);
        const Audio quiet = play(*u, {bypass(0, true), note_start(10, 1, 60, 100), midi(20, 0x90, 64, 100)}, 4096);
        EXPECT_EQ(first_sound(quiet.left), -1) << name;
        u->post(bypass(4096, false));
        EXPECT_GT(energy(render(*u, 4096, 4096).left), 0.01) << name;

        // Everything a performer sends, at frames inside buffers.
        int64_t window = 8192;
        for (int buffer = 0; buffer < 200; ++buffer, window += kFrames) {
            const int64_t f = window + (buffer * 37) % kFrames;
            const auto key = [&](int shift) { return static_cast<uint8_t>(40 + (buffer + shift) % 40); };
            u->post(note_start(f, static_cast<uint32_t>(100 + buffer), 48.5f + static_cast<float>(buffer % 24), 90));
            if (buffer > 4) u->post(note_stop(f + 3, static_cast<uint32_t>(96 + buffer)));
            u->post(midi(f, static_cast<uint8_t>(0x90 | (buffer % 16)), key(0), 80));
            u->post(midi(f + 1, static_cast<uint8_t>(0x80 | ((buffer + 15) % 16)), key(39)));
            u->post(midi(f, 0xE0, 0, static_cast<uint8_t>(buffer % 128)));
            u->post(midi(f, 0xB0, 7, static_cast<uint8_t>(buffer % 128)));
            if (buffer % 10 == 0) u->post(midi(f, 0xC0, static_cast<uint8_t>(buffer % 128)));
            if (buffer % 25 == 0) {
                const uint8_t gm_on[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
                const uint8_t tuning[] = {0xF0, 0x7F, 0x7F, 0x08, 0x02, 0x00, 0x01, 60, 61, 0, 0, 0xF7};
                u->post_sysex(at(f), gm_on);
                u->post_sysex(at(f), tuning);  // MIDI Tuning Standard: passed over, FluidSynth would allocate
            }
            for (const ParameterInfo& p : u->parameters()) {
                if (buffer % 20 == 5) u->post(parameter(f, p.id, p.min + (p.max - p.min) * 0.3f));
                if (buffer % 20 == 15) u->post(parameter(f, p.id, p.initial));
            }
            if (u == smpl.get() && buffer % 50 == 0) {
                ASSERT_TRUE(sampler(smpl)->load(dir.file("tone.wav"), 60, 0, 127));
            }
            render(*u, kFrames, window);
        }
    }
}

}  // namespace
}  // namespace omb
