#include "audio/au_host.h"

#include <cstdlib>
#include <ctime>

#include "platform/dev_log.h"
#include "platform/log_bridge.h"

namespace omb {

AUHost& AUHost::singleton() {
    static AUHost host;
    return host;
}

bool AUHost::start(std::unique_ptr<AudioDevice> device) {
    std::srand(static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(std::clock()));
    if (!device || !device->open(static_cast<uint32_t>(FRAMES.load()), SAMPLERATE.load())) return false;
    set_sample_rate(device->sample_rate());
    CHANNELS = device->channels();
    device_ = std::move(device);
    scheduler_.set_slice_hook([this] { report_render_problems(); });
    scheduler_.start_thread();
    if (!device_->start(RenderTarget{&AUHost::render, nullptr, this})) return false;
    devlog("AUDIO SERVER STARTED (%s, %d Hz, %d frames)", device_->name().c_str(), SAMPLERATE.load(), FRAMES.load());
    return true;
}

void AUHost::stop() {
    if (device_) device_->stop();
    scheduler_.stop_thread();
}

void AUHost::render(void* user, const float* const*, int, float* const*, int, uint32_t frames) {
    auto* host = static_cast<AUHost*>(user);
    TIME.fetch_add(static_cast<uint64_t>(FRAMES.load(std::memory_order_relaxed)), std::memory_order_release);
    if (frames != static_cast<uint32_t>(FRAMES.load(std::memory_order_relaxed)))
        host->frame_mismatch_.store(true, std::memory_order_relaxed);
    host->scheduler_.wake();
}

void AUHost::report_render_problems() {
    if (frame_mismatch_.exchange(false)) CPPBridge::error("FRAME MISMATCH IN AUHOST!");
}

}  // namespace omb
