// The built-in effects and the mixer, driven directly: made from the registry, prepared at 48 kHz, rendered in
// 256-frame windows from buffers the test owns, with parameter events posted for exact frames. Every render is
// checked to allocate nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "audio_test_support.h"

namespace omb {
namespace {

using namespace test;
constexpr double kPi = 3.14159265358979323846;
constexpr uint32_t kRamp = 96;  // the documented 2 ms parameter ramp at 48 kHz

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

const char* const kEveryUnit[] = {"dely", "mrev", "lpas", "hpas", "bpas", "dcmp", "dist", "gain", "smxr"};

FourCC code(const char* text) {
    FourCC c = 0;
    fourcc_from(text, c);
    return c;
}
FourCC type_of(FourCC subtype) { return subtype == fourcc("smxr") ? fourcc("aumx") : fourcc("aufx"); }

// One unit with the buffers it renders from and into.
struct Rig {
    std::unique_ptr<Unit> unit;
    int64_t window = 0;

    Rig(const char* subtype, int channels, std::initializer_list<std::pair<uint32_t, float>> settings = {})
        : unit(make_unit(type_of(code(subtype)), code(subtype), channels)) {
        for (auto [id, value] : settings) set(id, value);
    }

    // At absolute frame `frame` (counted from the first render).
    void set(uint32_t id, float value, int64_t frame = 0, int scope = kScopeGlobal, int element = 0) {
        ASSERT_TRUE(unit->post(parameter(frame, id, value, scope, element)));
    }

    // Renders the signals of each input bus (their length, in whole windows) and returns the output.
    Channels render_buses(const std::vector<Channels>& buses) {
        const size_t frames = buses.at(0).at(0).size();
        const Channels out = render_unit(*unit, frames, window, buses);
        window += static_cast<int64_t>(frames);
        return out;
    }
    Channels render(const Channels& input) { return render_buses({input}); }
    Channels render(const Signal& every_channel) {
        return render(Channels(static_cast<size_t>(unit->input_channels(0)), every_channel));
    }
};

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
    for (const char* name : kEveryUnit) {
        SCOPED_TRACE(name);
        const FourCC subtype = code(name), type = type_of(subtype);
        const RegisteredUnit* own = registry.find(type, subtype, kOmbrel);
        ASSERT_NE(own, nullptr);
        EXPECT_EQ(registry.find(type, subtype, kApple), std::string(name) == "gain" ? nullptr : own);

        // Made through the alias, the unit still names itself with its own codes.
        std::string error;
        auto unit = own->make({type, subtype, kApple, ""}, 2, &error);
        ASSERT_NE(unit, nullptr) << error;
        EXPECT_EQ(unit->description().manufacturer, kOmbrel);
        EXPECT_EQ(unit->description().subtype, subtype);
        EXPECT_EQ(unit->description().name, own->description.name);
        expect_sane_parameters(*unit);
        EXPECT_EQ(own->make(own->description, 3, &error), nullptr);
        EXPECT_EQ(error, name + std::string(" takes 1 or 2 channels, not 3"));
    }
}

TEST(EffectDelay, EchoesArriveAfterTheDelayTimeAtTheFeedbackLevel) {
    // Wet only (0), 0.1 s (1: 4800 frames), 50 % feedback (2), the loop's low-pass (3) wide open.
    Rig delay("dely", 1, {{0, 100}, {1, 0.1f}, {2, 50}, {3, 20000}});
    Signal in(kFrames * 100, 0.0f);
    in[1000] = 1;
    const Signal impulse = delay.render(Channels{in})[0];
    for (size_t i = 0; i < 5800; ++i) ASSERT_EQ(impulse[i], 0.0f) << i;
    EXPECT_FLOAT_EQ(impulse[5800], 1.0f);  // the first echo does not pass the loop's low-pass
    for (size_t i = 5801; i < 10600; ++i) ASSERT_EQ(impulse[i], 0.0f) << i;
    EXPECT_GT(impulse[10600], 0.3f);

    // The echoes of a low tone, which the loop's low-pass leaves alone, fall by the feedback each time round.
    Rig inverted("dely", 1, {{0, 100}, {1, 0.1f}, {2, -50}});
    Signal burst = sine(200, 0.5f, 1200);
    burst.resize(kFrames * 100, 0.0f);
    const Signal echoes = inverted.render(Channels{burst})[0];
    const double first = amplitude_at(echoes, 200, 4800, 6000), second = amplitude_at(echoes, 200, 9600, 10800),
                 third = amplitude_at(echoes, 200, 14400, 15600);
    EXPECT_NEAR(first, 0.5, 0.005);
    EXPECT_NEAR(second / first, 0.5, 0.01);
    EXPECT_NEAR(third / second, 0.5, 0.01);
    EXPECT_LT(echoes[9600 + 60] * echoes[4800 + 60], 0.0f) << "negative feedback inverts each echo";

    // At mix 0 the output is the input (once the mix has ramped down from its default).
    const Signal n = noise(kFrames * 8, 7);
    const Signal out = Rig("dely", 2, {{0, 0}}).render(n)[1];
    EXPECT_TRUE(std::equal(out.begin() + kRamp, out.end(), n.begin() + kRamp));
}

// The gain of a sine through a unit, in dB, once the unit has settled.
double gain_db(Rig& rig, double hertz) {
    const Signal in = sine(hertz, 0.25f, kFrames * 90);
    const Signal out = rig.render(Channels{in})[0];
    return db(rms(out, in.size() / 2, in.size()) / rms(in, in.size() / 2, in.size()));
}

TEST(EffectFilters, AttenuateAsSecondOrderFiltersAroundTheirCutoff) {
    // Frequency (0) and shape (1: the resonance in dB, or the band-pass's width in cents), then the gain at a
    // frequency: within `tolerance` of `gain`, or below it where no tolerance is given.
    struct Point {
        const char* subtype;
        float frequency, shape;
        double hertz, gain, tolerance;
    };
    const float butterworth = static_cast<float>(db(std::sqrt(0.5)));  // a Q of 0.707, in dB
    // 12 dB per octave away from the cutoff (a little more near Nyquist, where the bilinear transform squeezes); the
    // resonance is the gain at the cutoff; the band-pass is unity at its centre, -3 dB at its edges an octave apart.
    const Point points[] = {
        {"lpas", 1000, butterworth, 100, 0, 0.05},    {"lpas", 1000, butterworth, 1000, -3.01, 0.1},
        {"lpas", 1000, butterworth, 4000, -24.1, 0.6}, {"lpas", 1000, butterworth, 16000, -48, 0},
        {"hpas", 1000, butterworth, 10000, 0, 0.1},   {"hpas", 1000, butterworth, 1000, -3.01, 0.1},
        {"hpas", 1000, butterworth, 250, -24.1, 0.6},  {"hpas", 1000, butterworth, 62.5, -47, 0},
        {"lpas", 2000, 12, 2000, 12, 0.1},             {"bpas", 1000, 1200, 1000, 0, 0.05},
        {"bpas", 1000, 1200, 1000 * std::sqrt(0.5), -3.01, 0.2},
        {"bpas", 1000, 1200, 1000 * std::sqrt(2.0), -3.01, 0.2},
        {"bpas", 1000, 1200, 100, -15, 0},             {"bpas", 1000, 1200, 10000, -15, 0},
    };
    for (const Point& p : points) {
        SCOPED_TRACE(std::string(p.subtype) + " at " + std::to_string(p.frequency) + ", " + std::to_string(p.hertz));
        Rig rig(p.subtype, 1, {{0, p.frequency}, {1, p.shape}});
        if (p.tolerance > 0) EXPECT_NEAR(gain_db(rig, p.hertz), p.gain, p.tolerance);
        else EXPECT_LT(gain_db(rig, p.hertz), p.gain);
    }
}

TEST(EffectCompressor, ReducesALoudSineByTheRatioAboveTheThresholdOnly) {
    // Threshold -20 dB (0), ratio 4 (1), attack 5 ms (2), release 100 ms (3).
    Rig compressor("dcmp", 2, {{0, -20}, {1, 4}, {2, 5}, {3, 100}});
    // Silence, then a sine peaking at 0 dB: 20 dB over, so 15 dB of reduction once the attack is over.
    Signal in(kFrames * 10, 0.0f);
    const Signal loud = sine(1000, 1.0f, kFrames * 190);
    in.insert(in.end(), loud.begin(), loud.end());
    const Signal out = compressor.render(in)[0];
    const size_t onset = kFrames * 10;
    EXPECT_GT(amplitude_at(out, 1000, onset, onset + 48), 0.5) << "the attack lets the onset through";
    EXPECT_NEAR(db(amplitude_at(out, 1000, in.size() - 4800, in.size())), -15, 0.5);

    // A sine peaking 10 dB under the threshold passes untouched, raised by the makeup gain (4).
    const Signal soft = sine(1000, 0.0316f, kFrames * 100);
    const Signal soft_out = Rig("dcmp", 1, {{0, -20}, {1, 4}, {4, 6}}).render(Channels{soft})[0];
    EXPECT_NEAR(db(rms(soft_out, 12000, soft.size()) / rms(soft, 12000, soft.size())), 6, 0.05);
}

TEST(EffectDistortion, AddsHarmonicsWithinFullScaleAndIsCleanWhenUndriven) {
    // Drive (0) in dB, tone (1) in Hz; 375 Hz is 128 frames a period.
    const Signal out = Rig("dist", 1, {{0, 24}, {1, 20000}}).render(Channels{sine(375, 0.5f, kFrames * 40)})[0];
    const double fundamental = amplitude_at(out, 375, 4800, 9600);
    EXPECT_GT(amplitude_at(out, 1125, 4800, 9600) / fundamental, 0.1) << "third harmonic";
    EXPECT_GT(amplitude_at(out, 1875, 4800, 9600) / fundamental, 0.03) << "fifth harmonic";
    for (float v : out) ASSERT_LE(std::fabs(v), 1.0f);

    // With no drive a quiet tone stays a sine; the tone control takes the top off.
    const Signal quiet = Rig("dist", 1, {{0, 0}, {1, 20000}}).render(Channels{sine(375, 0.01f, kFrames * 40)})[0];
    EXPECT_LT(amplitude_at(quiet, 1125, 4800, 9600) / amplitude_at(quiet, 375, 4800, 9600), 1e-4);
    const Signal dark = Rig("dist", 1, {{1, 500}, {0, 0}}).render(Channels{sine(6000, 0.01f, kFrames * 40)})[0];
    EXPECT_LT(rms(dark, 4800, 9600), 0.01 * 0.707 * 0.1);
}

TEST(EffectGain, DecibelsScaleAndThePanMovesBetweenTheSidesAtEqualPower) {
    const Signal n = noise(kFrames * 2, 3);
    const Channels doubled = Rig("gain", 2, {{0, 6.0206f}}).render(n);
    for (size_t i = kRamp; i < n.size(); ++i) ASSERT_NEAR(doubled[0][i], 2 * n[i], 1e-5);

    Rig pan("gain", 2, {{1, -1}});
    const Signal one(kFrames * 2, 1.0f);
    const Channels hard_left = pan.render(one);
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
    // A mono node has no pan.
    const Signal silence = Rig("gain", 1, {{0, -96}, {1, -1}}).render(n)[0];
    for (size_t i = kRamp; i < silence.size(); ++i) ASSERT_EQ(silence[i], 0.0f);
    EXPECT_EQ(Rig("gain", 1, {{1, 1}}).render(n)[0], n);
}

TEST(EffectMixer, SumsTheBusesWithTheirVolumesAndPans) {
    // Volume (0) and pan (1) per input bus, output volume (2).
    Rig mixer("smxr", 2, {{2, 0.5f}});
    const size_t frames = kFrames * 2;
    std::vector<Channels> buses(8, Channels(2, Signal(frames, 0.0f)));
    buses[0] = {Signal(frames, 0.5f), Signal(frames, 0.5f)};  // a mono source, panned hard left
    mixer.set(1, -1, 0, kScopeInput, 0);
    buses[3] = {Signal(frames, 0.25f), Signal(frames, 0.25f)};  // half volume, hard right
    mixer.set(0, 0.5f, 0, kScopeInput, 3);
    mixer.set(1, 1, 0, kScopeInput, 3);
    buses[7] = {Signal(frames, 0.1f), Signal(frames, 0.2f)};  // a stereo source, centred
    const Channels out = mixer.render_buses(buses);
    const float root2 = std::sqrt(2.0f);
    EXPECT_NEAR(out[0].back(), 0.5f * (0.5f * root2 + 0.1f), 1e-6);
    EXPECT_NEAR(out[1].back(), 0.5f * (0.125f * root2 + 0.2f), 1e-6);

    // A mono output sums both sides of every bus at half, whatever the pans; an element past the last bus is
    // ignored.
    Rig mono("smxr", 1);
    mono.set(1, -1, 0, kScopeInput, 7);
    mono.set(0, 2, 0, kScopeInput, 0);
    EXPECT_NEAR(mono.render_buses(buses)[0].back(), 2 * 0.5f + 0.25f + 0.15f, 1e-6);
    mono.set(0, 0, mono.window, kScopeInput, 8);
    EXPECT_NEAR(mono.render_buses(buses)[0].back(), 2 * 0.5f + 0.25f + 0.15f, 1e-6);
}

TEST(EffectUnits, AParameterChangeStartsAtItsFrame) {
    // A change to each unit, posted for a frame in the middle of a window.
    struct Change {
        const char* subtype;
        uint32_t id;
        float value;
        int scope = kScopeGlobal, element = 0;
    };
    const Change changes[] = {
        {"dely", 1, 0.01f}, {"dely", 0, 100}, {"mrev", 0, 100}, {"mrev", 1, 100}, {"lpas", 0, 200},
        {"hpas", 1, 20},    {"bpas", 0, 300}, {"dcmp", 0, -50}, {"dcmp", 4, 12},  {"dist", 0, 40},
        {"dist", 1, 400},   {"gain", 1, 0.5f}, {"smxr", 0, 0.1f, kScopeInput, 5}, {"smxr", 2, 0.3f},
    };
    const int64_t at = kFrames * 6 + 77;
    for (const Change& change : changes) {
        SCOPED_TRACE(std::string(change.subtype) + " parameter " + std::to_string(change.id));
        Rig changed(change.subtype, 2), same(change.subtype, 2);
        const auto buses = noise_buses(*changed.unit, kFrames * 12);
        changed.set(change.id, change.value, at, change.scope, change.element);
        const Channels a = changed.render_buses(buses), b = same.render_buses(buses);
        size_t first = a[0].size();
        for (size_t c = 0; c < a.size(); ++c)
            for (size_t i = 0; i < a[c].size(); ++i)
                if (a[c][i] != b[c][i]) first = std::min(first, i);
        EXPECT_EQ(first, size_t(at));
    }

    // The gain reaches its new value in a linear ramp, exactly at the end of it.
    Rig gain("gain", 1);
    gain.set(0, 6.0206f, at);
    const Signal out = gain.render(Channels{Signal(kFrames * 8, 1.0f)})[0];
    EXPECT_EQ(out[at - 1], 1.0f);
    for (int64_t i = at; i < at + kRamp - 1; ++i) ASSERT_LT(out[i], out[i + 1]) << i;
    for (size_t i = at + kRamp - 1; i < out.size(); ++i) ASSERT_NEAR(out[i], 2.0f, 1e-6) << i;
}

TEST(EffectReverb, DecaysAtItsDecayTimeStaysBoundedAndKeepsItsSides) {
    // Wet only (0), a decay time (2) of 1 s, no damping (3): every frequency decays alike.
    Rig reverb("mrev", 2, {{0, 100}, {2, 1}, {3, 0}});
    Signal left(kFrames * 375, 0.0f), right(left.size(), 0.0f);  // 2 s
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

    // The largest room (1), the longest decay and no damping, fed loud noise while its size keeps changing.
    Rig huge("mrev", 2, {{1, 100}, {2, 20}, {3, 0}, {0, 100}});
    const size_t seconds = 4;
    for (size_t s = 1; s < seconds * 4; ++s) huge.set(1, s % 2 ? 60.0f : 100.0f, int64_t(s * 12000));
    double peak = 0;
    for (const Signal& side : huge.render(Channels{noise(48000 * seconds, 1, 1), noise(48000 * seconds, 2, 1)}))
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
    for (const char* name : kEveryUnit)
        for (int channels : {1, 2}) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(channels));
            Rig rig(name, channels);
            if (std::string(name) == "gain") rig.set(0, -12);
            const auto buses = noise_buses(*rig.unit, kFrames * 4);
            ASSERT_TRUE(rig.unit->post(bypass(rig.window, true)));
            const Channels out = rig.render_buses(buses);
            if (rig.unit->input_channels(0) == channels) {
                for (int c = 0; c < channels; ++c) EXPECT_EQ(out[size_t(c)], buses[0][size_t(c)]);
            } else {  // the mixer's stereo first bus, into a mono output: both sides at half
                for (size_t i = 0; i < out[0].size(); ++i)
                    ASSERT_EQ(out[0][i], (buses[0][0][i] + buses[0][1][i]) * 0.5f);
            }
            ASSERT_TRUE(rig.unit->post(bypass(rig.window, false)));
            EXPECT_NE(rig.render_buses(buses)[0], buses[0][0]);
        }
}

TEST(EffectUnits, EveryParameterChangesWithoutAllocatingAndHostileValuesNeverBreakTheOutput) {
    const float hostile[] = {NAN, INFINITY, -INFINITY, 1e30f, -1e30f, 0};
    for (const char* name : kEveryUnit) {
        SCOPED_TRACE(name);
        // Each parameter element changed in turn at its own frame (the render checks for allocations), then every
        // one set to each hostile value a window at a time.
        Rig rig(name, 2);
        int64_t at = 100;
        for (const ParameterInfo& p : rig.unit->parameters())
            for (int e = 0; e < p.elements; ++e, at += 300) rig.set(p.id, (p.min + p.max) / 3, at, p.scope, e);
        for (float v : hostile) {
            at = (at / kFrames + 1) * kFrames;
            for (const ParameterInfo& p : rig.unit->parameters())
                for (int e = 0; e < p.elements; ++e) rig.set(p.id, v, at, p.scope, e);
        }
        for (const Signal& side : rig.render_buses(noise_buses(*rig.unit, size_t(at / kFrames + 8) * kFrames)))
            for (float v : side) ASSERT_TRUE(std::isfinite(v));

        // Defaults, an impulse, then seconds of silence: decaying recursions never leave denormals behind.
        Rig tail(name, 2);
        auto buses = noise_buses(*tail.unit, kFrames * 563);
        for (Channels& bus : buses)
            for (Signal& side : bus) std::fill(side.begin() + 1, side.end(), 0.0f);
        for (const Signal& side : tail.render_buses(buses))
            for (float v : side) ASSERT_NE(std::fpclassify(v), FP_SUBNORMAL);
    }
}

}  // namespace
}  // namespace omb
