// The built-in effects and the mixer, driven directly: made from the registry, prepared at 48 kHz, rendered in
// 256-frame windows from buffers the test owns, with parameter events posted for exact frames.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "audio/unit_registry.h"

// Counts the allocations made while `counting` is set: render() must make none. The replacements pair malloc with
// free, which GCC takes for new paired with free once it inlines them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
static std::atomic<bool> counting{false};
static std::atomic<long> allocations{0};

void* operator new(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace omb {
namespace {

constexpr double kRate = 48000;
constexpr double kPi = 3.14159265358979323846;
constexpr uint32_t kWindow = 256;
constexpr uint32_t kRamp = 96;  // the documented 2 ms parameter ramp at 48 kHz

using Signal = std::vector<float>;
using Channels = std::vector<Signal>;  // one signal per channel

Signal sine(double hertz, float amplitude, size_t frames) {
    Signal s(frames);
    for (size_t i = 0; i < frames; ++i)
        s[i] = amplitude * static_cast<float>(std::sin(2 * kPi * hertz * static_cast<double>(i) / kRate));
    return s;
}

Signal noise(size_t frames, unsigned seed, float amplitude = 0.5f) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-amplitude, amplitude);
    Signal s(frames);
    for (float& v : s) v = uniform(random);
    return s;
}

double rms(const Signal& s, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += double(s[i]) * s[i];
    return std::sqrt(sum / double(to - from));
}

double db(double ratio) { return 20 * std::log10(ratio); }

// The amplitude of one frequency in s[from, to) (a whole number of its periods gives an exact reading).
double amplitude_at(const Signal& s, double hertz, size_t from, size_t to) {
    double re = 0, im = 0;
    for (size_t i = from; i < to; ++i) {
        const double phase = 2 * kPi * hertz * double(i) / kRate;
        re += s[i] * std::cos(phase);
        im += s[i] * std::sin(phase);
    }
    return 2 * std::hypot(re, im) / double(to - from);
}

// One unit with the buffers it renders from and into.
struct Rig {
    std::unique_ptr<Unit> unit;
    int64_t window = 0;

    Rig(const char* type, const char* subtype, int channels) {
        std::string error;
        const RegisteredUnit* r = UnitRegistry::builtin().find(fourcc_of(type), fourcc_of(subtype), kOmbrel);
        if (!r) throw std::runtime_error(std::string("no unit ") + subtype);
        unit = r->make(r->description, channels, &error);
        if (!unit) throw std::runtime_error(error);
        unit->prepare(kRate, kWindow);
    }
    static FourCC fourcc_of(const char* text) {
        FourCC code = 0;
        fourcc_from(text, code);
        return code;
    }

    // At absolute frame `frame` (counted from the first render).
    void set(uint32_t id, float value, int64_t frame = 0, int scope = kScopeGlobal, int element = 0) {
        UnitEvent e;
        e.kind = UnitEvent::Kind::parameter;
        e.window = frame / kWindow * kWindow;
        e.frame = static_cast<uint32_t>(frame % kWindow);
        e.parameter = {id, scope, element, value};
        ASSERT_TRUE(unit->post(e));
    }
    void bypass(bool on) {
        UnitEvent e;
        e.kind = UnitEvent::Kind::bypass;
        e.window = window;
        e.bypass.on = on;
        ASSERT_TRUE(unit->post(e));
    }

    // Renders the signals of each input bus (their length, in whole windows) and returns the output.
    Channels render_buses(const std::vector<Channels>& buses) {
        const size_t frames = buses.at(0).at(0).size();
        EXPECT_EQ(frames % kWindow, 0u);
        Channels out(static_cast<size_t>(unit->output_channels()), Signal(frames));
        std::vector<std::vector<float*>> in_pointers(buses.size());
        std::vector<BusBuffer> inputs(buses.size());
        std::vector<float*> out_pointers(out.size());
        for (size_t at = 0; at < frames; at += kWindow) {
            for (size_t b = 0; b < buses.size(); ++b) {
                in_pointers[b].clear();
                for (const Signal& s : buses[b]) in_pointers[b].push_back(const_cast<float*>(s.data() + at));
                inputs[b] = BusBuffer{in_pointers[b].data(), static_cast<int>(buses[b].size())};
            }
            for (size_t c = 0; c < out.size(); ++c) out_pointers[c] = out[c].data() + at;
            BusBuffer output{out_pointers.data(), static_cast<int>(out.size())};
            counting = true;
            unit->render(inputs.data(), output, kWindow, window);
            counting = false;
            window += kWindow;
        }
        return out;
    }
    Channels render(const Channels& input) { return render_buses({input}); }
    Channels render(const Signal& every_channel) {
        return render(Channels(static_cast<size_t>(unit->input_channels(0)), every_channel));
    }
};

struct Subtype {
    const char* type;
    const char* subtype;
};
const Subtype kEveryUnit[] = {{"aufx", "dely"}, {"aufx", "mrev"}, {"aufx", "lpas"}, {"aufx", "hpas"},
                              {"aufx", "bpas"}, {"aufx", "dcmp"}, {"aufx", "dist"}, {"aufx", "gain"},
                              {"aumx", "smxr"}};

std::vector<Channels> noise_buses(const Unit& unit, size_t frames) {
    std::vector<Channels> buses;
    for (int b = 0; b < unit.input_buses(); ++b) {
        Channels bus;
        for (int c = 0; c < unit.input_channels(b); ++c) bus.push_back(noise(frames, unsigned(b * 8 + c + 1)));
        buses.push_back(bus);
    }
    return buses;
}

TEST(EffectUnits, RegistryFindsEachUnitUnderItsOwnAndThePlatformCodes) {
    const UnitRegistry& registry = UnitRegistry::builtin();
    for (const Subtype& s : kEveryUnit) {
        SCOPED_TRACE(s.subtype);
        const FourCC type = Rig::fourcc_of(s.type), subtype = Rig::fourcc_of(s.subtype);
        const RegisteredUnit* own = registry.find(type, subtype, kOmbrel);
        ASSERT_NE(own, nullptr);
        const RegisteredUnit* platform = registry.find(type, subtype, kApple);
        if (std::string(s.subtype) == "gain") EXPECT_EQ(platform, nullptr);
        else EXPECT_EQ(platform, own);

        // Made through the alias, the unit still names itself with its own codes.
        std::string error;
        auto unit = own->make({type, subtype, kApple, ""}, 2, &error);
        ASSERT_NE(unit, nullptr) << error;
        EXPECT_EQ(unit->description().manufacturer, kOmbrel);
        EXPECT_EQ(unit->description().subtype, subtype);
        EXPECT_EQ(unit->description().name, own->description.name);
        for (const ParameterInfo& p : unit->parameters()) {
            EXPECT_LE(p.min, p.initial) << p.name;
            EXPECT_LE(p.initial, p.max) << p.name;
            EXPECT_EQ(unit->parameter(p.id, p.scope), &p) << p.name << ": ids are unique per scope";
        }
        EXPECT_EQ(own->make(own->description, 3, &error), nullptr);
        EXPECT_EQ(error, s.subtype + std::string(" takes 1 or 2 channels, not 3"));
    }
}

TEST(EffectDelay, EchoesArriveAfterTheDelayTimeAtTheFeedbackLevel) {
    Rig delay("aufx", "dely", 1);
    delay.set(0, 100);   // wet only
    delay.set(1, 0.1f);  // 4800 frames
    delay.set(2, 50);
    delay.set(3, 20000);
    Signal in(kWindow * 100, 0.0f);
    in[1000] = 1;
    const Signal impulse = delay.render(Channels{in})[0];
    for (size_t i = 0; i < 5800; ++i) ASSERT_EQ(impulse[i], 0.0f) << i;
    EXPECT_FLOAT_EQ(impulse[5800], 1.0f);  // the first echo does not pass the loop's low-pass
    for (size_t i = 5801; i < 10600; ++i) ASSERT_EQ(impulse[i], 0.0f) << i;
    EXPECT_GT(impulse[10600], 0.3f);

    // The echoes of a low tone, which the loop's low-pass leaves alone, fall by the feedback each time round.
    Rig inverted("aufx", "dely", 1);
    inverted.set(0, 100);
    inverted.set(1, 0.1f);
    inverted.set(2, -50);
    Signal burst(kWindow * 100, 0.0f);
    const Signal tone = sine(200, 0.5f, 1200);
    std::copy(tone.begin(), tone.end(), burst.begin());
    const Signal echoes = inverted.render(Channels{burst})[0];
    const double first = amplitude_at(echoes, 200, 4800, 6000), second = amplitude_at(echoes, 200, 9600, 10800),
                 third = amplitude_at(echoes, 200, 14400, 15600);
    EXPECT_NEAR(first, 0.5, 0.005);
    EXPECT_NEAR(second / first, 0.5, 0.01);
    EXPECT_NEAR(third / second, 0.5, 0.01);
    EXPECT_LT(echoes[9600 + 60] * echoes[4800 + 60], 0.0f) << "negative feedback inverts each echo";

    // At mix 0 the output is the input (once the mix has ramped down from its default).
    Rig dry("aufx", "dely", 2);
    dry.set(0, 0);
    const Signal n = noise(kWindow * 8, 7);
    const Signal out = dry.render(n)[1];
    EXPECT_TRUE(std::equal(out.begin() + kRamp, out.end(), n.begin() + kRamp));
}

// The gain of a sine through a unit, in dB, once the unit has settled.
double gain_db(Rig& rig, double hertz) {
    const Signal in = sine(hertz, 0.25f, kWindow * 90);
    const Signal out = rig.render(Channels{in})[0];
    return db(rms(out, in.size() / 2, in.size()) / rms(in, in.size() / 2, in.size()));
}

TEST(EffectFilters, AttenuateAsSecondOrderFiltersAroundTheirCutoff) {
    auto filter = [](const char* subtype, float frequency, float shape) {
        auto rig = std::make_unique<Rig>("aufx", subtype, 1);
        rig->set(0, frequency);
        rig->set(1, shape);
        return rig;
    };
    const float butterworth = static_cast<float>(db(std::sqrt(0.5)));  // a Q of 0.707, in dB
    // 12 dB per octave away from the cutoff (a little more near Nyquist, where the bilinear transform squeezes).
    auto low = filter("lpas", 1000, butterworth);
    EXPECT_NEAR(gain_db(*low, 100), 0, 0.05);
    EXPECT_NEAR(gain_db(*low, 1000), -3.01, 0.1);
    EXPECT_NEAR(gain_db(*low, 4000), -24.1, 0.6);
    EXPECT_LT(gain_db(*low, 16000), -48);
    auto high = filter("hpas", 1000, butterworth);
    EXPECT_NEAR(gain_db(*high, 10000), 0, 0.1);
    EXPECT_NEAR(gain_db(*high, 1000), -3.01, 0.1);
    EXPECT_NEAR(gain_db(*high, 250), -24.1, 0.6);
    EXPECT_LT(gain_db(*high, 62.5), -47);
    // The resonance is the gain at the cutoff.
    auto resonant = filter("lpas", 2000, 12);
    EXPECT_NEAR(gain_db(*resonant, 2000), 12, 0.1);
    // Band-pass: unity at the centre, -3 dB at the band's edges (one octave apart), falling outside.
    auto band = filter("bpas", 1000, 1200);
    EXPECT_NEAR(gain_db(*band, 1000), 0, 0.05);
    EXPECT_NEAR(gain_db(*band, 1000 * std::sqrt(0.5)), -3.01, 0.2);
    EXPECT_NEAR(gain_db(*band, 1000 * std::sqrt(2.0)), -3.01, 0.2);
    EXPECT_LT(gain_db(*band, 100), -15);
    EXPECT_LT(gain_db(*band, 10000), -15);
}

TEST(EffectCompressor, ReducesALoudSineByTheRatioAboveTheThresholdOnly) {
    Rig compressor("aufx", "dcmp", 2);
    compressor.set(0, -20);  // threshold
    compressor.set(1, 4);    // ratio
    compressor.set(2, 5);    // attack, ms
    compressor.set(3, 100);  // release, ms
    // Silence, then a sine peaking at 0 dB: 20 dB over, so 15 dB of reduction once the attack is over.
    Signal in(kWindow * 10, 0.0f);
    const Signal loud = sine(1000, 1.0f, kWindow * 190);
    in.insert(in.end(), loud.begin(), loud.end());
    const Signal out = compressor.render(in)[0];
    const size_t onset = kWindow * 10;
    EXPECT_GT(amplitude_at(out, 1000, onset, onset + 48), 0.5) << "the attack lets the onset through";
    const double settled = amplitude_at(out, 1000, in.size() - 4800, in.size());
    EXPECT_NEAR(db(settled), -15, 0.5);

    // A sine peaking 10 dB under the threshold passes untouched, raised by the makeup gain.
    Rig quiet("aufx", "dcmp", 1);
    quiet.set(0, -20);
    quiet.set(1, 4);
    quiet.set(4, 6);
    const Signal soft = sine(1000, 0.0316f, kWindow * 100);
    const Signal soft_out = quiet.render(Channels{soft})[0];
    EXPECT_NEAR(db(rms(soft_out, 12000, soft.size()) / rms(soft, 12000, soft.size())), 6, 0.05);
}

TEST(EffectDistortion, AddsHarmonicsWithinFullScaleAndIsCleanWhenUndriven) {
    Rig driven("aufx", "dist", 1);
    driven.set(0, 24);
    driven.set(1, 20000);
    const Signal in = sine(375, 0.5f, kWindow * 40);  // 128 frames a period
    const Signal out = driven.render(Channels{in})[0];
    const double fundamental = amplitude_at(out, 375, 4800, 9600);
    EXPECT_GT(amplitude_at(out, 1125, 4800, 9600) / fundamental, 0.1) << "third harmonic";
    EXPECT_GT(amplitude_at(out, 1875, 4800, 9600) / fundamental, 0.03) << "fifth harmonic";
    for (float v : out) ASSERT_LE(std::fabs(v), 1.0f);

    // With no drive a quiet tone stays a sine; the tone control takes the top off.
    Rig clean("aufx", "dist", 1);
    clean.set(0, 0);
    clean.set(1, 20000);
    const Signal quiet = clean.render(Channels{sine(375, 0.01f, kWindow * 40)})[0];
    EXPECT_LT(amplitude_at(quiet, 1125, 4800, 9600) / amplitude_at(quiet, 375, 4800, 9600), 1e-4);
    Rig dark("aufx", "dist", 1);
    dark.set(1, 500);
    dark.set(0, 0);
    const Signal darkened = dark.render(Channels{sine(6000, 0.01f, kWindow * 40)})[0];
    EXPECT_LT(rms(darkened, 4800, 9600), 0.01 * 0.707 * 0.1);
}

TEST(EffectGain, DecibelsScaleAndThePanMovesBetweenTheSidesAtEqualPower) {
    Rig gain("aufx", "gain", 2);
    gain.set(0, 6.0206f);
    const Signal n = noise(kWindow * 2, 3);
    const Channels doubled = gain.render(n);
    for (size_t i = kRamp; i < n.size(); ++i) ASSERT_NEAR(doubled[0][i], 2 * n[i], 1e-5);

    Rig pan("aufx", "gain", 2);
    pan.set(1, -1);
    const Signal one(kWindow * 2, 1.0f);
    Channels hard_left = pan.render(one);
    EXPECT_FLOAT_EQ(hard_left[0].back(), std::sqrt(2.0f));
    for (size_t i = kRamp; i < hard_left[1].size(); ++i) ASSERT_EQ(hard_left[1][i], 0.0f);
    for (float p : {-0.5f, 0.0f, 0.3f, 1.0f}) {
        pan.set(1, p, pan.window);
        const Channels panned = pan.render(one);
        const float l = panned[0].back(), r = panned[1].back();
        EXPECT_NEAR(l * l + r * r, 2.0f, 1e-5) << p;
        if (p == 0) {
            EXPECT_FLOAT_EQ(l, 1) << "the centre leaves both sides alone";
        }
    }
    Rig silent("aufx", "gain", 1);
    silent.set(0, -96);
    silent.set(1, -1);  // a mono node has no pan
    const Signal silence = silent.render(n)[0];
    for (size_t i = kRamp; i < silence.size(); ++i) ASSERT_EQ(silence[i], 0.0f);
    Rig mono("aufx", "gain", 1);
    mono.set(1, 1);
    EXPECT_EQ(mono.render(n)[0], n);
}

TEST(EffectMixer, SumsTheBusesWithTheirVolumesAndPans) {
    Rig mixer("aumx", "smxr", 2);
    const size_t frames = kWindow * 2;
    std::vector<Channels> buses(8, Channels(2, Signal(frames, 0.0f)));
    buses[0] = {Signal(frames, 0.5f), Signal(frames, 0.5f)};  // a mono source, panned hard left
    mixer.set(1, -1, 0, kScopeInput, 0);
    buses[3] = {Signal(frames, 0.25f), Signal(frames, 0.25f)};  // half volume, hard right
    mixer.set(0, 0.5f, 0, kScopeInput, 3);
    mixer.set(1, 1, 0, kScopeInput, 3);
    buses[7] = {Signal(frames, 0.1f), Signal(frames, 0.2f)};  // a stereo source, centred
    mixer.set(2, 0.5f);                                       // output volume
    const Channels out = mixer.render_buses(buses);
    const float root2 = std::sqrt(2.0f);
    EXPECT_NEAR(out[0].back(), 0.5f * (0.5f * root2 + 0.1f), 1e-6);
    EXPECT_NEAR(out[1].back(), 0.5f * (0.125f * root2 + 0.2f), 1e-6);

    // A mono output sums both sides of every bus at half, whatever the pans.
    Rig mono("aumx", "smxr", 1);
    mono.set(1, -1, 0, kScopeInput, 7);
    mono.set(0, 2, 0, kScopeInput, 0);
    EXPECT_NEAR(mono.render_buses(buses)[0].back(), 2 * 0.5f + 0.25f + 0.15f, 1e-6);
    // An element past the last bus is ignored.
    mono.set(0, 0, mono.window, kScopeInput, 8);
    EXPECT_NEAR(mono.render_buses(buses)[0].back(), 2 * 0.5f + 0.25f + 0.15f, 1e-6);
}

// A change to each unit, posted for a frame in the middle of a window, and the frames it may take to be heard.
struct Change {
    Subtype unit;
    uint32_t id;
    float value;
    int scope = kScopeGlobal, element = 0;
};
const Change kChanges[] = {
    {{"aufx", "dely"}, 1, 0.01f},  {{"aufx", "dely"}, 0, 100},     {{"aufx", "mrev"}, 0, 100},
    {{"aufx", "mrev"}, 1, 100},    {{"aufx", "lpas"}, 0, 200},     {{"aufx", "hpas"}, 1, 20},
    {{"aufx", "bpas"}, 0, 300},    {{"aufx", "dcmp"}, 0, -50},     {{"aufx", "dcmp"}, 4, 12},
    {{"aufx", "dist"}, 0, 40},     {{"aufx", "dist"}, 1, 400},     {{"aufx", "gain"}, 1, 0.5f},
    {{"aumx", "smxr"}, 0, 0.1f, kScopeInput, 5}, {{"aumx", "smxr"}, 2, 0.3f},
};

TEST(EffectUnits, AParameterChangeStartsAtItsFrame) {
    const int64_t at = kWindow * 6 + 77;
    for (const Change& change : kChanges) {
        SCOPED_TRACE(std::string(change.unit.subtype) + " parameter " + std::to_string(change.id));
        Rig changed(change.unit.type, change.unit.subtype, 2), same(change.unit.type, change.unit.subtype, 2);
        const auto buses = noise_buses(*changed.unit, kWindow * 12);
        changed.set(change.id, change.value, at, change.scope, change.element);
        const Channels a = changed.render_buses(buses), b = same.render_buses(buses);
        size_t first = a[0].size();
        for (size_t c = 0; c < a.size(); ++c)
            for (size_t i = 0; i < a[c].size(); ++i)
                if (a[c][i] != b[c][i]) first = std::min(first, i);
        EXPECT_EQ(first, size_t(at));
    }

    // The gain reaches its new value in a linear ramp, exactly at the end of it.
    Rig gain("aufx", "gain", 1);
    gain.set(0, 6.0206f, at);
    const Signal out = gain.render(Channels{Signal(kWindow * 8, 1.0f)})[0];
    EXPECT_EQ(out[at - 1], 1.0f);
    for (int64_t i = at; i < at + kRamp - 1; ++i) ASSERT_LT(out[i], out[i + 1]) << i;
    for (size_t i = at + kRamp - 1; i < out.size(); ++i) ASSERT_NEAR(out[i], 2.0f, 1e-6) << i;
}

TEST(EffectReverb, DecaysAtItsDecayTimeStaysBoundedAndKeepsItsSides) {
    Rig reverb("aufx", "mrev", 2);
    reverb.set(0, 100);
    reverb.set(2, 1);  // decay time, s
    reverb.set(3, 0);  // no damping: every frequency decays alike
    Signal left(kWindow * 375, 0.0f), right(left.size(), 0.0f);  // 2 s
    left[0] = 1;
    const Channels tail = reverb.render(Channels{left, right});
    const double early = rms(tail[0], 9600, 14400), late = rms(tail[0], 57600, 62400);  // 0.2-0.3 s, 1.2-1.3 s
    EXPECT_NEAR(db(late / early), -60, 5);
    EXPECT_GT(rms(tail[1], 9600, 14400), 0.1 * early) << "the tail spreads to both sides";
    size_t first_left = 0, first_right = 0;
    while (std::fabs(tail[0][first_left]) < 1e-6f) ++first_left;
    while (std::fabs(tail[1][first_right]) < 1e-6f) ++first_right;
    EXPECT_LT(first_left, first_right) << "a sound on the left is heard on the left first";
    double correlation = 0, l2 = 0, r2 = 0;
    for (size_t i = 24000; i < 48000; ++i) {
        correlation += double(tail[0][i]) * tail[1][i];
        l2 += double(tail[0][i]) * tail[0][i];
        r2 += double(tail[1][i]) * tail[1][i];
    }
    EXPECT_LT(std::fabs(correlation) / std::sqrt(l2 * r2), 0.3) << "the sides of the tail are decorrelated";

    // The largest room, the longest decay and no damping, fed loud noise while its size keeps changing.
    Rig huge("aufx", "mrev", 2);
    huge.set(1, 100);
    huge.set(2, 20);
    huge.set(3, 0);
    huge.set(0, 100);
    const size_t seconds = 4;
    for (size_t s = 1; s < seconds * 4; ++s) huge.set(1, s % 2 ? 60.0f : 100.0f, int64_t(s * 12000));
    const Channels roar = huge.render(Channels{noise(48000 * seconds, 1, 1), noise(48000 * seconds, 2, 1)});
    double peak = 0;
    for (const Signal& side : roar)
        for (float v : side) {
            ASSERT_TRUE(std::isfinite(v));
            peak = std::max(peak, double(std::fabs(v)));
        }
    EXPECT_LT(peak, 20);
    // Fed silence, it only ever gets quieter.
    const Channels after = huge.render(Signal(48000 * 2, 0.0f));
    EXPECT_LT(rms(after[0], 72000, 96000), rms(after[0], 0, 24000));
}

TEST(EffectUnits, BypassPassesTheInputThroughUntouched) {
    for (const Subtype& s : kEveryUnit)
        for (int channels : {1, 2}) {
            SCOPED_TRACE(std::string(s.subtype) + " " + std::to_string(channels));
            Rig rig(s.type, s.subtype, channels);
            if (std::string(s.subtype) == "gain") rig.set(0, -12);
            const auto buses = noise_buses(*rig.unit, kWindow * 4);
            rig.bypass(true);
            const Channels out = rig.render_buses(buses);
            if (rig.unit->input_channels(0) == channels) {
                for (int c = 0; c < channels; ++c) EXPECT_EQ(out[size_t(c)], buses[0][size_t(c)]);
            } else {  // the mixer's stereo first bus, into a mono output: both sides at half
                for (size_t i = 0; i < out[0].size(); ++i)
                    ASSERT_EQ(out[0][i], (buses[0][0][i] + buses[0][1][i]) * 0.5f);
            }
            rig.bypass(false);
            EXPECT_NE(rig.render_buses(buses)[0], buses[0][0]);
        }
}

TEST(EffectUnits, HostileValuesNeverBreakTheOutputAndTailsFlushDenormals) {
    const float hostile[] = {NAN, INFINITY, -INFINITY, 1e30f, -1e30f, 0};
    for (const Subtype& s : kEveryUnit) {
        SCOPED_TRACE(s.subtype);
        Rig rig(s.type, s.subtype, 2);
        int64_t at = 0;
        for (float v : hostile) {
            for (const ParameterInfo& p : rig.unit->parameters())
                for (int e = 0; e < p.elements; ++e) rig.set(p.id, v, at, p.scope, e);
            at += kWindow;
        }
        for (const Channels& out : {rig.render_buses(noise_buses(*rig.unit, kWindow * 8))})
            for (const Signal& side : out)
                for (float v : side) ASSERT_TRUE(std::isfinite(v));

        // Defaults, an impulse, then seconds of silence: decaying recursions never leave denormals behind.
        Rig tail(s.type, s.subtype, 2);
        auto buses = noise_buses(*tail.unit, kWindow * 563);
        for (Channels& bus : buses)
            for (Signal& side : bus) std::fill(side.begin() + 1, side.end(), 0.0f);
        for (const Signal& side : tail.render_buses(buses))
            for (float v : side) ASSERT_NE(std::fpclassify(v), FP_SUBNORMAL);
    }
}

TEST(EffectUnits, RenderNeverAllocates) {
    for (const Subtype& s : kEveryUnit) {
        SCOPED_TRACE(s.subtype);
        Rig rig(s.type, s.subtype, 2);
        int64_t at = 100;
        for (const ParameterInfo& p : rig.unit->parameters())
            for (int e = 0; e < p.elements; ++e, at += 300) rig.set(p.id, (p.min + p.max) / 3, at, p.scope, e);
        const auto buses = noise_buses(*rig.unit, size_t(at / kWindow + 4) * kWindow);
        allocations = 0;
        rig.render_buses(buses);
        EXPECT_EQ(allocations.load(), 0);
    }
}

}  // namespace
}  // namespace omb
