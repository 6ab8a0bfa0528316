#include "audio/movie_tap.h"

#include <algorithm>
#include <cstring>

namespace omb {

namespace {

constexpr int64_t kBlock = MovieTap::BLOCK_FRAMES;

int64_t block_of(int64_t t) { return (t >= 0 ? t / kBlock : (t - kBlock + 1) / kBlock) * kBlock; }

}  // namespace

MovieTap::MovieTap(bool with_audio, uint32_t ring_blocks)
    : with_audio_(with_audio), capacity_(std::max<uint32_t>(ring_blocks, 2)), ring_(new Block[capacity_]) {}

void MovieTap::open_block(int64_t start, bool preroll) noexcept {
    block_start_ = start;
    const uint64_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) >= capacity_) {
        filling_ = nullptr;
        return;
    }
    filling_ = &ring_[head % capacity_];
    filling_->start = start;
    filling_->preroll = preroll;
    // Frames a block never received (the clock jumped away from it, or the tap began inside it) stay silent.
    if (with_audio_) std::memset(filling_->samples, 0, sizeof filling_->samples);
}

void MovieTap::hand_over() noexcept {
    if (!filling_) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    filling_ = nullptr;
    head_.fetch_add(1, std::memory_order_release);
}

void MovieTap::copy_in(const float* const* channels, int channel_count, uint32_t from, uint32_t frames,
                       uint32_t at) noexcept {
    if (!with_audio_ || !filling_ || channel_count <= 0) return;
    const float* left = channels[0] + from;
    const float* right = (channel_count > 1 ? channels[1] : channels[0]) + from;
    float* out = filling_->samples + static_cast<size_t>(at) * CHANNELS;
    for (uint32_t i = 0; i < frames; ++i) {
        out[2 * i] = left[i];
        out[2 * i + 1] = right[i];
    }
}

void MovieTap::push(const float* const* channels, int channel_count, uint32_t frames, int64_t window) noexcept {
    if (with_audio_ && channel_count <= 0) no_audio_.store(true, std::memory_order_relaxed);
    if (!started_) {
        started_ = true;
        const int64_t first = block_of(window);
        if (first == window) {
            // Started on a boundary: the preroll is empty and the movie starts here.
            open_block(window - kBlock, true);
            hand_over();
            open_block(window, false);
        } else {
            open_block(first, true);
        }
    }
    uint32_t done = 0;
    while (done < frames) {
        const int64_t t = window + done;
        if (block_of(t) != block_start_) {  // the clock was moved: the block in hand goes as it is
            hand_over();
            open_block(block_of(t), false);
        }
        const auto at = static_cast<uint32_t>(t - block_start_);
        const uint32_t n = std::min(frames - done, BLOCK_FRAMES - at);
        copy_in(channels, channel_count, done, n, at);
        done += n;
        if (at + n == BLOCK_FRAMES) {
            hand_over();
            open_block(block_start_ + kBlock, false);
        }
    }
}

const MovieTap::Block* MovieTap::front() const noexcept {
    const uint64_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load(std::memory_order_acquire)) return nullptr;
    return &ring_[tail % capacity_];
}

void MovieTap::pop() noexcept {
    const uint64_t tail = tail_.load(std::memory_order_relaxed);
    if (tail != head_.load(std::memory_order_acquire)) tail_.store(tail + 1, std::memory_order_release);
}

}  // namespace omb
