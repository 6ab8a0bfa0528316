// Gain and pan: a level in decibels, and for a stereo node the equal-power pan of the mixer (pan_gains).
// A mono node ignores the pan.
#include <algorithm>
#include <array>
#include <cmath>

#include "audio/units/effect_blocks.h"
#include "audio/units/effect_units.h"

namespace omb::fx {

namespace {

enum : uint32_t { kGain, kPan };

// At the bottom of its range the gain is silence, not -96 dB.
constexpr float kSilentDb = -96;

class GainPan final : public Effect {
public:
    GainPan(const ComponentDescription& asked, int channels)
        : Effect(effect_description(asked),
                 {param(kGain, "gain", kUnitDecibels, kSilentDb, 24, 0),
                  param(kPan, "pan", kUnitPan, -1, 1, 0)},
                 channels) {}

    void prepare(double sample_rate, uint32_t max_frames) override {
        Unit::prepare(sample_rate, max_frames);
        for (auto& r : sides_) r.set_length(ramp_frames(sample_rate));
        const auto gains = targets();
        for (size_t c = 0; c < 2; ++c) sides_[c].jump(gains[c]);
    }

protected:
    void parameter_changed(uint32_t, int, int, float) override {
        const auto gains = targets();
        for (size_t c = 0; c < 2; ++c) sides_[c].go(gains[c]);
    }

    void process(const BusBuffer* inputs, BusBuffer& output, uint32_t offset, uint32_t count) override {
        for (int c = 0; c < output.count; ++c) {
            const float* in = inputs[0].channels[std::min(c, inputs[0].count - 1)];
            float* out = output.channels[c];
            Ramp& side = sides_[static_cast<size_t>(c)];
            uint32_t i = offset;
            for (; i < offset + count && side.moving(); ++i) out[i] = in[i] * side.next();
            const float gain = side.value();
            for (; i < offset + count; ++i) out[i] = in[i] * gain;
        }
    }

private:
    std::array<float, 2> targets() const {
        const float db = setting(kGain);
        const float gain = db <= kSilentDb ? 0.0f : db_to_gain(db);
        if (output_channels() == 1) return {gain, gain};
        const PanGains pan = pan_gains(setting(kPan));
        return {gain * pan.left, gain * pan.right};
    }

    std::array<Ramp, 2> sides_;
};

}  // namespace

std::unique_ptr<Unit> make_gain(const ComponentDescription& asked, int channels, std::string* error) {
    if (!channels_supported(asked, channels, error)) return nullptr;
    return std::make_unique<GainPan>(asked, channels);
}

}  // namespace omb::fx
