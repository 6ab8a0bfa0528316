// The movie tap on its own: blocks aligned on the sample clock whatever the buffer size, the preroll, a full ring
// counting its losses, a clock moved under it, and mono or missing channels.
#include <gtest/gtest.h>

#include <vector>

#include "audio/movie_tap.h"

namespace omb {
namespace {

constexpr uint32_t kBlock = MovieTap::BLOCK_FRAMES;

// Pushes [from, to) in buffers of `frames`, left = the sample time, right = its negative.
void push_range(MovieTap& tap, int64_t from, int64_t to, uint32_t frames, int channels = 2) {
    std::vector<float> left(frames), right(frames);
    for (int64_t t = from; t < to; t += frames) {
        for (uint32_t i = 0; i < frames; ++i) {
            left[i] = static_cast<float>(t + i);
            right[i] = -static_cast<float>(t + i);
        }
        const float* channel[2] = {left.data(), right.data()};
        tap.push(channel, channels, frames, t);
    }
}

std::vector<MovieTap::Block> take_all(MovieTap& tap) {
    std::vector<MovieTap::Block> blocks;
    while (const MovieTap::Block* b = tap.front()) {
        blocks.push_back(*b);
        tap.pop();
    }
    return blocks;
}

TEST(MovieTap, BlocksFollowTheClockWhateverTheBufferSize) {
    for (uint32_t frames : {64u, 256u, 441u, 3000u}) {
        MovieTap tap(true);
        const int64_t start = 1000;  // inside block 0: block 0 is the preroll
        push_range(tap, start, start + 5 * kBlock, frames);
        const auto blocks = take_all(tap);
        ASSERT_GE(blocks.size(), 4u) << frames;
        EXPECT_TRUE(blocks[0].preroll);
        EXPECT_EQ(blocks[0].start, 0);
        for (size_t b = 1; b < blocks.size(); ++b) {
            EXPECT_FALSE(blocks[b].preroll);
            ASSERT_EQ(blocks[b].start, static_cast<int64_t>(b * kBlock)) << frames;
            for (uint32_t i = 0; i < kBlock; i += 97) {
                ASSERT_EQ(blocks[b].samples[2 * i], static_cast<float>(blocks[b].start + i)) << frames;
                ASSERT_EQ(blocks[b].samples[2 * i + 1], -static_cast<float>(blocks[b].start + i)) << frames;
            }
        }
    }
}

TEST(MovieTap, StartingOnABoundaryGivesAnEmptyPrerollAtOnce) {
    MovieTap tap(true);
    push_range(tap, 4096, 4096 + 256, 256);
    const auto blocks = take_all(tap);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_TRUE(blocks[0].preroll);
    EXPECT_EQ(blocks[0].start, 4096 - static_cast<int64_t>(kBlock));
}

TEST(MovieTap, AFullRingCountsWhatItLosesAndTakesBlocksAgainOnceEmptied) {
    MovieTap tap(true, 4);
    push_range(tap, 0, 10 * kBlock, 256);  // preroll + 10 blocks, 4 fit
    EXPECT_EQ(tap.dropped(), 7u);
    EXPECT_EQ(take_all(tap).size(), 4u);
    // Block 10 began while the ring was full: it is lost whole, never handed over half silent.
    push_range(tap, 10 * kBlock, 12 * kBlock, 256);
    const auto blocks = take_all(tap);
    EXPECT_EQ(tap.dropped(), 8u);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].start, 11 * static_cast<int64_t>(kBlock));
    EXPECT_EQ(blocks[0].samples[0], static_cast<float>(11 * kBlock));
}

TEST(MovieTap, AMovedClockHandsOverTheBlockInHandWithSilenceAfterWhatItGot) {
    MovieTap tap(true);
    push_range(tap, 0, 1024, 256);          // preroll (empty), then half of block 0
    push_range(tap, 100000, 100256, 256);   // the clock jumps
    const auto blocks = take_all(tap);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[1].start, 0);
    EXPECT_EQ(blocks[1].samples[2 * 1023], 1023.0f);
    EXPECT_EQ(blocks[1].samples[2 * 1024], 0.0f);
    push_range(tap, 100256, 104448, 256);
    const auto later = take_all(tap);
    ASSERT_FALSE(later.empty());
    EXPECT_EQ(later[0].start, 100000 / kBlock * kBlock);
}

TEST(MovieTap, MonoGoesToBothSidesAndNoChannelIsFlagged) {
    MovieTap mono(true);
    push_range(mono, 0, 3 * kBlock, 256, 1);
    const auto blocks = take_all(mono);
    ASSERT_GE(blocks.size(), 2u);
    EXPECT_EQ(blocks[1].samples[2 * 5], blocks[1].samples[2 * 5 + 1]);
    EXPECT_FALSE(mono.saw_no_audio());
    MovieTap none(true);
    push_range(none, 0, 3 * kBlock, 256, 0);
    EXPECT_TRUE(none.saw_no_audio());
    EXPECT_GE(take_all(none).size(), 2u) << "the clock runs on without sound";
}

}  // namespace
}  // namespace omb
