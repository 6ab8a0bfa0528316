// Audio devices: what the engine needs of one is buffers of frames and a call to render each.
//
// Drivers: "jack" (a JACK client; the choice for musicians), "alsa" and "pulse" (through RtAudio), "null" (a timer
// thread renders silent buffers in real time: the clock runs, nothing sounds) and "offline" (buffers rendered as
// fast as the owner asks: tests and rendering to files).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace omb {

// Called on the device's render thread for every buffer: no locks, no allocation, no logging there.
struct RenderTarget {
    // `inputs`: the device's capture channels (none when it has no input); `outputs`: its playback channels, to be
    // filled. Both non-interleaved, `frames` frames each.
    void (*render)(void* user, const float* const* inputs, int input_channels, float* const* outputs,
                   int output_channels, uint32_t frames) = nullptr;
    // Called once, never from inside render(), when the device has stopped for good (the JACK server went away):
    // the owner carries on without it.
    void (*lost)(void* user) = nullptr;
    // Called off the render thread when the device changes its buffer size (a JACK server asked for another), before
    // the first render of the new size.
    void (*frames_changed)(void* user, uint32_t frames) = nullptr;
    void* user = nullptr;
};

// Work another module does on the device's render thread, once per buffer just before the render (JACK MIDI on
// the device's own client), and what it must hear before the client goes.
struct ProcessHook {
    void (*process)(void* user, uint32_t frames) = nullptr;  // render thread: same rules as render()
    // Off the render thread, once the hook will not run again: before the client closes (the device stops, or its
    // server went away: `server_gone`, when the client must not be called any more), or when the hook is removed.
    void (*closing)(void* user, bool server_gone) = nullptr;
    void* user = nullptr;
};

class AudioDevice {
public:
    virtual ~AudioDevice() = default;
    // Asks for buffers of `frames` frames at `sample_rate`; a device that has its own (a JACK server) keeps them:
    // frames() and sample_rate() tell what it took. False, with error() saying why, when it cannot be opened.
    virtual bool open(uint32_t frames, int sample_rate) = 0;
    virtual bool start(RenderTarget target) = 0;
    virtual void stop() = 0;
    virtual int sample_rate() const = 0;
    virtual uint32_t frames() const = 0;
    virtual int channels() const = 0;
    virtual int input_channels() const { return 0; }
    virtual std::string name() const = 0;
    virtual std::string error() const { return {}; }
    // Buffers the device could not render in time (an overrun, an xrun, a stalled timer) since it started: read
    // off the render thread, which only counts.
    virtual uint64_t dropped_buffers() const { return 0; }
    // The device's JACK client (a jack_client_t*) for JACK MIDI to share; null for other drivers or once closed.
    virtual void* jack_client() { return nullptr; }
    // Installs the one hook; false when the device takes none or has one. A hook without `process` removes the one
    // whose user it names (its closing() is called). A hook stays until removed or the client closes.
    virtual bool set_process_hook(ProcessHook) { return false; }
};

// "jack", "alsa", "pulse", "null" or "offline"; nullptr for an unknown name. Not opened yet.
std::unique_ptr<AudioDevice> make_audio_device(const std::string& driver);
// The default: JACK when a server runs, else the system's default device, else null (with `fell_back` set, for the
// notification that no sound device was found). Opened with `frames` and `sample_rate`.
std::unique_ptr<AudioDevice> open_default_audio_device(uint32_t frames, int sample_rate, bool* fell_back);

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
    // The channels the last buffer rendered, for a render to a file.
    const float* output(int channel) const { return buffer_.get() + static_cast<size_t>(channel) * frames_; }

private:
    RenderTarget target_;
    uint32_t frames_ = 256;
    int rate_ = 44100;
    bool started_ = false;
    std::unique_ptr<float[]> buffer_;
};

}  // namespace omb
