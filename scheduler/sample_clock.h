// The sample clock: one 64-bit count of audio frames that every timed operation in the program refers to.
//
// Written by the audio render thread (one addition per buffer) and by "au:set-global-time"; read by every
// thread. The audio engine exposes these as its own statics (AUHost::TIME and friends).
#pragma once

#include <atomic>
#include <cstdint>

namespace omb {

struct SampleClock {
    static inline std::atomic<uint64_t> TIME{0};  // frames since start, advanced by FRAMES before each buffer
    static inline std::atomic<int> FRAMES{512};   // frames per buffer
    static inline std::atomic<int> SAMPLERATE{44100};
    static inline std::atomic<int> CHANNELS{2};
    static inline std::atomic<int> SECOND{44100};
    static inline std::atomic<int> MINUTE{44100 * 60};
    static inline std::atomic<int> HOUR{44100 * 3600};
    static inline std::atomic<double> BEAT{0.0};
    static inline std::atomic<double> TEMPO{60.0};
    // Late tasks: reaped when more than REAPER_TIME samples late (0: never); callbacks only with REAP_CALLBACKS.
    static inline std::atomic<int64_t> REAPER_TIME{0};
    static inline std::atomic<bool> REAP_CALLBACKS{false};

    // Sets SAMPLERATE and the samples per second, minute and hour from a device's rate.
    static void set_sample_rate(int rate) {
        SAMPLERATE = rate;
        SECOND = rate;
        MINUTE = rate * 60;
        HOUR = rate * 3600;
    }
};

}  // namespace omb
