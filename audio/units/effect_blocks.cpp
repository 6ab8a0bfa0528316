#include "audio/units/effect_blocks.h"

#include <algorithm>

namespace omb::fx {

namespace {

// Keeps the design away from DC and Nyquist, where the cookbook formulas degenerate.
double angular(double frequency, double sample_rate) {
    return 2.0 * kPi * std::clamp(frequency, 1.0, 0.49 * sample_rate) / sample_rate;
}

BiquadCoefficients normalised(double b0, double b1, double b2, double a0, double a1, double a2) {
    return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

}  // namespace

BiquadCoefficients BiquadCoefficients::low_pass(double frequency, double q, double sample_rate) {
    const double w = angular(frequency, sample_rate), cosw = std::cos(w);
    const double alpha = std::sin(w) / (2.0 * std::max(q, 1e-3));
    return normalised((1 - cosw) / 2, 1 - cosw, (1 - cosw) / 2, 1 + alpha, -2 * cosw, 1 - alpha);
}

BiquadCoefficients BiquadCoefficients::high_pass(double frequency, double q, double sample_rate) {
    const double w = angular(frequency, sample_rate), cosw = std::cos(w);
    const double alpha = std::sin(w) / (2.0 * std::max(q, 1e-3));
    return normalised((1 + cosw) / 2, -(1 + cosw), (1 + cosw) / 2, 1 + alpha, -2 * cosw, 1 - alpha);
}

BiquadCoefficients BiquadCoefficients::band_pass(double frequency, double octaves, double sample_rate) {
    const double w = angular(frequency, sample_rate), sinw = std::sin(w);
    const double alpha = sinw * std::sinh(std::log(2.0) / 2 * octaves * w / sinw);
    return normalised(alpha, 0, -alpha, 1 + alpha, -2 * std::cos(w), 1 - alpha);
}

}  // namespace omb::fx
