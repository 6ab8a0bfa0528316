// Distortion: the input, driven into a tanh soft clipper, then darkened by a one-pole tone low-pass (which never
// overshoots) and mixed with the dry.
//
// The clipper is anti-aliased with its first antiderivative (the output is the mean of tanh over the segment between
// two inputs): high drive would otherwise fold its harmonics back below Nyquist as inharmonic whistles. It costs
// the wet signal half a frame of delay. The wet signal never exceeds full scale; a quiet input gets louder with drive,
// as it does through an overdriven amplifier.
#include <algorithm>
#include <array>
#include <cmath>

#include "audio/units/effect_blocks.h"
#include "audio/units/effect_units.h"

namespace omb::fx {

namespace {

enum : uint32_t { kDrive, kTone, kMix };

constexpr uint32_t kRedesignFrames = 16;

// log(cosh(x)), the antiderivative of tanh, without overflow for large x.
double log_cosh(double x) {
    const double a = std::fabs(x);
    return a + std::log1p(std::exp(-2.0 * a)) - std::log(2.0);
}

class Distortion final : public Effect {
public:
    Distortion(const ComponentDescription& asked, int channels)
        : Effect(effect_description(asked),
                 {param(kDrive, "drive", kUnitDecibels, 0, 48, 12),
                  param(kTone, "tone", kUnitHertz, 200, 20000, 8000),
                  param(kMix, "mix", kUnitPercent, 0, 100, 100)},
                 channels) {}

    void prepare(double sample_rate, uint32_t max_frames) override {
        Unit::prepare(sample_rate, max_frames);
        for (Ramp* r : {&drive_, &tone_, &mix_}) r->set_length(ramp_frames(sample_rate));
        drive_.jump(db_to_gain(setting(kDrive)));
        tone_.jump(std::log2(setting(kTone)));
        mix_.jump(setting(kMix) / 100.0f);
        for (auto& ch : channels_) ch = Channel{};
        design();
    }

protected:
    void parameter_changed(uint32_t id, int, int, float value) override {
        value = limited(id, value);
        switch (id) {
        case kDrive: drive_.go(db_to_gain(value)); break;
        case kTone: tone_.go(std::log2(value)); break;
        case kMix: mix_.go(value / 100.0f); break;
        default: break;
        }
    }

    void process(const BusBuffer* inputs, BusBuffer& output, uint32_t offset, uint32_t count) override {
        DenormalGuard guard;
        const uint32_t end = offset + count;
        for (uint32_t i = offset; i < end;) {
            uint32_t n = end - i;
            if (tone_.moving()) {
                n = std::min(n, kRedesignFrames);
                tone_.skip(n);
                design();
            }
            for (uint32_t k = i; k < i + n; ++k) {
                const float drive = drive_.next(), mix = mix_.next();
                for (int c = 0; c < output.count; ++c) {
                    const float in = inputs[0].channels[std::min(c, inputs[0].count - 1)][k];
                    Channel& ch = channels_[static_cast<size_t>(c)];
                    const float wet = ch.tone.process(clip(ch, in * drive));
                    output.channels[c][k] = in + mix * (wet - in);
                }
            }
            i += n;
        }
    }

private:
    struct Channel {
        double last = 0, last_antiderivative = 0;  // the previous driven input, and log_cosh of it
        OnePoleLowPass tone;
    };

    static float clip(Channel& ch, float driven) {
        const double x = driven, delta = x - ch.last, antiderivative = log_cosh(x);
        const double y = std::fabs(delta) > 1e-5 ? (antiderivative - ch.last_antiderivative) / delta
                                                 : std::tanh(0.5 * (x + ch.last));
        ch.last = x;
        ch.last_antiderivative = antiderivative;
        return static_cast<float>(y);
    }
    void design() {
        const double hertz = std::min(std::exp2(static_cast<double>(tone_.value())), 0.49 * sample_rate());
        for (Channel& ch : channels_) ch.tone.set(hertz, sample_rate());
    }

    Ramp drive_, tone_, mix_;
    std::array<Channel, 2> channels_;
};

}  // namespace

std::unique_ptr<Unit> make_distortion(const ComponentDescription& asked, int channels, std::string* error) {
    if (!channels_supported(asked, channels, error)) return nullptr;
    return std::make_unique<Distortion>(asked, channels);
}

}  // namespace omb::fx
