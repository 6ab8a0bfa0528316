// Choosing an audio device by name, or the best one this machine has.
#include "audio/audio_device.h"

namespace omb {

std::unique_ptr<AudioDevice> make_null_device();
std::unique_ptr<AudioDevice> make_jack_device();
std::unique_ptr<AudioDevice> make_alsa_device();
std::unique_ptr<AudioDevice> make_pulse_device();

std::unique_ptr<AudioDevice> make_audio_device(const std::string& driver) {
    if (driver == "jack") return make_jack_device();
    if (driver == "alsa") return make_alsa_device();
    if (driver == "pulse") return make_pulse_device();
    if (driver == "null") return make_null_device();
    if (driver == "offline") return std::make_unique<OfflineDevice>();
    return nullptr;
}

std::unique_ptr<AudioDevice> open_default_audio_device(uint32_t frames, int sample_rate, bool* fell_back) {
    if (fell_back) *fell_back = false;
    // A running JACK server is the musician's own choice; then the system's sound server, then its hardware.
    for (const char* driver : {"jack", "pulse", "alsa"}) {
        auto device = make_audio_device(driver);
        if (device->open(frames, sample_rate)) return device;
    }
    auto device = make_null_device();
    if (fell_back) *fell_back = true;
    if (!device->open(frames, sample_rate)) return nullptr;
    return device;
}

}  // namespace omb
