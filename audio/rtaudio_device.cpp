// The "alsa" and "pulse" drivers, through RtAudio: the system's default output device of that API, stereo, with its
// default input when it has one, rendered from RtAudio's callback thread in non-interleaved float32.
//
// Threads: RtAudio's callback thread calls render() and counts overruns; open, start and stop run on the owner's. A
// server that goes away (PulseAudio killed) makes every write fail, and RtAudio would then call us as fast as the
// machine goes, racing the clock: the callback thread notices cycles that all fail, aborts the stream and wakes a
// watcher thread of ours, which calls lost().
#include <RtAudio.h>
#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "audio/audio_device.h"
#include "platform/thread.h"

namespace omb {

namespace {

constexpr unsigned kMaxChannels = 2;
// The level the platform gives audio threads it owns; stated again below so the queue thread stays under it.
constexpr int kRenderPriority = 40;

// RtAudio's error callback has no user pointer: the last error of each thread is kept where open() can find it.
// A fixed buffer, since RtAudio's own thread may report too.
thread_local char t_last_error[256];

class RtAudioDevice;
// The device whose callback runs on this thread: RtAudio reports a failed write there, right after our callback.
thread_local RtAudioDevice* t_rendering = nullptr;

// Cycles in a row whose write failed before the device counts as gone; an underrun fails one cycle, then recovers.
constexpr int kFailedCyclesForLoss = 32;

void on_error(RtAudioError::Type type, const std::string& text);

class RtAudioDevice : public AudioDevice {
public:
    RtAudioDevice(RtAudio::Api api, std::string name, std::string label)
        : api_(api), name_(std::move(name)), label_(std::move(label)) {
        sem_init(&signal_, 0, 0);
    }

    ~RtAudioDevice() override {
        stop();
        close();
        sem_destroy(&signal_);
    }

    // On the callback thread, after our callback: this cycle's write or read failed.
    void cycle_failed() { cycle_failed_ = true; }

    bool open(uint32_t frames, int sample_rate) override {
        stop();
        close();
        t_last_error[0] = '\0';
        try {
            audio_ = std::make_unique<RtAudio>(api_);
            audio_->showWarnings(false);
            if (!open_stream(frames, sample_rate)) {
                close();
                return false;
            }
        } catch (const RtAudioError& e) {
            error_ = e.what();
            close();
            return false;
        }
        Thread::set_audio_realtime_level(kRenderPriority);
        return true;
    }

    bool start(RenderTarget target) override {
        if (gone_) error_ = "The " + label_ + " device has gone away";
        if (!audio_ || running_ || !target.render || gone_) return false;
        target_ = target;
        failed_cycles_ = 0;
        cycle_failed_ = false;
        try {
            audio_->startStream();
        } catch (const RtAudioError& e) {
            error_ = e.what();
            return false;
        }
        running_ = true;
        if (!watcher_) {
            watcher_ = std::make_unique<Thread>("ombrel audio loss", [this] { watch_for_loss(); });
            watcher_->start();
        }
        return true;
    }

    void stop() override {
        if (!audio_ || !running_) return;
        running_ = false;
        try {
            // Abort, not drain: a stop should be heard at once.
            if (audio_->isStreamRunning()) audio_->abortStream();
        } catch (const RtAudioError& e) {
            error_ = e.what();
        }
    }

    int sample_rate() const override { return rate_; }
    uint32_t frames() const override { return frames_; }
    int channels() const override { return static_cast<int>(output_channels_); }
    int input_channels() const override { return static_cast<int>(input_channels_); }
    std::string name() const override { return name_; }
    std::string error() const override { return error_; }
    uint64_t dropped_buffers() const override { return dropped_.load(std::memory_order_relaxed); }

private:
    bool open_stream(uint32_t frames, int sample_rate) {
        if (audio_->getDeviceCount() == 0) {
            error_ = "No " + label_ + " output device found";
            return false;
        }
        const unsigned output = audio_->getDefaultOutputDevice();
        const RtAudio::DeviceInfo info = audio_->getDeviceInfo(output);
        if (!info.probed || info.outputChannels == 0) {
            error_ = "The default " + label_ + " output device is not available";
            return false;
        }
        output_channels_ = std::min(kMaxChannels, info.outputChannels);
        const unsigned input = audio_->getDefaultInputDevice();
        input_channels_ = capture_channels(input);
        if (input_channels_ > 0 && try_open(output, input, frames, sample_rate)) return true;
        // No input, or the duplex stream was refused (input busy): play without capture.
        input_channels_ = 0;
        return try_open(output, input, frames, sample_rate);
    }

    // A device without capture is not an error: it plays without input.
    unsigned capture_channels(unsigned device) {
        try {
            const RtAudio::DeviceInfo info = audio_->getDeviceInfo(device);
            return info.probed ? std::min(kMaxChannels, info.inputChannels) : 0;
        } catch (const RtAudioError&) {
            return 0;
        }
    }

    bool try_open(unsigned output, unsigned input, uint32_t frames, int sample_rate) {
        RtAudio::StreamParameters out;
        out.deviceId = output;
        out.nChannels = output_channels_;
        RtAudio::StreamParameters in;
        in.deviceId = input;
        in.nChannels = input_channels_;
        RtAudio::StreamOptions options;
        options.flags = RTAUDIO_NONINTERLEAVED | RTAUDIO_SCHEDULE_REALTIME;
        options.priority = kRenderPriority;
        options.streamName = "ombrel";
        unsigned buffer_frames = frames;  // RtAudio may change it: what it took is what the device reports
        try {
            audio_->openStream(&out, input_channels_ > 0 ? &in : nullptr, RTAUDIO_FLOAT32,
                               static_cast<unsigned>(sample_rate), &buffer_frames, &RtAudioDevice::callback, this,
                               &options, &on_error);
        } catch (const RtAudioError& e) {
            error_ = e.what();
            return false;
        }
        if (!audio_->isStreamOpen()) {
            error_ = t_last_error[0] ? t_last_error : "Could not open the " + label_ + " output device";
            return false;
        }
        frames_ = buffer_frames;
        rate_ = static_cast<int>(audio_->getStreamSampleRate());
        return true;
    }

    void close() {
        if (watcher_) {
            closing_ = true;
            sem_post(&signal_);
            watcher_->join();
            watcher_.reset();
            closing_ = false;
        }
        if (!audio_) return;
        try {
            if (audio_->isStreamOpen()) audio_->closeStream();
        } catch (const RtAudioError& e) {
            error_ = e.what();
        }
        audio_.reset();
    }

    void watch_for_loss() {
        while (sem_wait(&signal_) != 0 && errno == EINTR) {
        }
        if (closing_) return;
        running_ = false;
        if (target_.lost) target_.lost(target_.user);
    }

    // Counts cycles that failed in a row; after too many the stream is aborted (RtAudio's return value 2) and the
    // watcher woken. True when this cycle is not to be rendered.
    bool device_gone() {
        failed_cycles_ = cycle_failed_ ? failed_cycles_ + 1 : 0;
        cycle_failed_ = false;
        if (failed_cycles_ < kFailedCyclesForLoss) return gone_;
        if (!gone_.exchange(true)) sem_post(&signal_);
        return true;
    }

    // Non-interleaved: each channel's frames follow the previous channel's.
    static int callback(void* output, void* input, unsigned frames, double, RtAudioStreamStatus status, void* user) {
        auto* self = static_cast<RtAudioDevice*>(user);
        t_rendering = self;
        if (self->device_gone()) {
            std::memset(output, 0, sizeof(float) * frames * self->output_channels_);
            return 2;
        }
        if (status & (RTAUDIO_INPUT_OVERFLOW | RTAUDIO_OUTPUT_UNDERFLOW))
            self->dropped_.fetch_add(1, std::memory_order_relaxed);
        float* outputs[kMaxChannels] = {};
        const float* inputs[kMaxChannels] = {};
        auto* out = static_cast<float*>(output);
        std::memset(out, 0, sizeof(float) * frames * self->output_channels_);
        for (unsigned c = 0; c < self->output_channels_; ++c) outputs[c] = out + static_cast<size_t>(c) * frames;
        const unsigned input_channels = input ? self->input_channels_ : 0;
        for (unsigned c = 0; c < input_channels; ++c)
            inputs[c] = static_cast<const float*>(input) + static_cast<size_t>(c) * frames;
        self->target_.render(self->target_.user, inputs, static_cast<int>(input_channels), outputs,
                             static_cast<int>(self->output_channels_), frames);
        return 0;
    }

    RtAudio::Api api_;
    std::string name_;
    std::string label_;  // the API's name in messages
    std::unique_ptr<RtAudio> audio_;
    RenderTarget target_;
    std::atomic<bool> running_{false};
    unsigned output_channels_ = kMaxChannels;
    unsigned input_channels_ = 0;
    uint32_t frames_ = 0;
    int rate_ = 0;
    std::atomic<uint64_t> dropped_{0};
    std::string error_;
    // Callback thread only.
    bool cycle_failed_ = false;
    int failed_cycles_ = 0;
    std::atomic<bool> gone_{false};
    std::atomic<bool> closing_{false};
    sem_t signal_;  // posted when the device is gone, and to end the watcher
    std::unique_ptr<Thread> watcher_;
};

void on_error(RtAudioError::Type type, const std::string& text) {
    if (type == RtAudioError::WARNING || type == RtAudioError::DEBUG_WARNING) {
        if (t_rendering) t_rendering->cycle_failed();
        return;
    }
    std::snprintf(t_last_error, sizeof t_last_error, "%s", text.c_str());
}

}  // namespace

std::unique_ptr<AudioDevice> make_alsa_device() {
    return std::make_unique<RtAudioDevice>(RtAudio::LINUX_ALSA, "alsa", "ALSA");
}

std::unique_ptr<AudioDevice> make_pulse_device() {
    return std::make_unique<RtAudioDevice>(RtAudio::LINUX_PULSE, "pulse", "PulseAudio");
}

}  // namespace omb
