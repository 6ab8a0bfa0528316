// The built-in instruments driven directly, as the graph drives them: made through the registry, prepared at
// 48 kHz with 256-frame buffers, events posted for a window and a frame, rendered into buffers of our own.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <thread>

#include "audio/unit_registry.h"
#include "audio/units/sampler.h"

// ---- allocation counting: every allocation the test thread makes while `counting` is set ----
namespace {
thread_local bool counting = false;
std::atomic<long> allocations{0};
void* counted(size_t size) {
    if (counting) allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* counted_aligned(size_t size, std::align_val_t align) {
    if (counting) allocations.fetch_add(1, std::memory_order_relaxed);
    const size_t a = static_cast<size_t>(align);
    if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(size_t size) { return counted(size); }
void* operator new[](size_t size) { return counted(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return counted(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return counted(size); }
void* operator new(size_t size, std::align_val_t align) { return counted_aligned(size, align); }
void* operator new[](size_t size, std::align_val_t align) { return counted_aligned(size, align); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }

// C libraries (FluidSynth, libsndfile) allocate with malloc: count that too where no sanitizer owns malloc.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* malloc(size_t size) {
    if (counting) allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    if (counting) allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    if (counting) allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
}
#endif

namespace omb {
namespace {

constexpr double kRate = 48000;
constexpr uint32_t kFrames = 256;
const FourCC kMusicDevice = fourcc("aumu");

std::unique_ptr<Unit> make(const char (&subtype)[5], int channels = 2) {
    const RegisteredUnit* found = UnitRegistry::builtin().find(kMusicDevice, fourcc(subtype), kOmbrel);
    EXPECT_NE(found, nullptr) << subtype;
    if (!found) return nullptr;
    std::string error;
    auto unit = found->make(found->description, channels, &error);
    EXPECT_NE(unit, nullptr) << error;
    if (unit) unit->prepare(kRate, kFrames);
    return unit;
}

UnitEvent at(int64_t frame, UnitEvent::Kind kind = UnitEvent::Kind::sysex) {
    UnitEvent e;
    e.kind = kind;
    e.window = frame / kFrames * kFrames;
    e.frame = static_cast<uint32_t>(frame % kFrames);
    return e;
}
UnitEvent note_start(int64_t frame, uint32_t instance, float pitch, float velocity = 100) {
    UnitEvent e = at(frame, UnitEvent::Kind::note_start);
    return e.note = {instance, pitch, velocity}, e;
}
UnitEvent note_stop(int64_t frame, uint32_t instance) {
    UnitEvent e = at(frame, UnitEvent::Kind::note_stop);
    return e.note = {instance, 0, 0}, e;
}
UnitEvent midi(int64_t frame, uint8_t status, uint8_t data1, uint8_t data2 = 0) {
    UnitEvent e = at(frame, UnitEvent::Kind::midi);
    return e.midi = {status, data1, data2}, e;
}
UnitEvent parameter(int64_t frame, uint32_t id, float value) {
    UnitEvent e = at(frame, UnitEvent::Kind::parameter);
    return e.parameter = {id, kScopeGlobal, 0, value}, e;
}
UnitEvent bypass(int64_t frame, bool on) {
    UnitEvent e = at(frame, UnitEvent::Kind::bypass);
    return e.bypass.on = on, e;
}

struct Audio {
    std::vector<float> left, right;
};

// Renders buffers from window `from` on until `frames` frames are out; allocations inside render() are counted.
Audio render(Unit& unit, int64_t frames, int64_t from = 0) {
    const int channels = unit.output_channels();
    std::vector<std::vector<float>> buffers(static_cast<size_t>(channels), std::vector<float>(kFrames));
    std::vector<float*> pointers;
    for (auto& b : buffers) pointers.push_back(b.data());
    BusBuffer out{pointers.data(), channels};
    Audio audio;
    audio.left.reserve(static_cast<size_t>(frames));
    audio.right.reserve(static_cast<size_t>(frames));
    for (int64_t window = from; window < from + frames; window += kFrames) {
        counting = true;
        unit.render(nullptr, out, kFrames, window);
        counting = false;
        audio.left.insert(audio.left.end(), buffers[0].begin(), buffers[0].end());
        const auto& right = buffers[channels > 1 ? 1 : 0];
        audio.right.insert(audio.right.end(), right.begin(), right.end());
    }
    return audio;
}

long first_sound(const std::vector<float>& x, float above = 0) {
    for (size_t i = 0; i < x.size(); ++i)
        if (std::fabs(x[i]) > above) return static_cast<long>(i);
    return -1;
}

long first_difference(const std::vector<float>& a, const std::vector<float>& b) {
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        if (a[i] != b[i]) return static_cast<long>(i);
    return -1;
}

double energy(const std::vector<float>& x, size_t from = 0, size_t to = SIZE_MAX) {
    double sum = 0;
    for (size_t i = from; i < std::min(to, x.size()); ++i) sum += double(x[i]) * x[i];
    return sum;
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
        FourCC subtype = 0, other = 0;
        ASSERT_TRUE(fourcc_from(own, subtype));
        const RegisteredUnit* found = registry.find(kMusicDevice, subtype, kOmbrel);
        ASSERT_NE(found, nullptr) << own;
        if (fourcc_from(alias, other)) {
            EXPECT_EQ(registry.find(kMusicDevice, other, kApple), found) << alias;
        }
        std::string error;
        auto unit = found->make(found->description, 2, &error);
        ASSERT_NE(unit, nullptr) << error;
        EXPECT_EQ(unit->description().subtype, subtype);
        EXPECT_EQ(unit->output_channels(), 2);
        std::vector<uint32_t> ids;
        for (const ParameterInfo& p : unit->parameters()) {
            EXPECT_TRUE(p.min <= p.initial && p.initial <= p.max && !p.name.empty()) << p.name;
            EXPECT_EQ(std::count(ids.begin(), ids.end(), p.id), 0) << p.name;
            ids.push_back(p.id);
        }
        EXPECT_FALSE(found->make(found->description, 0, &error)) << own;
    }
}

// ---- subtractive synth ----

TEST(InstrumentSubtractive, NotesSoundFromTheirFrameAndEachInstanceStopsAlone) {
    // A note instance and a MIDI note on both start at their frame exactly, in any window.
    auto unit = make("subs");
    ASSERT_TRUE(unit->post(note_start(100, unit->new_note_instance(), 60)));
    EXPECT_EQ(first_sound(render(*unit, 2048).left), 100);
    auto by_midi = make("subs");
    by_midi->post(midi(3 * kFrames + 17, 0x93, 64, 90));
    const Audio heard = render(*by_midi, 2048);
    EXPECT_EQ(first_sound(heard.left), 3 * kFrames + 17);
    EXPECT_EQ(heard.left, heard.right);

    // Two instances of one pitch: stopping the first leaves the second exactly as it sounds alone.
    auto both = make("subs"), first = make("subs"), second = make("subs");
    const uint32_t a = both->new_note_instance(), b = both->new_note_instance();
    for (Unit* u : {both.get(), first.get()}) u->post(note_start(0, a, 60));
    for (Unit* u : {both.get(), second.get()}) u->post(note_start(50, b, 60));
    for (Unit* u : {both.get(), first.get()}) u->post(note_stop(4000, a));
    const int64_t length = 48000;
    const Audio mixed = render(*both, length), alone_a = render(*first, length), alone_b = render(*second, length);
    for (size_t i = 0; i < mixed.left.size(); ++i)
        ASSERT_NEAR(mixed.left[i], alone_a.left[i] + alone_b.left[i], 1e-5) << "frame " << i;
    EXPECT_EQ(first_sound(std::vector<float>(alone_a.left.begin() + 30000, alone_a.left.end())), -1)
        << "the stopped instance ends";
    EXPECT_GT(energy(alone_b.left, 30000), 1.0) << "the other one holds";

    // With one voice, a second note steals the first; stopping the stolen instance leaves the new one alone.
    auto stealing = make("subs"), reference = make("subs");
    stealing->post(parameter(0, 19, 1));  // polyphony
    stealing->post(note_start(0, 1, 60));
    stealing->post(note_start(100, 2, 67));
    stealing->post(note_stop(200, 1));
    reference->post(note_start(100, 2, 67));
    const Audio stolen = render(*stealing, 8192), fresh = render(*reference, 8192);
    EXPECT_EQ(std::vector<float>(stolen.left.begin() + 100, stolen.left.end()),
              std::vector<float>(fresh.left.begin() + 100, fresh.left.end()));
}

TEST(InstrumentSubtractive, FractionalPitchesSoundBetweenTheKeys) {
    // Two sines in tune, the filter wide open: the period tells the pitch.
    auto tone = [](float pitch) {
        auto unit = make("subs");
        for (auto [id, value] : {std::pair{0u, 3.0f}, {1u, 3.0f}, {2u, 0.0f}, {4u, 20000.0f}, {6u, 0.0f}, {7u, 0.0f},
                                 {8u, 0.0f}})
            unit->post(parameter(0, id, value));
        unit->post(note_start(0, 1, pitch));
        const Audio a = render(*unit, 24000);
        return period(a.left, 4800, 9600, 150, 200);
    };
    const double at_60 = tone(60), at_60_5 = tone(60.5f), at_60_25 = tone(60.25f);
    EXPECT_NEAR(at_60, kRate / 261.6256, 0.05);
    EXPECT_NEAR(at_60_5, kRate / (261.6256 * std::exp2(0.5 / 12)), 0.05);
    EXPECT_NEAR(at_60_25, kRate / (261.6256 * std::exp2(0.25 / 12)), 0.05);
}

TEST(InstrumentSubtractive, ParameterChangesTakeEffectAtTheirFrame) {
    // Cutoff (per-voice filter), volume (amplitude) and waveform, each changed at a frame inside a buffer.
    for (auto [id, value] : {std::pair{4u, 300.0f}, {18u, -20.0f}, {0u, 1.0f}}) {
        auto changed = make("subs"), plain = make("subs");
        for (Unit* u : {changed.get(), plain.get()}) {
            u->post(note_start(0, 1, 57));
            u->post(note_start(10, 2, 64));
        }
        changed->post(parameter(2 * kFrames + 77, id, value));
        const Audio a = render(*changed, 4096), b = render(*plain, 4096);
        EXPECT_EQ(first_difference(a.left, b.left), 2 * kFrames + 77) << "parameter " << id;
    }
}

// ---- sampler ----

class TempDir {
public:
    TempDir() : path_(std::filesystem::temp_directory_path() / ("ombrel-instruments-" + std::to_string(getpid()))) {
        std::filesystem::create_directories(path_);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

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

std::vector<float> slice(const std::vector<float>& x, size_t from, size_t count) {
    return {x.begin() + static_cast<long>(from), x.begin() + static_cast<long>(std::min(from + count, x.size()))};
}

Sampler* sampler(const std::unique_ptr<Unit>& unit) { return dynamic_cast<Sampler*>(unit.get()); }

TEST(InstrumentSampler, TheRootKeyPlaysTheFileFrameForFrameFromTheNotesFrame) {
    TempDir dir;
    const std::vector<float> sound = wave(2000, 0.05f);
    write_wav(dir.file("tone.wav"), sound, 1);
    auto unit = make("smpl");
    ASSERT_NE(sampler(unit), nullptr);
    std::string error;
    ASSERT_TRUE(sampler(unit)->load(dir.file("tone.wav"), 60, 0, 127, &error)) << error;

    unit->post(note_start(100, 1, 60, 127));
    unit->post(midi(3000, 0x92, 60, 127));
    unit->post(note_start(6000, 2, 72, 127));     // an octave up: every second frame, still exact
    unit->post(note_start(9000, 3, 60.5f, 127));  // a quarter tone up: resampled, shorter
    const Audio a = render(*unit, 12288);
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
    auto mono = make("smpl", 1);
    ASSERT_TRUE(sampler(mono)->load(dir.file("tone.wav")));
    mono->post(note_start(5, 1, 60, 127));
    EXPECT_EQ(slice(render(*mono, 2048).left, 5, sound.size()), sound);
}

TEST(InstrumentSampler, NoteOffFadesOnlyItsInstanceAndOneShotsPlayOn) {
    TempDir dir;
    const std::vector<float> sound = wave(24000, 0.01f);
    write_wav(dir.file("long.wav"), sound, 1);
    auto load = [&](std::unique_ptr<Unit>& u) { ASSERT_TRUE(sampler(u)->load(dir.file("long.wav"))); };

    auto both = make("smpl"), only_b = make("smpl");
    load(both), load(only_b);
    both->post(note_start(0, 1, 60, 127));
    both->post(note_start(10, 2, 60, 127));
    only_b->post(note_start(10, 2, 60, 127));
    both->post(note_stop(1000, 1));  // the default release: 10 ms, 480 frames
    const Audio mixed = render(*both, 30000), alone = render(*only_b, 30000);
    EXPECT_NE(slice(mixed.left, 1000, 400), slice(alone.left, 1000, 400)) << "still fading";
    EXPECT_EQ(slice(mixed.left, 1500, 28000), slice(alone.left, 1500, 28000)) << "faded out; the other plays on";

    // Held notes end with the fade; one-shots ignore the note off and play the file to its end.
    auto held = make("smpl"), one_shot = make("smpl");
    load(held), load(one_shot);
    one_shot->post(parameter(0, Sampler::kOneShot, 1));
    for (Unit* u : {held.get(), one_shot.get()}) {
        u->post(note_start(0, 7, 60, 127));
        u->post(note_stop(2000, 7));
    }
    const Audio h = render(*held, 26000), o = render(*one_shot, 26000);
    EXPECT_EQ(first_sound(slice(h.left, 2500, 20000)), -1);
    EXPECT_EQ(slice(o.left, 0, sound.size()), sound);
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

    auto play = [](Unit& u) {
        u.post(note_start(0, 1, 48, 127));
        u.post(note_start(2000, 2, 72, 127));
        const Audio a = render(u, 4096);
        return std::pair{slice(a.left, 0, 1000), slice(a.left, 2000, 1000)};
    };
    EXPECT_EQ(play(*unit), std::pair(low, high));

    // A preset brings back the same zones; one naming a missing file changes nothing.
    auto restored = make("smpl");
    ASSERT_TRUE(restored->set_extra_state(unit->extra_state(), &error)) << error;
    EXPECT_EQ(sampler(restored)->zone_count(), 2u);
    EXPECT_EQ(play(*restored), std::pair(low, high));
    plist::Value broken = unit->extra_state();
    (*broken.find("zones")->as_array())[1].as_dict()->set("file", dir.file("gone.wav"));
    EXPECT_FALSE(restored->set_extra_state(broken, &error));
    EXPECT_EQ(error, "Cannot load sample " + dir.file("gone.wav") + ": no such file");
    EXPECT_EQ(restored->extra_state(), unit->extra_state());

    // Loading over the same key range replaces the zone.
    ASSERT_TRUE(s->load(dir.file("other.wav"), 72, 60, 127, &error));
    EXPECT_EQ(s->zone_count(), 2u);
    EXPECT_EQ(play(*unit).second, other);
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
    unit->post(note_start(0, 1, 40, 127));
    unit->post(note_start(0, 2, 80, 127));
    Audio first = render(*unit, 4096);
    // b's zone is replaced while its note plays: that note fades within 5 ms, a's goes on untouched.
    ASSERT_TRUE(s->load(dir.file("c.wav"), 80, 60, 127));
    Audio second = render(*unit, 8192, 4096);
    std::vector<float> expected(a.begin() + 4096, a.begin() + 4096 + 8192);
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

    auto drums = gm();
    drums->post(midi(0, 0x99, 36, 110));  // channel 10: bass drum
    EXPECT_GT(energy(render(*drums, 24000).left), 1.0);

    // The same note after a program change: another timbre, not merely another level.
    auto strings = gm();
    strings->post(midi(0, 0xC0, 40));  // violin
    strings->post(midi(100, 0x90, 60, 100));
    const Audio violin = render(*strings, 24000);
    auto brightness = [](const std::vector<float>& x) {
        double change = 0;
        for (size_t i = 1; i < x.size(); ++i) change += double(x[i] - x[i - 1]) * (x[i] - x[i - 1]);
        return change / energy(x);
    };
    const double p = brightness(piano.left), v = brightness(violin.left);
    EXPECT_GT(std::max(p, v) / std::min(p, v), 1.5) << "piano " << p << ", violin " << v;

    // A note instance plays channel 0's program, fractional pitches included.
    auto tuned = [](float pitch) {
        auto u = gm();
        u->post(midi(0, 0xC0, 73));  // flute
        u->post(note_start(0, u->new_note_instance(), pitch, 100));
        const Audio a = render(*u, 24000);
        return period(a.left, 6000, 9600, 150, 200);
    };
    // 60.5 and 61 start from the same key (and sample): a quarter tone apart.
    EXPECT_NEAR(tuned(60.5f) / tuned(61), std::exp2(0.5 / 12), 0.001);
    EXPECT_NEAR(tuned(61.2f) / tuned(61), std::exp2(-0.2 / 12), 0.001);
}

TEST(InstrumentGm, InstancesStopAloneAndSysexAndParametersReachTheSynth) {
    // Two instances of one key: stopping one leaves the other sounding.
    auto unit = gm();
    unit->post(midi(0, 0xC0, 19));  // church organ: holds while the key is down
    unit->post(note_start(0, 1, 60, 100));
    unit->post(note_start(0, 2, 60, 100));
    unit->post(note_stop(100, 1));
    auto one = gm();
    one->post(midi(0, 0xC0, 19));
    one->post(note_start(0, 1, 60, 100));
    one->post(note_stop(100, 1));
    const Audio a = render(*unit, 48000), b = render(*one, 48000);
    EXPECT_GT(energy(a.left, 24000), 100 * energy(b.left, 24000));

    // A GM System On within max_sysex(): accepted, and it resets the program to the piano.
    ASSERT_GE(unit->max_sysex(), 1024u);
    auto reset = gm(), piano = gm();
    reset->post(midi(0, 0xC0, 40));
    const uint8_t gm_on[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    EXPECT_TRUE(reset->post_sysex(at(10), gm_on));
    for (Unit* u : {reset.get(), piano.get()}) u->post(midi(100, 0x90, 60, 100));
    const Audio after_reset = render(*reset, 8192), from_piano = render(*piano, 8192);
    for (size_t i = 0; i < from_piano.left.size(); ++i)
        ASSERT_NEAR(after_reset.left[i], from_piano.left[i], 1e-6) << i;
    EXPECT_GT(energy(from_piano.left), 1.0);
    std::vector<uint8_t> huge(unit->max_sysex() + 100, 0x11);
    huge.front() = 0xF0, huge.back() = 0xF7;
    EXPECT_TRUE(reset->post_sysex(at(9000), huge));  // too long for the synth: ignored, nothing breaks
    render(*reset, 2048, 8192);

    // Volume in decibels, and Tuning in cents (+1200: an octave).
    auto level = [](float db, float cents) {
        auto u = gm();
        u->post(parameter(0, 1, db));
        u->post(parameter(0, 0, cents));
        u->post(parameter(0, 2, 0));  // no reverb: the level is the note's alone
        u->post(midi(0, 0xC0, 73));
        u->post(midi(0, 0x90, 60, 100));
        return render(*u, 24000).left;
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

    std::string error;
    plist::Dict missing;
    missing.set("soundfont", "/nonexistent/none.sf2");
    EXPECT_FALSE(unit->set_extra_state(plist::Value(missing), &error));
    EXPECT_EQ(error, "Cannot load SoundFont /nonexistent/none.sf2: no such file");
    TempDir dir;
    { std::ofstream(dir.file("fake.sf2")) << "RIFF but not really\n"; }
    plist::Dict fake;
    fake.set("soundfont", dir.file("fake.sf2"));
    EXPECT_FALSE(unit->set_extra_state(plist::Value(fake), &error));
    EXPECT_EQ(error, "Cannot load SoundFont " + dir.file("fake.sf2") + ": not a SoundFont file");
    EXPECT_EQ(unit->extra_state(), state);

    // Another name for a SoundFont while the unit plays: a new synth takes over and sounds.
    unit->post(midi(0, 0x90, 60, 100));
    render(*unit, 2048);
    const std::string copy = dir.file("copy.sf2");
    std::filesystem::copy_file(soundfont, copy);
    plist::Dict other;
    other.set("soundfont", copy);
    ASSERT_TRUE(unit->set_extra_state(plist::Value(other), &error)) << error;
    EXPECT_EQ(*unit->extra_state().find("soundfont")->as_string(), copy);
    unit->post(midi(4096, 0x90, 67, 100));
    EXPECT_GT(energy(render(*unit, 8192, 4096).left), 1.0);

    // Mono: the mean of left and right.
    auto stereo = gm(), mono = gm(1);
    for (Unit* u : {stereo.get(), mono.get()}) {
        u->post(midi(0, 0xC0, 0));
        u->post(midi(0, 0xB0, 10, 0));  // panned hard left
        u->post(midi(10, 0x90, 60, 100));
    }
    const Audio s = render(*stereo, 8192), m = render(*mono, 8192);
    for (size_t i = 0; i < s.left.size(); ++i) ASSERT_NEAR(m.left[i], 0.5f * (s.left[i] + s.right[i]), 1e-6) << i;
    EXPECT_GT(energy(s.left), 2 * energy(s.right));
}

// ---- all three ----

TEST(InstrumentUnits, BypassedInstrumentsAreSilentAndRenderingAllocatesNothing) {
    // The counter itself counts.
    allocations = 0;
    counting = true;
    delete new int(1);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    std::free(std::malloc(16));
#endif
    counting = false;
    EXPECT_GE(allocations.load(), 1);

    TempDir dir;
    write_wav(dir.file("tone.wav"), wave(30000, 0.03f), 2);
    auto subs = make("subs"), smpl = make("smpl"), dls = gm();
    ASSERT_TRUE(sampler(smpl)->load(dir.file("tone.wav")));

    for (Unit* u : {subs.get(), smpl.get(), dls.get()}) {
        const std::string name = fourcc_text(u->description().subtype);
        u->post(bypass(0, true));
        u->post(note_start(10, 1, 60, 100));
        u->post(midi(20, 0x90, 64, 100));
        const Audio quiet = render(*u, 4096);
        EXPECT_EQ(first_sound(quiet.left), -1) << name;
        u->post(bypass(4096, false));
        allocations = 0;
        EXPECT_GT(energy(render(*u, 4096, 4096).left), 0.01) << name;

        // Everything a performer sends, at frames inside buffers, while counting allocations.
        int64_t window = 8192;
        for (int buffer = 0; buffer < 200; ++buffer, window += kFrames) {
            const int64_t f = window + (buffer * 37) % kFrames;
            u->post(note_start(f, static_cast<uint32_t>(100 + buffer), 48.0f + static_cast<float>(buffer % 24) + 0.5f, 90));
            if (buffer > 4) u->post(note_stop(f + 3, static_cast<uint32_t>(96 + buffer)));
            u->post(midi(f, static_cast<uint8_t>(0x90 | (buffer % 16)), static_cast<uint8_t>(40 + buffer % 40), 80));
            u->post(midi(f + 1, static_cast<uint8_t>(0x80 | ((buffer + 15) % 16)), static_cast<uint8_t>(40 + (buffer + 39) % 40)));
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
        EXPECT_EQ(allocations.load(), 0) << name;
    }
}

}  // namespace
}  // namespace omb
