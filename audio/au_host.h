// The audio engine: the one sample clock, the device that drives it, and the scheduler it wakes every buffer.
//
// Threads: the device's render thread calls render() (clock step and a wake-up, nothing else); the scheduler's
// queue thread runs due tasks; everything else only reads the clock or inserts tasks.
#pragma once

#include <atomic>
#include <memory>

#include "audio/audio_device.h"
#include "scheduler/sample_clock.h"
#include "scheduler/scheduler.h"

namespace omb {

class AUHost : public SampleClock {
public:
    static AUHost& singleton();

    // FRAMES is set by the caller first; the device's rate becomes SAMPLERATE.
    bool start(std::unique_ptr<AudioDevice> device);
    void stop();

    Scheduler& scheduler() { return scheduler_; }
    AudioDevice* device() { return device_.get(); }

    // The render notification: TIME advances by FRAMES before each buffer and the scheduler wakes.
    static void render(void* user, const float* const* inputs, int input_channels, float* const* outputs,
                       int output_channels, uint32_t frames);
    // Reports, off the render thread, a buffer whose frame count differed from FRAMES.
    void report_render_problems();

private:
    AUHost() = default;
    Scheduler& scheduler_ = Scheduler::singleton();  // the engine drives the program's one queue
    std::unique_ptr<AudioDevice> device_;
    std::atomic<bool> frame_mismatch_{false};
};

}  // namespace omb
