// Building blocks of the built-in effects and the mixer: denormal flushing, parameter ramps, biquads, one-pole
// filters, delay lines, the pan law. Everything here is real-time safe once made: the render thread only calls
// methods that neither allocate nor lock; DelayLine allocates in resize(), which units call from prepare().
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace omb::fx {

constexpr double kPi = 3.14159265358979323846;

// Flushes denormals to zero while alive (x86: FTZ and DAZ in MXCSR; AArch64: FZ in FPCR), restoring the caller's
// mode on exit. Recursive filters fed with silence decay into denormals, which cost a hundred times a normal
// operation on x86: every process() that runs a recursion holds one.
class DenormalGuard {
public:
    DenormalGuard() {
#if defined(__SSE__) || defined(__x86_64__)
        saved_ = _mm_getcsr();
        _mm_setcsr(saved_ | 0x8040u);  // FTZ (bit 15) | DAZ (bit 6)
#elif defined(__aarch64__)
        uint64_t fpcr;
        __asm__ __volatile__("mrs %0, fpcr" : "=r"(fpcr));
        saved_ = fpcr;
        fpcr |= (uint64_t(1) << 24);
        __asm__ __volatile__("msr fpcr, %0" : : "r"(fpcr));
#endif
    }
    ~DenormalGuard() {
#if defined(__SSE__) || defined(__x86_64__)
        _mm_setcsr(static_cast<unsigned>(saved_));
#elif defined(__aarch64__)
        __asm__ __volatile__("msr fpcr, %0" : : "r"(saved_));
#endif
    }
    DenormalGuard(const DenormalGuard&) = delete;
    DenormalGuard& operator=(const DenormalGuard&) = delete;

private:
    uint64_t saved_ = 0;
};

inline float db_to_gain(float db) { return std::pow(10.0f, db / 20.0f); }

// The parameter ramp of every unit: 2 ms, so a stepped gain does not click yet lands within a few hundred
// microseconds of its frame.
constexpr double kRampSeconds = 0.002;
inline uint32_t ramp_frames(double sample_rate) {
    const double frames = std::round(kRampSeconds * sample_rate);
    return frames < 1 ? 1u : static_cast<uint32_t>(frames);
}

// A value that glides linearly to a new target over a fixed number of frames, starting with the first next().
class Ramp {
public:
    void set_length(uint32_t frames) { length_ = frames ? frames : 1; }
    void jump(float value) {
        value_ = target_ = value;
        left_ = 0;
    }
    void go(float target) {
        target_ = target;
        left_ = length_;
        step_ = (target_ - value_) / static_cast<float>(length_);
    }
    // The value for the next frame.
    float next() {
        if (left_) value_ = --left_ ? value_ + step_ : target_;
        return value_;
    }
    // Advances `frames` frames at once; the value after them.
    float skip(uint32_t frames) {
        if (frames >= left_) {
            left_ = 0;
            value_ = target_;
        } else {
            left_ -= frames;
            value_ += step_ * static_cast<float>(frames);
        }
        return value_;
    }
    bool moving() const { return left_ != 0; }
    float value() const { return value_; }
    float target() const { return target_; }

private:
    float value_ = 0, target_ = 0, step_ = 0;
    uint32_t length_ = 1, left_ = 0;
};

// Biquad coefficients, normalised (a0 = 1), from the audio-EQ cookbook designs.
struct BiquadCoefficients {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;

    // `q`: the gain at the cutoff (a plain number, 0.7071 for Butterworth).
    static BiquadCoefficients low_pass(double frequency, double q, double sample_rate);
    static BiquadCoefficients high_pass(double frequency, double q, double sample_rate);
    // Unity gain at the centre; `octaves` between the -3 dB points.
    static BiquadCoefficients band_pass(double frequency, double octaves, double sample_rate);
};

// Transposed direct form II, in double: low cutoffs with a high Q put the poles too near the unit circle for float.
struct Biquad {
    double z1 = 0, z2 = 0;
    void reset() { z1 = z2 = 0; }
    float process(const BiquadCoefficients& c, float in) {
        const double x = in;
        const double y = c.b0 * x + z1;
        z1 = c.b1 * x - c.a1 * y + z2;
        z2 = c.b2 * x - c.a2 * y;
        return static_cast<float>(y);
    }
};

// One-pole low-pass y += (1 - p)(x - y): unity at DC, never above unity, so it is safe inside a feedback loop.
struct OnePoleLowPass {
    float pole = 0, state = 0;
    void set(double frequency, double sample_rate) {
        pole = static_cast<float>(std::exp(-2.0 * kPi * frequency / sample_rate));
    }
    float process(float in) {
        state = in + pole * (state - in);
        return state;
    }
};

// A mono ring of samples, a power of two long, read at a delay (in frames, fractional, at least 1) behind the
// next write. Reads come before the write of the same frame.
class DelayLine {
public:
    // Off the render thread: room for delays up to `max_delay` frames; cleared.
    void resize(uint32_t max_delay) {
        uint32_t size = 2;
        while (size < max_delay + 2) size <<= 1;
        buffer_ = std::make_unique<float[]>(size);
        mask_ = size - 1;
        write_ = 0;
        max_delay_ = max_delay;
    }
    void clear() {
        for (uint32_t i = 0; i <= mask_ && buffer_; ++i) buffer_[i] = 0;
        write_ = 0;
    }
    uint32_t max_delay() const { return max_delay_; }
    float read(uint32_t delay) const { return buffer_[(write_ - delay) & mask_]; }
    // Linear interpolation between the two frames around the delay.
    float read(float delay) const {
        const auto whole = static_cast<uint32_t>(delay);
        const float frac = delay - static_cast<float>(whole);
        const float a = buffer_[(write_ - whole) & mask_];
        const float b = buffer_[(write_ - whole - 1) & mask_];
        return a + frac * (b - a);
    }
    void write(float value) {
        buffer_[write_ & mask_] = value;
        ++write_;
    }

private:
    std::unique_ptr<float[]> buffer_;
    uint32_t mask_ = 0, write_ = 0, max_delay_ = 0;
};

// The pan law of the gain unit and the mixer, for a stereo pair: equal power (left² + right² = 2 for any pan), scaled
// so the centre leaves both sides at unity. Hard left: √2 on the left, silence on the right. A mono source copied to
// both sides is thereby panned at constant loudness.
struct PanGains {
    float left, right;
};
inline PanGains pan_gains(float pan) {
    const double angle = (static_cast<double>(pan) + 1.0) * kPi / 4.0;
    auto side = [](double g) { return g < 1e-7 ? 0.0f : static_cast<float>(std::sqrt(2.0) * g); };  // exact silence
    return {side(std::cos(angle)), side(std::sin(angle))};
}

}  // namespace omb::fx
