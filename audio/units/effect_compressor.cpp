// Compressor: above the threshold, the level rises by 1/ratio of what the input's does.
//
// Feed-forward, with the channels linked (the louder one sets the gain of both, so the stereo image holds still).
// The gain computer has a 6 dB soft knee; the reduction it asks for is smoothed in decibels by a peak detector with
// separate attack and release time constants, the release stage first, so the attack never shortens a release.
#include <algorithm>
#include <cmath>

#include "audio/units/effect_blocks.h"
#include "audio/units/effect_units.h"

namespace omb::fx {

namespace {

enum : uint32_t { kThreshold, kRatio, kAttack, kRelease, kMakeup };

constexpr float kKneeDb = 6;

class Compressor final : public Effect {
public:
    Compressor(const ComponentDescription& asked, int channels)
        : Effect(effect_description(asked),
                 {param(kThreshold, "threshold", kUnitDecibels, -60, 0, -20),
                  param(kRatio, "ratio", kUnitRatio, 1, 50, 4),
                  param(kAttack, "attack time", kUnitMilliseconds, 0.1f, 500, 10),
                  param(kRelease, "release time", kUnitMilliseconds, 5, 5000, 100),
                  param(kMakeup, "makeup gain", kUnitDecibels, -20, 40, 0)},
                 channels) {}

    void prepare(double sample_rate, uint32_t max_frames) override {
        Unit::prepare(sample_rate, max_frames);
        for (uint32_t id : {kThreshold, kRatio, kAttack, kRelease}) set(id, setting(id));
        makeup_.set_length(ramp_frames(sample_rate));
        makeup_.jump(db_to_gain(setting(kMakeup)));
        held_ = reduction_ = 0;
    }

protected:
    void parameter_changed(uint32_t id, int, int, float value) override {
        value = limited(id, value);
        if (id == kMakeup) makeup_.go(db_to_gain(value));
        else set(id, value);
    }

    void process(const BusBuffer* inputs, BusBuffer& output, uint32_t offset, uint32_t count) override {
        DenormalGuard guard;
        const int channels = output.count;
        const float* in[2];
        for (int c = 0; c < channels; ++c) in[c] = inputs[0].channels[std::min(c, inputs[0].count - 1)];
        for (uint32_t i = offset; i < offset + count; ++i) {
            float level = 0;
            for (int c = 0; c < channels; ++c) level = std::max(level, std::fabs(in[c][i]));
            const float wanted = level > knee_start_ ? wanted_reduction(20.0f * std::log10(level)) : 0.0f;
            held_ = std::max(wanted, release_ * held_ + (1 - release_) * wanted);
            reduction_ = attack_ * reduction_ + (1 - attack_) * held_;
            const float makeup = makeup_.next();
            const float gain = reduction_ > 1e-4f ? makeup * db_to_gain(-reduction_) : makeup;
            for (int c = 0; c < channels; ++c) output.channels[c][i] = in[c][i] * gain;
        }
    }

private:
    void set(uint32_t id, float value) {
        const auto coefficient = [this](float ms) {
            return static_cast<float>(std::exp(-1000.0 / (static_cast<double>(ms) * sample_rate())));
        };
        switch (id) {
        case kThreshold:
            threshold_ = value;
            knee_start_ = db_to_gain(value - kKneeDb / 2);
            break;
        case kRatio: slope_ = 1.0f / value - 1.0f; break;
        case kAttack: attack_ = coefficient(value); break;
        case kRelease: release_ = coefficient(value); break;
        default: break;
        }
    }
    // Decibels to take off an input at `db`.
    float wanted_reduction(float db) const {
        const float over = db - threshold_;
        if (over >= kKneeDb / 2) return -slope_ * over;
        const float into = over + kKneeDb / 2;  // within the knee
        return into > 0 ? -slope_ * into * into / (2 * kKneeDb) : 0.0f;
    }

    float threshold_ = -20, knee_start_ = 0, slope_ = 0, attack_ = 0, release_ = 0;
    float held_ = 0, reduction_ = 0;  // dB: the release stage, then the attack stage
    Ramp makeup_;
};

}  // namespace

std::unique_ptr<Unit> make_compressor(const ComponentDescription& asked, int channels, std::string* error) {
    if (!channels_supported(asked, channels, error)) return nullptr;
    return std::make_unique<Compressor>(asked, channels);
}

}  // namespace omb::fx
