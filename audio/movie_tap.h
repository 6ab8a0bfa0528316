// The movie tap: the clock and the sound of a movie recording. The engine's render thread pushes what it rendered;
// the tap cuts it into blocks of 2048 sample frames (stereo, interleaved float, left then right) aligned on the
// sample clock (a block starts at a multiple of 2048) and hands each full block to the movie thread through a
// single-producer single-consumer ring of preallocated blocks. A block's arrival is the movie's frame clock: one
// video frame per block.
//
// The first block handed over is the "preroll": the part of a block rendered before the first block boundary (empty
// when the tap started on one). Its sound is not recorded; its arrival marks the boundary where the movie starts.
//
// Threads: push() belongs to one render thread at a time (the producer; no lock, no allocation, no wait); front()
// and pop() to the movie thread (the consumer). The counters may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace omb {

class MovieTap {
public:
    static constexpr uint32_t BLOCK_FRAMES = 2048;
    static constexpr int CHANNELS = 2;

    struct Block {
        int64_t start = 0;  // sample time of the block's first frame
        bool preroll = false;
        float samples[BLOCK_FRAMES * CHANNELS];
    };

    // `with_audio` false: blocks still mark the clock, their samples are left silent (nothing is copied).
    explicit MovieTap(bool with_audio, uint32_t ring_blocks = 64);
    MovieTap(const MovieTap&) = delete;
    MovieTap& operator=(const MovieTap&) = delete;

    // Render thread: `frames` frames rendered from sample time `window` on, one array per channel. Stereo and more
    // take channels 0 and 1; mono goes to both sides; no channel at all is recorded as silence and flagged. A
    // jump of the clock (au:set-global-time) hands over the block being filled as it is and starts afresh.
    void push(const float* const* channels, int channel_count, uint32_t frames, int64_t window) noexcept;

    // Movie thread: the oldest block not yet taken, or null; pop() lets it go back to the producer.
    const Block* front() const noexcept;
    void pop() noexcept;

    // Blocks that found the ring full and were lost (a movie thread that cannot keep up).
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
    uint64_t handed_over() const { return head_.load(std::memory_order_relaxed); }
    // Set when a render with audio had no output channel to record.
    bool saw_no_audio() const { return no_audio_.load(std::memory_order_relaxed); }
    uint32_t capacity() const { return capacity_; }

private:
    void open_block(int64_t start, bool preroll) noexcept;
    void hand_over() noexcept;
    void copy_in(const float* const* channels, int channel_count, uint32_t from, uint32_t frames,
                 uint32_t at) noexcept;

    const bool with_audio_;
    const uint32_t capacity_;
    std::unique_ptr<Block[]> ring_;
    // Producer's state.
    Block* filling_ = nullptr;  // null while the ring is full: the block being rendered is lost
    int64_t block_start_ = 0;
    bool started_ = false;
    // Block counts since the start, never wrapped: head_ the producer's, tail_ the consumer's.
    alignas(64) std::atomic<uint64_t> head_{0};
    alignas(64) std::atomic<uint64_t> tail_{0};
    alignas(64) std::atomic<uint64_t> dropped_{0};
    std::atomic<bool> no_audio_{false};
};

}  // namespace omb
