#include "audio/audio_device.h"

#include <cstring>

namespace omb {

bool OfflineDevice::open(uint32_t frames, int sample_rate) {
    frames_ = frames;
    rate_ = sample_rate;
    buffer_ = std::make_unique<float[]>(static_cast<size_t>(frames) * 2);
    return true;
}

bool OfflineDevice::start(RenderTarget target) {
    target_ = target;
    started_ = buffer_ != nullptr;
    return started_;
}

void OfflineDevice::render_buffers(uint64_t n) {
    if (!started_ || !target_.render) return;
    float* outputs[2] = {buffer_.get(), buffer_.get() + frames_};
    for (uint64_t i = 0; i < n; ++i) {
        std::memset(buffer_.get(), 0, sizeof(float) * frames_ * 2);
        target_.render(target_.user, nullptr, 0, outputs, 2, frames_);
    }
}

}  // namespace omb
