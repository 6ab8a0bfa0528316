// "subs": a polyphonic subtractive synth. Per voice: two oscillators (saw, square, triangle or sine; the second
// detuned), a resonant 12 dB/octave low-pass (a trapezoidal state-variable filter) swept by its own envelope, and an
// amplitude envelope; velocity scales the level and opens the filter.
//
// Built for hundreds of voices: envelopes, cutoff and filter coefficients are worked out every kBlock frames and
// ramped linearly in between, so the per-frame work is two oscillators, one filter and a multiply. The voice pool
// is allocated in prepare(); a note beyond the polyphony steals the oldest voice (a released one first).
#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <utility>

#include "audio/units/instruments.h"

namespace omb {
namespace {

enum SubsParameter : uint32_t {
    kOsc1Wave, kOsc2Wave, kOsc2Detune, kOscMix,
    kCutoff, kResonance, kFilterEnvAmount, kKeyTracking, kVelocityToCutoff,
    kFilterAttack, kFilterDecay, kFilterSustain, kFilterRelease,
    kAmpAttack, kAmpDecay, kAmpSustain, kAmpRelease,
    kVelocitySensitivity, kVolume, kPolyphony,
    kParameterCount
};

enum Wave : int { kSaw, kSquare, kTriangle, kSine };

constexpr size_t kMaxVoices = 1024;
constexpr uint32_t kBlock = 32;        // frames between control updates
constexpr float kSilence = 1.0e-4f;    // -80 dB: a released voice ends here
constexpr float kLn1000 = 6.907755f;   // decay and release times are to -60 dB of the way
constexpr float kStartPhase = 0.25f;   // a quarter cycle in, every waveform is non-zero: a note sounds from its
                                       // first frame
constexpr float kBendRange = 2.0f;     // semitones

std::vector<ParameterInfo> subs_parameters() {
    return {
        {kOsc1Wave, "Oscillator 1 Waveform", kUnitIndexed, 0, 3, kSaw},
        {kOsc2Wave, "Oscillator 2 Waveform", kUnitIndexed, 0, 3, kSaw},
        {kOsc2Detune, "Oscillator 2 Detune", kUnitCents, -1200, 1200, 7},
        {kOscMix, "Oscillator 2 Level", kUnitPercent, 0, 100, 50},
        {kCutoff, "Cutoff", kUnitHertz, 20, 20000, 2000},
        {kResonance, "Resonance", kUnitGeneric, 0, 1, 0.2f},
        {kFilterEnvAmount, "Filter Envelope Amount", kUnitOctaves, -8, 8, 3},
        {kKeyTracking, "Key Tracking", kUnitPercent, 0, 100, 50},
        {kVelocityToCutoff, "Velocity to Cutoff", kUnitOctaves, 0, 4, 1},
        {kFilterAttack, "Filter Attack", kUnitSeconds, 0.001f, 10, 0.005f},
        {kFilterDecay, "Filter Decay", kUnitSeconds, 0.001f, 10, 0.4f},
        {kFilterSustain, "Filter Sustain", kUnitGeneric, 0, 1, 0.3f},
        {kFilterRelease, "Filter Release", kUnitSeconds, 0.001f, 10, 0.3f},
        {kAmpAttack, "Attack", kUnitSeconds, 0.001f, 10, 0.003f},
        {kAmpDecay, "Decay", kUnitSeconds, 0.001f, 10, 0.3f},
        {kAmpSustain, "Sustain", kUnitGeneric, 0, 1, 0.7f},
        {kAmpRelease, "Release", kUnitSeconds, 0.001f, 10, 0.25f},
        {kVelocitySensitivity, "Velocity Sensitivity", kUnitPercent, 0, 100, 100},
        {kVolume, "Volume", kUnitDecibels, -60, 12, -12},
        {kPolyphony, "Polyphony", kUnitGeneric, 1, static_cast<float>(kMaxVoices), 64},
    };
}

enum Stage : uint8_t { kAttack, kDecay, kRelease, kOff };

struct Envelope {
    float level = 0;
    Stage stage = kOff;
};

// One envelope's motion over a block of n frames.
struct EnvelopeStep {
    float attack = 0, decay = 0, release = 0, sustain = 0;  // attack: increase; decay, release: factors
};

struct EnvelopeTimes {
    float attack, decay, sustain, release;
};

EnvelopeStep envelope_step(const EnvelopeTimes& t, double rate, uint32_t n) {
    const double frames = static_cast<double>(n);
    return {static_cast<float>(frames / (t.attack * rate)),
            static_cast<float>(std::exp(-frames * kLn1000 / (t.decay * rate))),
            static_cast<float>(std::exp(-frames * kLn1000 / (t.release * rate))), t.sustain};
}

inline void advance(Envelope& e, const EnvelopeStep& s) {
    switch (e.stage) {
        case kAttack:
            e.level += s.attack;
            if (e.level >= 1.0f) e.level = 1.0f, e.stage = kDecay;
            break;
        case kDecay: e.level = s.sustain + (e.level - s.sustain) * s.decay; break;
        case kRelease:
            e.level *= s.release;
            if (e.level < kSilence) e.level = 0, e.stage = kOff;
            break;
        case kOff: break;
    }
}

// Band-limited steps (polyBLEP): the correction around a jump at phase 0.
inline float blep(float t, float dt, float inv_dt) {
    if (t < dt) {
        t *= inv_dt;
        return t + t - t * t - 1.0f;
    }
    if (t > 1.0f - dt) {
        t = (t - 1.0f) * inv_dt;
        return t * t + t + t + 1.0f;
    }
    return 0.0f;
}

template <int W>
inline float oscillator(float t, float dt, float inv_dt) {
    if constexpr (W == kSaw) {
        return 2.0f * t - 1.0f - blep(t, dt, inv_dt);
    } else if constexpr (W == kSquare) {
        float half = t + 0.5f;
        if (half >= 1.0f) half -= 1.0f;
        return (t < 0.5f ? 1.0f : -1.0f) + blep(t, dt, inv_dt) - blep(half, dt, inv_dt);
    } else if constexpr (W == kTriangle) {  // in phase with the sine; its corners alias little
        return t < 0.25f ? 4.0f * t : t < 0.75f ? 2.0f - 4.0f * t : 4.0f * t - 4.0f;
    } else {  // sin(2πt) from two parabolas: within 0.1 %
        const float u = t - 0.5f;
        float p = 8.0f * u - 16.0f * u * std::fabs(u);
        p += 0.225f * (p * std::fabs(p) - p);
        return -p;
    }
}

struct Voice {
    // Advanced every frame.
    float phase1 = kStartPhase, phase2 = kStartPhase;
    float ic1 = 0, ic2 = 0;  // filter state
    // The control block in progress: amplitude and filter coefficients now and their change per frame, the
    // oscillators' phase increments, and the frames left in it.
    float gain = 0, dgain = 0, a1 = 0, da1 = 0, a2 = 0, da2 = 0, a3 = 0, da3 = 0;
    float inc1 = 0, inc2 = 0;
    uint32_t left = 0, length = 0;
    uint32_t aimed = 0;              // the settings version its targets come from; 0: aim again
    Envelope amp, filter;            // at the end of the block in progress
    Envelope amp_from, filter_from;  // at its start: a change inside the block aims again from there
    // The note.
    float increment = 0;             // oscillator 1's phase per frame at the note's pitch, before the bend
    float key_octaves = 0;           // (pitch - 60) / 12, for key tracking
    float velocity = 0;              // 0..1
    bool fresh = true;               // nothing rendered yet: the filter starts at its target, not ramped to it
    bool pedal_held = false;         // its note is off but the sustain pedal holds it
    bool killed = false;             // silenced at once (all sound off)
    uint8_t channel = 0, key = 0;    // for MIDI note offs
    uint32_t instance = 0;           // the note instance; 0 for MIDI notes
    uint64_t started = 0;            // start order, for stealing the oldest
};

using Kernel = void (*)(Voice&, float*, uint32_t, float, float);

// The per-frame loop, one instance per pair of waveforms so the choice is not made every frame.
template <int W1, int W2>
void kernel(Voice& v, float* out, uint32_t n, float level1, float level2) {
    float p1 = v.phase1, p2 = v.phase2, ic1 = v.ic1, ic2 = v.ic2;
    float gain = v.gain, a1 = v.a1, a2 = v.a2, a3 = v.a3;
    const float dgain = v.dgain, da1 = v.da1, da2 = v.da2, da3 = v.da3;
    const float inc1 = v.inc1, inc2 = v.inc2, inv1 = 1.0f / inc1, inv2 = 1.0f / inc2;
    for (uint32_t i = 0; i < n; ++i) {
        const float x = level1 * oscillator<W1>(p1, inc1, inv1) + level2 * oscillator<W2>(p2, inc2, inv2);
        p1 += inc1;
        p1 -= p1 >= 1.0f ? 1.0f : 0.0f;
        p2 += inc2;
        p2 -= p2 >= 1.0f ? 1.0f : 0.0f;
        gain += dgain, a1 += da1, a2 += da2, a3 += da3;
        const float v3 = x - ic2;
        const float v1 = a1 * ic1 + a2 * v3;
        const float v2 = ic2 + a2 * ic1 + a3 * v3;
        ic1 = 2.0f * v1 - ic1;
        ic2 = 2.0f * v2 - ic2;
        out[i] += v2 * gain;
    }
    v.phase1 = p1, v.phase2 = p2, v.ic1 = ic1, v.ic2 = ic2;
    v.gain = gain, v.a1 = a1, v.a2 = a2, v.a3 = a3;
}

template <int W1, int... W2>
constexpr std::array<Kernel, 4> kernel_row(std::integer_sequence<int, W2...>) {
    return {&kernel<W1, W2>...};
}
constexpr auto kWaves = std::make_integer_sequence<int, 4>{};
constexpr std::array<std::array<Kernel, 4>, 4> kKernels = {kernel_row<kSaw>(kWaves), kernel_row<kSquare>(kWaves),
                                                           kernel_row<kTriangle>(kWaves), kernel_row<kSine>(kWaves)};

// What the parameters mean for rendering, worked out when they change.
struct Settings {
    int wave1 = kSaw, wave2 = kSaw;
    float detune = 1, level1 = 0.5f, level2 = 0.5f;
    float cutoff = 2000, damping = 1.6f, env_amount = 3, key_tracking = 0.5f, velocity_to_cutoff = 1;
    float velocity_sensitivity = 1, volume = 0.5f;
    int polyphony = 64;
    EnvelopeTimes amp{0.003f, 0.3f, 0.7f, 0.25f}, filter{0.005f, 0.4f, 0.3f, 0.3f};
};

struct BlockSteps {
    EnvelopeStep amp, filter;
};

class SubtractiveSynth final : public Unit {
public:
    explicit SubtractiveSynth(int channels)
        : Unit({fourcc("aumu"), fourcc("subs"), kOmbrel, "Ombrel: Subtractive Synth"}, subs_parameters(), {},
               channels) {}

    void prepare(double sample_rate, uint32_t max_frames) override {
        Unit::prepare(sample_rate, max_frames);
        voices_.assign(kMaxVoices, Voice{});
        active_.assign(kMaxVoices, 0);
        free_.resize(kMaxVoices);
        for (size_t i = 0; i < kMaxVoices; ++i) free_[i] = static_cast<uint16_t>(kMaxVoices - 1 - i);
        active_count_ = 0;
        free_count_ = kMaxVoices;
        mix_.assign(std::max<uint32_t>(max_frames, kBlock), 0.0f);
        bend_.fill(1.0f);
        pedal_.fill(false);
        for (uint32_t id = 0; id < kParameterCount; ++id) update(id, value(id));
        steps_version_.fill(0);
        clock_ = 0;
    }

protected:
    void process(const BusBuffer*, BusBuffer& out, uint32_t offset, uint32_t count) override {
        for (int c = 0; c < out.count; ++c) std::fill_n(out.channels[c] + offset, count, 0.0f);
        if (mix_.empty() || out.count == 0) return;
        const uint32_t piece = static_cast<uint32_t>(mix_.size());
        for (uint32_t done = 0; done < count;) {
            const uint32_t n = std::min(piece, count - done);
            render_voices(n);
            // Voices are mono: the same signal left and right, so a mono node's mean of the two is the signal.
            for (int c = 0; c < std::min(out.count, 2); ++c)
                std::copy_n(mix_.data(), n, out.channels[c] + offset + done);
            done += n;
        }
    }

    void apply(const UnitEvent& event) override {
        if (voices_.empty()) return;
        switch (event.kind) {
            case UnitEvent::Kind::note_start:
                if (event.note.velocity > 0 && std::isfinite(event.note.pitch))
                    start(event.note.pitch, event.note.velocity, event.note.instance, 0, 0);
                break;
            case UnitEvent::Kind::note_stop:
                for (Voice& v : active())
                    if (v.instance == event.note.instance && v.instance != 0) release(v);
                break;
            case UnitEvent::Kind::midi:
                midi(event.midi.status, event.midi.data1 & 0x7F, event.midi.data2 & 0x7F);
                break;
            default: break;
        }
    }

    void parameter_changed(uint32_t id, int scope, int, float value) override {
        if (scope == kScopeGlobal) update(id, value);
    }

private:
    // The sounding voices, for a range-for.
    struct Active {
        SubtractiveSynth& synth;
        struct Iterator {
            SubtractiveSynth& synth;
            int i;
            Voice& operator*() const { return synth.voices_[synth.active_[static_cast<size_t>(i)]]; }
            Iterator& operator++() { return ++i, *this; }
            bool operator!=(const Iterator& other) const { return i != other.i; }
        };
        Iterator begin() const { return {synth, 0}; }
        Iterator end() const { return {synth, synth.active_count_}; }
    };
    Active active() { return {*this}; }

    void update(uint32_t id, float raw) {
        const ParameterInfo* info = parameter(id, kScopeGlobal);
        if (!info || !std::isfinite(raw)) return;
        const float v = std::clamp(raw, info->min, info->max);
        Settings& s = settings_;
        switch (id) {
            case kOsc1Wave: s.wave1 = static_cast<int>(std::lround(v)); break;
            case kOsc2Wave: s.wave2 = static_cast<int>(std::lround(v)); break;
            case kOsc2Detune: s.detune = std::exp2(v / 1200.0f); break;
            case kOscMix: s.level2 = v / 100.0f, s.level1 = 1.0f - s.level2; break;
            case kCutoff: s.cutoff = v; break;
            // Damping 2 (no peak) down to 0.04 (close to ringing on its own).
            case kResonance: s.damping = 2.0f - 1.96f * v; break;
            case kFilterEnvAmount: s.env_amount = v; break;
            case kKeyTracking: s.key_tracking = v / 100.0f; break;
            case kVelocityToCutoff: s.velocity_to_cutoff = v; break;
            case kFilterAttack: s.filter.attack = v; break;
            case kFilterDecay: s.filter.decay = v; break;
            case kFilterSustain: s.filter.sustain = v; break;
            case kFilterRelease: s.filter.release = v; break;
            case kAmpAttack: s.amp.attack = v; break;
            case kAmpDecay: s.amp.decay = v; break;
            case kAmpSustain: s.amp.sustain = v; break;
            case kAmpRelease: s.amp.release = v; break;
            case kVelocitySensitivity: s.velocity_sensitivity = v / 100.0f; break;
            case kVolume: s.volume = std::pow(10.0f, v / 20.0f); break;
            case kPolyphony: s.polyphony = static_cast<int>(std::lround(v)); break;
            default: break;
        }
        changed();
    }

    // Every voice aims its block in progress again, from the frame of the change.
    void changed() { version_ = version_ == UINT32_MAX ? 1 : version_ + 1; }

    // The envelopes' motion over a block of n frames, worked out once per settings version.
    const BlockSteps& steps(uint32_t n) {
        if (steps_version_[n] != version_) {
            steps_[n] = {envelope_step(settings_.amp, sample_rate(), n),
                         envelope_step(settings_.filter, sample_rate(), n)};
            steps_version_[n] = version_;
        }
        return steps_[n];
    }

    void midi(uint8_t status, uint8_t a, uint8_t b) {
        const uint8_t channel = status & 0x0F;
        switch (status & 0xF0) {
            case 0x90:
                if (b > 0) {
                    start(static_cast<float>(a), static_cast<float>(b), 0, channel, a);
                    break;
                }
                [[fallthrough]];  // velocity 0: a note off
            case 0x80:
                for (Voice& v : active()) {
                    if (v.instance != 0 || v.channel != channel || v.key != a || v.amp.stage == kRelease) continue;
                    if (pedal_[channel]) v.pedal_held = true;
                    else release(v);
                }
                break;
            case 0xB0: control(channel, a, b); break;
            case 0xE0:
                bend_[channel] = std::exp2(kBendRange * (static_cast<float>(a | (b << 7)) - 8192.0f) / (8192.0f * 12.0f));
                changed();
                break;
            default: break;
        }
    }

    void control(uint8_t channel, uint8_t controller, uint8_t value) {
        switch (controller) {
            case 64:  // sustain pedal
                pedal_[channel] = value >= 64;
                if (!pedal_[channel])
                    for (Voice& v : active())
                        if (v.channel == channel && v.pedal_held) release(v);
                break;
            case 120:  // all sound off: silent at once
            case 123:  // all notes off: released
                for (Voice& v : active()) {
                    if (v.channel != channel) continue;
                    release(v);
                    v.killed = controller == 120;
                }
                break;
            default: break;
        }
    }

    // Releases from this frame: the block in progress aims again from its start, now releasing.
    static void release(Voice& v) {
        v.pedal_held = false;
        for (Envelope* e : {&v.amp, &v.filter, &v.amp_from, &v.filter_from})
            if (e->stage != kOff) e->stage = kRelease;
        v.aimed = 0;
    }

    void start(float pitch, float velocity, uint32_t instance, uint8_t channel, uint8_t key) {
        Voice* v = nullptr;
        if (active_count_ < settings_.polyphony && free_count_ > 0) {
            const uint16_t index = free_[static_cast<size_t>(--free_count_)];
            active_[static_cast<size_t>(active_count_++)] = index;
            v = &voices_[index];
        } else {
            v = &voices_[active_[static_cast<size_t>(oldest())]];
        }
        const double hz = 440.0 * std::exp2((static_cast<double>(pitch) - 69.0) / 12.0);
        *v = Voice{};
        v->increment = static_cast<float>(hz / sample_rate());
        v->key_octaves = (pitch - 60.0f) / 12.0f;
        v->velocity = std::clamp(velocity / 127.0f, 0.0f, 1.0f);
        v->amp.stage = v->filter.stage = kAttack;
        v->channel = channel;
        v->key = key;
        v->instance = instance;
        v->started = ++starts_;
    }

    // The active slot to steal: the oldest released voice, else the oldest.
    int oldest() const {
        int best = 0;
        bool best_released = false;
        for (int i = 0; i < active_count_; ++i) {
            const Voice& v = voices_[active_[static_cast<size_t>(i)]];
            const bool released = v.amp.stage == kRelease;
            const Voice& b = voices_[active_[static_cast<size_t>(best)]];
            if ((released && !best_released) || (released == best_released && v.started < b.started)) {
                best = i;
                best_released = released;
            }
        }
        return best;
    }

    // Control blocks end on multiples of kBlock frames of the unit's own clock, so where the buffer is split (at
    // events) does not change the sound; only a change aims a voice's block again, from the change's frame.
    void render_voices(uint32_t frames) {
        std::fill_n(mix_.data(), frames, 0.0f);
        const Kernel kernel = kKernels[static_cast<size_t>(settings_.wave1 & 3)][static_cast<size_t>(settings_.wave2 & 3)];
        for (int i = 0; i < active_count_;) {
            Voice& v = voices_[active_[static_cast<size_t>(i)]];
            for (uint32_t at = 0; at < frames && !v.killed;) {
                if (v.left == 0) {
                    if (v.amp.stage == kOff) break;
                    begin_block(v, kBlock - static_cast<uint32_t>((clock_ + at) % kBlock));
                } else if (v.aimed != version_) {
                    aim(v);
                }
                const uint32_t n = std::min(v.left, frames - at);
                kernel(v, mix_.data() + at, n, settings_.level1, settings_.level2);
                v.left -= n;
                at += n;
            }
            if (v.killed || (v.left == 0 && v.amp.stage == kOff)) {  // finished: back to the pool
                free_[static_cast<size_t>(free_count_++)] = active_[static_cast<size_t>(i)];
                active_[static_cast<size_t>(i)] = active_[static_cast<size_t>(--active_count_)];
            } else {
                ++i;
            }
        }
        clock_ += frames;
    }

    void begin_block(Voice& v, uint32_t length) {
        v.amp_from = v.amp;
        v.filter_from = v.filter;
        v.length = v.left = length;
        aim(v);
    }

    // Works out where the block in progress ends (envelopes, amplitude, cutoff, pitch) and ramps there from the
    // values now over the frames left.
    void aim(Voice& v) {
        const Settings& s = settings_;
        const BlockSteps& step = steps(v.length);
        v.amp = v.amp_from;
        v.filter = v.filter_from;
        advance(v.amp, step.amp);
        advance(v.filter, step.filter);
        const float rate = static_cast<float>(sample_rate());
        const float velocity_gain = 1.0f - s.velocity_sensitivity + s.velocity_sensitivity * v.velocity;
        const float gain = v.amp.level * velocity_gain * s.volume;
        const float octaves = s.env_amount * v.filter.level + s.key_tracking * v.key_octaves +
                              s.velocity_to_cutoff * (v.velocity - 1.0f);
        const float cutoff = std::clamp(s.cutoff * std::exp2(octaves), 20.0f, 0.45f * rate);
        const float g = std::tan(std::numbers::pi_v<float> * cutoff / rate);
        const float a1 = 1.0f / (1.0f + g * (g + s.damping)), a2 = g * a1, a3 = g * a2;
        if (v.fresh) {
            v.a1 = a1, v.a2 = a2, v.a3 = a3;
            v.fresh = false;
        }
        const float frames = static_cast<float>(v.left);
        v.dgain = (gain - v.gain) / frames;
        v.da1 = (a1 - v.a1) / frames, v.da2 = (a2 - v.a2) / frames, v.da3 = (a3 - v.a3) / frames;
        v.inc1 = std::min(v.increment * bend_[v.channel], 0.45f);
        v.inc2 = std::min(v.inc1 * s.detune, 0.45f);
        v.aimed = version_;
    }

    Settings settings_;
    uint32_t version_ = 1;  // of the settings and bends; voices aimed with an older one aim again
    std::array<BlockSteps, kBlock + 1> steps_{};
    std::array<uint32_t, kBlock + 1> steps_version_{};
    uint64_t clock_ = 0;  // frames rendered: where control blocks begin
    std::vector<Voice> voices_;
    std::vector<uint16_t> active_, free_;  // voice indices: the sounding ones, and the pool
    int active_count_ = 0, free_count_ = 0;
    uint64_t starts_ = 0;
    std::array<float, 16> bend_{};  // per MIDI channel, as a frequency ratio; note instances follow channel 0
    std::array<bool, 16> pedal_{};
    std::vector<float> mix_;
};

}  // namespace

std::unique_ptr<Unit> make_subtractive_synth(const ComponentDescription&, int output_channels, std::string* error) {
    if (output_channels < 1) {
        if (error) *error = "The subtractive synth needs at least one output channel";
        return nullptr;
    }
    return std::make_unique<SubtractiveSynth>(output_channels);
}

}  // namespace omb
