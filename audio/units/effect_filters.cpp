// Low-pass, high-pass and band-pass filters: one biquad per channel, sharing its coefficients.
#include <algorithm>
#include <array>
#include <cmath>

#include "audio/units/effect_blocks.h"
#include "audio/units/effect_units.h"

namespace omb::fx {

namespace {

enum : uint32_t { kFrequency, kShape };  // shape: resonance (dB) for low/high-pass, bandwidth (cents) for band-pass
enum class Kind { low, high, band };

// While a change glides, the coefficients are redesigned every this many frames: smooth enough for a sweep, cheap
// enough to leave the glide on for every change.
constexpr uint32_t kRedesignFrames = 16;

std::vector<ParameterInfo> filter_parameters(Kind kind) {
    if (kind == Kind::band)
        return {param(kFrequency, "center frequency", kUnitHertz, 20, 20000, 5000),
                param(kShape, "bandwidth", kUnitCents, 100, 12000, 600)};
    return {param(kFrequency, "cutoff frequency", kUnitHertz, 10, 20000, 6900),
            param(kShape, "resonance", kUnitDecibels, -20, 40, 0)};
}

class Filter final : public Effect {
public:
    Filter(const ComponentDescription& asked, int channels, Kind kind)
        : Effect(effect_description(asked), filter_parameters(kind), channels), kind_(kind) {}

    void prepare(double sample_rate, uint32_t max_frames) override {
        Unit::prepare(sample_rate, max_frames);
        // The frequency glides in octaves, so a sweep sounds even from bottom to top.
        pitch_.set_length(ramp_frames(sample_rate));
        shape_.set_length(ramp_frames(sample_rate));
        pitch_.jump(std::log2(setting(kFrequency)));
        shape_.jump(setting(kShape));
        design();
        for (auto& b : biquads_) b.reset();
    }

protected:
    void parameter_changed(uint32_t id, int, int, float value) override {
        value = limited(id, value);
        if (id == kFrequency) pitch_.go(std::log2(value));
        else if (id == kShape) shape_.go(value);
    }

    void process(const BusBuffer* inputs, BusBuffer& output, uint32_t offset, uint32_t count) override {
        DenormalGuard guard;
        const uint32_t end = offset + count;
        for (uint32_t i = offset; i < end;) {
            uint32_t n = end - i;
            if (pitch_.moving() || shape_.moving()) {
                n = std::min(n, kRedesignFrames);
                pitch_.skip(n);
                shape_.skip(n);
                design();
            }
            for (int c = 0; c < output.count; ++c) {
                const float* in = inputs[0].channels[std::min(c, inputs[0].count - 1)];
                float* out = output.channels[c];
                Biquad& b = biquads_[static_cast<size_t>(c)];
                for (uint32_t k = i; k < i + n; ++k) out[k] = b.process(coefficients_, in[k]);
            }
            i += n;
        }
    }

private:
    void design() {
        const double frequency = std::exp2(static_cast<double>(pitch_.value()));
        const double shape = shape_.value();
        switch (kind_) {
        case Kind::low:
            coefficients_ = BiquadCoefficients::low_pass(frequency, std::pow(10.0, shape / 20), sample_rate());
            break;
        case Kind::high:
            coefficients_ = BiquadCoefficients::high_pass(frequency, std::pow(10.0, shape / 20), sample_rate());
            break;
        case Kind::band: coefficients_ = BiquadCoefficients::band_pass(frequency, shape / 1200, sample_rate()); break;
        }
    }

    Kind kind_;
    Ramp pitch_, shape_;
    BiquadCoefficients coefficients_;
    std::array<Biquad, 2> biquads_;
};

}  // namespace

std::unique_ptr<Unit> make_filter(const ComponentDescription& asked, int channels, std::string* error) {
    if (!channels_supported(asked, channels, error)) return nullptr;
    Kind kind;
    if (asked.subtype == fourcc("lpas")) kind = Kind::low;
    else if (asked.subtype == fourcc("hpas")) kind = Kind::high;
    else if (asked.subtype == fourcc("bpas")) kind = Kind::band;
    else {
        if (error) *error = "no filter " + fourcc_text(asked.subtype);
        return nullptr;
    }
    return std::make_unique<Filter>(asked, channels, kind);
}

}  // namespace omb::fx
