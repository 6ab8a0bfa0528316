// Reverb: a true-stereo feedback delay network.
//
// Each input side is pre-delayed and smeared by four allpass diffusers, then fed into half of eight delay lines (left
// into the even ones, right into the odd ones). The lines' outputs pass through one-pole damping filters and are
// mixed back into the lines by a scaled 8x8 Hadamard matrix, which is orthogonal: the loop keeps exactly the energy
// the filters let through, so the decay time is the filters' alone and no setting can make the network grow. Each
// filter loses 60 dB over the decay time at low frequencies and over a shorter time (set by the damping) at
// Nyquist, scaled to its line's length, so every line decays alike. The left output reads the even lines, the right
// the odd ones: the early sound keeps its side, the tail is decorrelated. The diffused input itself is heard too, so
// the reverb starts right after the pre-delay instead of one trip round the shortest line later. Each line's length
// wavers slowly (a few cents, at its own rate) to break up the metallic ringing of fixed delays.
//
// Line lengths are primes (no common echoes) set by the room size; a new size or pre-delay glides the read positions
// over a fraction of a second instead of jumping, which would click.
#include <algorithm>
#include <array>
#include <cmath>

#include "audio/units/effect_blocks.h"
#include "audio/units/effect_units.h"

namespace omb::fx {

namespace {

enum : uint32_t { kMix, kSize, kDecay, kDamping, kPreDelay };

constexpr int kLines = 8;
// Line lengths at the largest room, in milliseconds; the smallest room is a quarter of these.
constexpr std::array<double, kLines> kLineMs = {37.1, 41.9, 46.3, 51.7, 57.1, 63.7, 69.3, 77.9};
constexpr double kSmallestRoom = 0.25;
// Input diffusers per side: lengths in milliseconds and allpass gains (strong first, to blur the attack).
constexpr std::array<std::array<double, 4>, 2> kDiffuserMs = {{{4.771, 3.595, 12.735, 9.307},
                                                               {4.993, 3.399, 12.113, 8.937}}};
constexpr std::array<float, 4> kDiffuserGain = {0.75f, 0.75f, 0.625f, 0.625f};
constexpr double kMaxPreDelay = 0.25;
constexpr double kGlideSeconds = 0.3;
// Levels in and out of the network: about unity wet loudness for a two-second decay.
constexpr float kInputGain = 0.5f;
constexpr float kOutputGain = 0.5f;
constexpr float kEarlyGain = 0.5f;
// The wavering of the line lengths: depth in milliseconds, and each line's rate in hertz.
constexpr double kWaverMs = 0.25;
constexpr std::array<double, kLines> kWaverHz = {0.31, 0.47, 0.53, 0.67, 0.73, 0.89, 0.97, 1.13};

bool is_prime(uint32_t n) {
    if (n < 2) return false;
    for (uint32_t d = 2; d * d <= n; ++d)
        if (n % d == 0) return false;
    return true;
}

struct Allpass {
    DelayLine line;
    uint32_t length = 1;
    float gain = 0;
    float process(float in) {
        const float delayed = line.read(length);
        const float w = in + gain * delayed;
        line.write(w);
        return delayed - gain * w;
    }
};

struct Damping {
    float feed = 1, pole = 0, state = 0;  // state = feed * x + pole * state
    float process(float in) {
        state = feed * in + pole * state;
        return state;
    }
};

class Reverb final : public Effect {
public:
    Reverb(const ComponentDescription& asked, int channels)
        : Effect(effect_description(asked),
                 {param(kMix, "wet/dry mix", kUnitPercent, 0, 100, 33),
                  param(kSize, "room size", kUnitPercent, 0, 100, 50),
                  param(kDecay, "decay time", kUnitSeconds, 0.1f, 20, 2),
                  param(kDamping, "damping", kUnitPercent, 0, 100, 50),
                  param(kPreDelay, "pre-delay", kUnitSeconds, 0, static_cast<float>(kMaxPreDelay), 0.01f)},
                 channels) {}

    void prepare(double sample_rate, uint32_t max_frames) override {
        Unit::prepare(sample_rate, max_frames);
        const auto frames = [sample_rate](double ms) {
            return static_cast<uint32_t>(std::lround(ms * sample_rate / 1000));
        };
        for (int i = 0; i < kLines; ++i) {
            Line& line = lines_[static_cast<size_t>(i)];
            // Room for the prime above the nominal length, and for the wavering.
            line.delay.resize(frames(kLineMs[static_cast<size_t>(i)]) + 256 + frames(kWaverMs) + 2);
            line.length.set_length(static_cast<uint32_t>(kGlideSeconds * sample_rate));
            line.damping.state = line.last = 0;
            const double step = 2 * kPi * kWaverHz[static_cast<size_t>(i)] / sample_rate;
            line.waver = {1, 0, static_cast<float>(std::cos(step)), static_cast<float>(std::sin(step))};
        }
        for (size_t side = 0; side < 2; ++side) {
            Side& s = sides_[side];
            s.pre_delay.resize(static_cast<uint32_t>(std::ceil(kMaxPreDelay * sample_rate)) + 1);
            s.pre.set_length(static_cast<uint32_t>(kGlideSeconds * sample_rate));
            s.pre.jump(pre_delay_frames(setting(kPreDelay)));
            for (size_t k = 0; k < s.diffusers.size(); ++k) {
                Allpass& a = s.diffusers[k];
                a.length = std::max(1u, frames(kDiffuserMs[side][k]));
                a.line.resize(a.length);
                a.gain = kDiffuserGain[k];
            }
        }
        waver_depth_ = static_cast<float>(kWaverMs * sample_rate / 1000);
        set_size(setting(kSize), true);
        mix_.set_length(ramp_frames(sample_rate));
        mix_.jump(setting(kMix) / 100.0f);
    }

protected:
    void parameter_changed(uint32_t id, int, int, float value) override {
        value = limited(id, value);
        switch (id) {
        case kMix: mix_.go(value / 100.0f); break;
        case kSize: set_size(value, false); break;
        case kDecay:
        case kDamping: set_damping(); break;
        case kPreDelay:
            for (Side& s : sides_) s.pre.go(pre_delay_frames(value));
            break;
        default: break;
        }
    }

    void process(const BusBuffer* inputs, BusBuffer& output, uint32_t offset, uint32_t count) override {
        DenormalGuard guard;
        const bool stereo = output.count == 2;
        const float* in_left = inputs[0].channels[0];
        const float* in_right = inputs[0].channels[std::min(1, inputs[0].count - 1)];
        std::array<float, kLines> x;
        for (uint32_t i = offset; i < offset + count; ++i) {
            const float dry[2] = {in_left[i], in_right[i]};
            float diffused[2];
            for (size_t side = 0; side < 2; ++side) {
                Side& s = sides_[side];
                float v = s.pre_delay.read(s.pre.next());
                s.pre_delay.write(dry[side]);
                for (Allpass& a : s.diffusers) v = a.process(v);
                diffused[side] = v * kInputGain;
            }
            for (int k = 0; k < kLines; ++k) {
                Line& line = lines_[static_cast<size_t>(k)];
                const float length = line.length.next() + waver_depth_ * line.waver.next();
                x[static_cast<size_t>(k)] = line.damping.process(line.read(length));
            }
            const float wet_left = kOutputGain * (x[0] - x[2] + x[4] - x[6]) + kEarlyGain * diffused[0];
            const float wet_right = kOutputGain * (x[1] - x[3] + x[5] - x[7]) + kEarlyGain * diffused[1];
            hadamard(x);
            for (int k = 0; k < kLines; ++k)
                lines_[static_cast<size_t>(k)].delay.write(x[static_cast<size_t>(k)] + diffused[k & 1]);
            const float mix = mix_.next();
            if (stereo) {
                output.channels[0][i] = dry[0] + mix * (wet_left - dry[0]);
                output.channels[1][i] = dry[1] + mix * (wet_right - dry[1]);
            } else {
                output.channels[0][i] = dry[0] + mix * (0.5f * (wet_left + wet_right) - dry[0]);
            }
        }
        for (Line& line : lines_) line.waver.renormalise();
    }

private:
    // A sine by rotation: four multiplies a frame instead of a call to sin().
    struct Oscillator {
        float re = 1, im = 0, step_re = 1, step_im = 0;
        float next() {
            const float r = re * step_re - im * step_im;
            im = im * step_re + re * step_im;
            re = r;
            return im;
        }
        void renormalise() {  // rounding would otherwise let the amplitude drift
            const float scale = 1.0f / std::sqrt(re * re + im * im);
            re *= scale, im *= scale;
        }
    };
    struct Line {
        DelayLine delay;
        Ramp length;  // frames
        Damping damping;
        Oscillator waver;
        float last = 0;  // the interpolator's previous output

        // The line at a fractional length, through a first-order allpass: linear interpolation at a moving fraction
        // would low-pass every trip round the loop and dull a long tail. The fraction kept within [0.5, 1.5) keeps
        // the allpass's pole small; a whole length reads exactly.
        float read(float length) {
            const auto whole = static_cast<uint32_t>(length - 0.5f);
            const float fraction = length - static_cast<float>(whole);
            const float eta = (1 - fraction) / (1 + fraction);
            last = eta * (delay.read(whole) - last) + delay.read(whole + 1);
            return last;
        }
    };
    struct Side {
        DelayLine pre_delay;
        Ramp pre;
        std::array<Allpass, 4> diffusers;
    };

    // Orthogonal: the fast Walsh-Hadamard transform, scaled by 1/sqrt(8).
    static void hadamard(std::array<float, kLines>& x) {
        for (int h = 1; h < kLines; h *= 2)
            for (int i = 0; i < kLines; i += 2 * h)
                for (int j = i; j < i + h; ++j) {
                    const float a = x[static_cast<size_t>(j)], b = x[static_cast<size_t>(j + h)];
                    x[static_cast<size_t>(j)] = a + b;
                    x[static_cast<size_t>(j + h)] = a - b;
                }
        for (float& v : x) v *= 0.35355339f;
    }

    float pre_delay_frames(float seconds) const {
        return std::max(1.0f, static_cast<float>(seconds * sample_rate()));
    }

    void set_size(float percent, bool at_once) {
        const double scale = kSmallestRoom + (1 - kSmallestRoom) * percent / 100.0;
        uint32_t previous = 0;
        for (int i = 0; i < kLines; ++i) {
            Line& line = lines_[static_cast<size_t>(i)];
            auto n = static_cast<uint32_t>(std::lround(kLineMs[static_cast<size_t>(i)] * scale * sample_rate() / 1000));
            n = std::max(n, previous + 1);
            while (!is_prime(n)) ++n;
            n = std::min(n, line.delay.max_delay());
            previous = n;
            if (at_once) line.length.jump(static_cast<float>(n));
            else line.length.go(static_cast<float>(n));
        }
        set_damping();
    }

    // From the lines' final lengths: a glide is short beside any decay.
    void set_damping() {
        const double decay = setting(kDecay);
        const double treble_decay = decay * (1 - 0.95 * setting(kDamping) / 100.0);
        for (Line& line : lines_) {
            const double length = line.length.target();
            const double low = std::pow(10.0, -3 * length / (decay * sample_rate()));
            const double high = std::pow(10.0, -3 * length / (treble_decay * sample_rate()));
            const double ratio = high / low, pole = (1 - ratio) / (1 + ratio);
            line.damping.feed = static_cast<float>(low * (1 - pole));
            line.damping.pole = static_cast<float>(pole);
        }
    }

    std::array<Line, kLines> lines_;
    std::array<Side, 2> sides_;
    Ramp mix_;
    float waver_depth_ = 0;  // frames
};

}  // namespace

std::unique_ptr<Unit> make_reverb(const ComponentDescription& asked, int channels, std::string* error) {
    if (!channels_supported(asked, channels, error)) return nullptr;
    return std::make_unique<Reverb>(asked, channels);
}

}  // namespace omb::fx
