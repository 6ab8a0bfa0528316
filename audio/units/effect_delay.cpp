// Delay: echoes of the input, each one quieter by the feedback and darker by the low-pass inside the loop.
#include <algorithm>
#include <array>
#include <cmath>

#include "audio/units/effect_blocks.h"
#include "audio/units/effect_units.h"

namespace omb::fx {

namespace {

enum : uint32_t { kMix, kTime, kFeedback, kCutoff };

constexpr double kMaxSeconds = 2.0;
// A new delay time crossfades from the old tap to the new one: a jump of the read position would click, a glide
// would bend the pitch of every echo in the line.
constexpr double kTapFadeSeconds = 0.01;
// Below 1 so that the loop always dies away, however long it takes.
constexpr float kMaxFeedback = 0.999f;

class Delay final : public Effect {
public:
    Delay(const ComponentDescription& asked, int channels)
        : Effect(effect_description(asked),
                 {param(kMix, "wet/dry mix", kUnitPercent, 0, 100, 50),
                  param(kTime, "delay time", kUnitSeconds, 0, 2, 1),
                  param(kFeedback, "feedback", kUnitPercent, -100, 100, 50),
                  param(kCutoff, "lowpass cutoff", kUnitHertz, 10, 20000, 15000)},
                 channels) {}

    void prepare(double sample_rate, uint32_t max_frames) override {
        Unit::prepare(sample_rate, max_frames);
        for (int c = 0; c < output_channels(); ++c) {
            Line& ch = lines_[static_cast<size_t>(c)];
            ch.line.resize(static_cast<uint32_t>(std::ceil(kMaxSeconds * sample_rate)) + 1);
            ch.lowpass.state = 0;
        }
        mix_.set_length(ramp_frames(sample_rate));
        feedback_.set_length(ramp_frames(sample_rate));
        fade_.set_length(static_cast<uint32_t>(std::round(kTapFadeSeconds * sample_rate)));
        mix_.jump(setting(kMix) / 100.0f);
        feedback_.jump(feedback(setting(kFeedback)));
        from_ = to_ = delay_frames(setting(kTime));
        fade_.jump(1);
        set_cutoff(setting(kCutoff));
    }

protected:
    void parameter_changed(uint32_t id, int, int, float value) override {
        value = limited(id, value);
        switch (id) {
        case kMix: mix_.go(value / 100.0f); break;
        case kFeedback: feedback_.go(feedback(value)); break;
        case kCutoff: set_cutoff(value); break;
        case kTime: {
            // A change during a fade starts from whichever tap was the louder.
            if (fade_.moving() && fade_.value() >= 0.5f) from_ = to_;
            else if (!fade_.moving()) from_ = to_;
            to_ = delay_frames(value);
            fade_.jump(0);
            fade_.go(1);
            break;
        }
        default: break;
        }
    }

    void process(const BusBuffer* inputs, BusBuffer& output, uint32_t offset, uint32_t count) override {
        DenormalGuard guard;
        const int channels = output.count;
        for (uint32_t i = offset; i < offset + count; ++i) {
            const float mix = mix_.next(), feedback = feedback_.next();
            const bool fading = fade_.moving();
            const float fade = fading ? fade_.next() : 1.0f;
            for (int c = 0; c < channels; ++c) {
                Line& ch = lines_[static_cast<size_t>(c)];
                const float in = inputs[0].channels[std::min(c, inputs[0].count - 1)][i];
                const float tap = fading ? ch.line.read(from_) + fade * (ch.line.read(to_) - ch.line.read(from_))
                                         : ch.line.read(to_);
                ch.line.write(in + feedback * ch.lowpass.process(tap));
                output.channels[c][i] = in + mix * (tap - in);
            }
        }
    }

private:
    struct Line {
        DelayLine line;
        OnePoleLowPass lowpass;
    };

    static float feedback(float percent) { return std::clamp(percent / 100.0f, -kMaxFeedback, kMaxFeedback); }
    float delay_frames(float seconds) const {
        const double frames = static_cast<double>(seconds) * sample_rate();
        return static_cast<float>(std::clamp(frames, 1.0, static_cast<double>(lines_[0].line.max_delay())));
    }
    void set_cutoff(float hertz) {
        for (auto& ch : lines_) ch.lowpass.set(std::min<double>(hertz, 0.49 * sample_rate()), sample_rate());
    }

    std::array<Line, 2> lines_;
    Ramp mix_, feedback_, fade_;
    float from_ = 1, to_ = 1;  // the taps, in frames
};

}  // namespace

std::unique_ptr<Unit> make_delay(const ComponentDescription& asked, int channels, std::string* error) {
    if (!channels_supported(asked, channels, error)) return nullptr;
    return std::make_unique<Delay>(asked, channels);
}

}  // namespace omb::fx
