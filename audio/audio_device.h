// Audio devices: what the engine needs of one is buffers of FRAMES frames and a call before each is rendered.
//
// Drivers: "null" (a timer thread renders silent buffers in real time: the clock runs, nothing sounds) and
// "offline" (buffers rendered as fast as the owner asks: tests and rendering to files). JACK and ALSA/PulseAudio
// drivers plug in behind the same interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace omb {

// Called on the device's render thread for every buffer: no locks, no allocation, no logging there.
struct RenderTarget {
    void (*render)(void* user, float* const* outputs, int channels, uint32_t frames) = nullptr;
    void* user = nullptr;
};

class AudioDevice {
public:
    virtual ~AudioDevice() = default;
    virtual bool open(uint32_t frames, int sample_rate) = 0;
    virtual bool start(RenderTarget target) = 0;
    virtual void stop() = 0;
    virtual int sample_rate() const = 0;
    virtual uint32_t frames() const = 0;
    virtual int channels() const = 0;
    virtual std::string name() const = 0;
    // Buffers the device could not render in time (an overrun of a sound card, a stalled timer): any thread.
    virtual uint64_t dropped_buffers() const { return 0; }
};

// "null" or "offline"; nullptr for an unknown name.
std::unique_ptr<AudioDevice> make_audio_device(const std::string& driver);

// The offline driver's own handle: renders n buffers on the calling thread.
class OfflineDevice : public AudioDevice {
public:
    bool open(uint32_t frames, int sample_rate) override;
    bool start(RenderTarget target) override;
    void stop() override { started_ = false; }
    int sample_rate() const override { return rate_; }
    uint32_t frames() const override { return frames_; }
    int channels() const override { return 2; }
    std::string name() const override { return "offline"; }
    void render_buffers(uint64_t n);

private:
    RenderTarget target_;
    uint32_t frames_ = 256;
    int rate_ = 44100;
    bool started_ = false;
    std::unique_ptr<float[]> buffer_;
};

}  // namespace omb
