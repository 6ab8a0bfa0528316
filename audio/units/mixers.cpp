// The mixer family ("aumx"): the stereo mixer, also found under the platform's code for it.
//
// Eight stereo input buses, each with a volume and a pan (input scope, one value per bus), summed and scaled by the
// output volume (global). The pan is the equal-power law of pan_gains: a mono source, copied to both sides of its
// bus, is spread between the sides at constant loudness; a stereo source is balanced. A mono output sums the buses'
// sides at half each and ignores the pans. Volumes and pans glide over the 2 ms parameter ramp.
#include <algorithm>
#include <array>

#include "audio/unit_registry.h"
#include "audio/units/effect_blocks.h"
#include "audio/units/effect_units.h"

namespace omb {

namespace fx {

namespace {

enum : uint32_t { kVolume, kPan, kOutputVolume };
constexpr int kBuses = 8;
const ComponentDescription kMixer{fourcc("aumx"), fourcc("smxr"), kOmbrel, "Ombrel: Stereo Mixer"};

class Mixer final : public Unit {
public:
    explicit Mixer(int channels)
        : Unit(kMixer,
               {param(kVolume, "volume", kUnitLinearGain, 0, 2, 1, kScopeInput, kBuses),
                param(kPan, "pan", kUnitPan, -1, 1, 0, kScopeInput, kBuses),
                param(kOutputVolume, "output volume", kUnitLinearGain, 0, 2, 1)},
               std::vector<int>(kBuses, 2), channels) {}

    void prepare(double sample_rate, uint32_t max_frames) override {
        Unit::prepare(sample_rate, max_frames);
        for (int b = 0; b < kBuses; ++b) {
            const auto gains = targets(b);
            for (size_t s = 0; s < 2; ++s) {
                Ramp& r = gains_[static_cast<size_t>(b)][s];
                r.set_length(ramp_frames(sample_rate));
                r.jump(gains[s]);
            }
        }
    }

protected:
    void parameter_changed(uint32_t id, int scope, int element, float) override {
        if (scope == kScopeGlobal && id == kOutputVolume) {
            for (int b = 0; b < kBuses; ++b) retarget(b);
        } else if (scope == kScopeInput) {
            retarget(element);
        }
    }

    void process(const BusBuffer* inputs, BusBuffer& output, uint32_t offset, uint32_t count) override {
        const uint32_t end = offset + count;
        for (int c = 0; c < output.count; ++c) std::fill(output.channels[c] + offset, output.channels[c] + end, 0.0f);
        for (int b = 0; b < kBuses; ++b) {
            const BusBuffer& in = inputs[b];
            const float* left = in.channels[0];
            const float* right = in.channels[std::min(1, in.count - 1)];
            auto& sides = gains_[static_cast<size_t>(b)];
            if (output.count == 1) {
                add(output.channels[0], left, right, sides[0], offset, end);
            } else {
                add(output.channels[0], left, nullptr, sides[0], offset, end);
                add(output.channels[1], right, nullptr, sides[1], offset, end);
            }
        }
    }

private:
    // out += in * gain, or out += (in + also) / 2 * gain.
    static void add(float* out, const float* in, const float* also, Ramp& gain, uint32_t i, uint32_t end) {
        const float half = also ? 0.5f : 1.0f;
        for (; i < end && gain.moving(); ++i) out[i] += (also ? in[i] + also[i] : in[i]) * half * gain.next();
        const float g = gain.value() * half;
        if (g == 0.0f) return;
        if (also) {
            for (; i < end; ++i) out[i] += (in[i] + also[i]) * g;
        } else {
            for (; i < end; ++i) out[i] += in[i] * g;
        }
    }

    std::array<float, 2> targets(int bus) const {
        const auto limited = [this](uint32_t id, int scope, int element) {
            return limit(parameter(id, scope), value(id, scope, element));
        };
        const float volume = limited(kVolume, kScopeInput, bus) * limited(kOutputVolume, kScopeGlobal, 0);
        if (output_channels() == 1) return {volume, volume};
        const PanGains pan = pan_gains(limited(kPan, kScopeInput, bus));
        return {volume * pan.left, volume * pan.right};
    }
    void retarget(int bus) {
        if (bus < 0 || bus >= kBuses) return;
        const auto gains = targets(bus);
        for (size_t s = 0; s < 2; ++s) gains_[static_cast<size_t>(bus)][s].go(gains[s]);
    }

    std::array<std::array<Ramp, 2>, kBuses> gains_;
};

}  // namespace

std::unique_ptr<Unit> make_mixer(const ComponentDescription& asked, int channels, std::string* error) {
    if (!channels_supported(asked, channels, error)) return nullptr;
    return std::make_unique<Mixer>(channels);
}

}  // namespace fx

void register_mixers(UnitRegistry& registry) {
    registry.add(fx::kMixer, fx::make_mixer, {{fx::kMixer.type, fx::kMixer.subtype, kApple}});
}

}  // namespace omb
