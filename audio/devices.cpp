// Choosing an audio device by name, or the best one this machine has.
#include "audio/audio_device.h"

namespace omb {

std::unique_ptr<AudioDevice> make_null_device();

std::unique_ptr<AudioDevice> make_audio_device(const std::string& driver) {
    if (driver == "null") return make_null_device();
    if (driver == "offline") return std::make_unique<OfflineDevice>();
    return nullptr;
}

std::unique_ptr<AudioDevice> open_default_audio_device(uint32_t frames, int sample_rate, bool* fell_back) {
    auto device = make_null_device();
    if (fell_back) *fell_back = true;
    if (!device->open(frames, sample_rate)) return nullptr;
    return device;
}

}  // namespace omb
