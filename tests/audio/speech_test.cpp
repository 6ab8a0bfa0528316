// Speech channels driven directly: synthesis off the caller's thread, the mix into every output, properties as
// 16.16 values that reach the voice, newer utterances cutting older ones off, the channel limit, and a machine
// without espeak-ng's data. Channels live for the program, so the tests share them and run in this order.
#include "audio/speech.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "audio/unit.h"
#include "scheduler/sample_clock.h"
#include "tests/support/log_capture.h"

namespace omb {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kFrames = 256;

using test::eventually;
using test::LogCapture;

bool becomes_idle() { return eventually([] { return speech_idle(); }, 20s); }

// The sample time of the next buffer the tests mix, as the engine's clock would count it.
int64_t window = 0;

// What the render would hear over `seconds`: each buffer starts at 0.25 in both outputs, which must stay equal.
struct Heard {
    std::vector<float> samples;
    float peak = 0;
    size_t first = 0, last = 0;  // the stretch that is not silent
    double seconds() const { return peak > 0 ? double(last - first) / SampleClock::SAMPLERATE.load() : 0; }
};

Heard listen(double seconds) {
    Heard heard;
    std::vector<float> left(kFrames), right(kFrames);
    float* outputs[] = {left.data(), right.data()};
    const auto buffers = static_cast<size_t>(seconds * SampleClock::SAMPLERATE.load() / kFrames);
    for (size_t b = 0; b < buffers; ++b) {
        std::fill(left.begin(), left.end(), 0.25f);
        std::fill(right.begin(), right.end(), 0.25f);
        speech_mix(outputs, 2, kFrames, window);
        window += kFrames;
        EXPECT_EQ(left, right) << "one voice, the same in every output";
        for (float x : left) {
            const float s = x - 0.25f;
            if (std::fabs(s) > 1e-4f) {
                if (heard.peak == 0) heard.first = heard.samples.size();
                heard.last = heard.samples.size();
            }
            heard.peak = std::max(heard.peak, std::fabs(s));
            heard.samples.push_back(s);
        }
    }
    return heard;
}

Heard say(SpeechChannel* channel, const std::string& text) {
    speech_speak(channel, text);
    EXPECT_TRUE(becomes_idle());
    return listen(20);
}

constexpr FourCC kRate = fourcc("rate"), kVolume = fourcc("volm");

TEST(Speech, SpeaksIntoEveryOutputWithItsProperties) {
    SpeechChannel* channel = speech_channel_new();
    ASSERT_NE(channel, nullptr);
    const Heard hello = say(channel, "hello");
    EXPECT_GT(hello.peak, 0.05f);
    EXPECT_TRUE(hello.seconds() > 0.2 && hello.seconds() < 2.0) << hello.seconds();

    // Asked for a later time and synthesised long before it, it is heard from its frame on, not sooner.
    speech_speak(channel, "hello", window + 10000);
    ASSERT_TRUE(becomes_idle());
    const Heard later = listen(2);
    EXPECT_GE(later.first, 10000u);
    EXPECT_LT(later.first, 10000u + 4410u) << "and not much later";
    EXPECT_NEAR(later.seconds(), hello.seconds(), 0.01);

    // Spoken out: a channel with nothing to say leaves the buffers exactly as they were.
    std::vector<float> left(kFrames), right(kFrames);
    for (uint32_t i = 0; i < kFrames; ++i) left[i] = right[i] = std::sin(float(i));
    const std::vector<float> before = left;
    float* outputs[] = {left.data(), right.data()};
    speech_mix(outputs, 2, kFrames, window);
    window += kFrames;
    EXPECT_EQ(left, before);
    EXPECT_EQ(right, before);

    // Properties are applied before each utterance.
    ASSERT_TRUE(speech_set_info(channel, kRate, speech_fixed(80)));
    const double slow = say(channel, "one two three four").seconds();
    ASSERT_TRUE(speech_set_info(channel, kRate, speech_fixed(400)));
    const double fast = say(channel, "one two three four").seconds();
    EXPECT_GT(slow, 2.5 * fast) << slow << " s at 80 words a minute, " << fast << " s at 400";
    // An utterance keeps the properties it was asked with, whenever it is synthesised.
    ASSERT_TRUE(speech_set_info(channel, kRate, speech_fixed(80)));
    speech_speak(channel, "one two three four");
    ASSERT_TRUE(speech_set_info(channel, kRate, speech_fixed(400)));
    ASSERT_TRUE(becomes_idle());
    EXPECT_NEAR(listen(20).seconds(), slow, 0.1);
    ASSERT_TRUE(speech_set_info(channel, kVolume, speech_fixed(0)));
    EXPECT_LT(say(channel, "quiet").peak, 1e-3f);
    ASSERT_TRUE(speech_set_info(channel, kVolume, speech_fixed(1)));

    // Two channels at once are heard together. (Not sample for sample the sum of each alone: the voice carries a
    // little from one utterance to the next.)
    SpeechChannel* other = speech_channel_new();
    ASSERT_NE(other, nullptr);
    auto energy = [](const Heard& h) {
        double e = 0;
        for (float x : h.samples) e += double(x) * x;
        return e;
    };
    const double first = energy(say(channel, "first voice")), second = energy(say(other, "the second voice"));
    speech_speak(channel, "first voice");
    speech_speak(other, "the second voice");
    ASSERT_TRUE(becomes_idle());
    const double both = energy(listen(20));
    EXPECT_NEAR(both, first + second, 0.25 * (first + second)) << first << " + " << second;
}

TEST(Speech, PropertiesAreSixteenSixteenAndChannelsAreChecked) {
    SpeechChannel* channel = speech_channel_new();
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(speech_get_info(channel, kRate), 175 * 65536);
    EXPECT_EQ(speech_get_info(channel, kVolume), 65536);

    ASSERT_TRUE(speech_set_info(channel, kRate, speech_fixed(200.5)));
    EXPECT_EQ(*speech_get_info(channel, kRate) / 65536.0, 200.5);
    EXPECT_EQ(speech_fixed(0.1), 6553) << "truncated";
    EXPECT_EQ(speech_fixed(1e12), std::numeric_limits<int32_t>::max()) << "saturated, not undefined";
    EXPECT_EQ(speech_fixed(-1e12), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(speech_fixed(std::nan("")), 0);

    EXPECT_FALSE(speech_set_info(channel, fourcc("xxxx"), 1));
    EXPECT_FALSE(speech_get_info(channel, fourcc("xxxx")).has_value());
    EXPECT_EQ(speech_get_info(channel, kRate), speech_fixed(200.5)) << "a refused selector changes nothing";

    // Only handles that were handed out name channels; nothing else is looked into.
    EXPECT_EQ(speech_channel_find(speech_channel_handle(channel)), channel);
    int not_a_channel = 0;
    EXPECT_EQ(speech_channel_find(&not_a_channel), nullptr);
    EXPECT_EQ(speech_channel_at(speech_channel_index(channel)), channel);
    EXPECT_EQ(speech_channel_at(-1), nullptr);
    EXPECT_EQ(speech_channel_at(kMaxSpeechChannels), nullptr);
}

TEST(Speech, ALongTextIsSynthesisedAsideAndANewerUtteranceCutsItOff) {
    LogCapture log;
    SpeechChannel* channel = speech_channel_new();
    ASSERT_NE(channel, nullptr);
    ASSERT_TRUE(speech_set_info(channel, kRate, speech_fixed(80)));
    std::string text;
    for (int i = 0; i < 250; ++i) text += "The quick brown fox jumps over the lazy dog. ";
    speech_speak(channel, text);
    EXPECT_FALSE(speech_idle()) << "the caller does not synthesise";
    listen(0.5);  // some of it may already play
    speech_speak(channel, "stop");
    ASSERT_TRUE(becomes_idle());
    EXPECT_TRUE(log.saw(log.errors, "Speech stopped after 10 minutes: the text is too long"))
        << "its memory is bounded";
    const Heard rest = listen(30);
    EXPECT_GT(rest.peak, 0.05f);
    EXPECT_LT(rest.seconds(), 2.0) << "only \"stop\" is left to hear, not minutes of the fox";
}

// Last: it takes every channel that is left.
TEST(Speech, ChannelsAreLimited) {
    LogCapture log;
    int made = 0;
    while (speech_channel_new()) ++made;
    EXPECT_NE(speech_channel_at(kMaxSpeechChannels - 1), nullptr);
    EXPECT_TRUE(log.saw(log.errors, "No more speech channels: at most 64"));
    EXPECT_EQ(speech_channel_new(), nullptr);
}

// In a fresh process: espeak-ng loads once, and here its data is not found.
TEST(SpeechWithoutData, ReportsOnceAndKeepsWorking) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto empty = std::filesystem::temp_directory_path() / ("ombrel-no-espeak-" + std::to_string(::getpid()));
    std::filesystem::create_directories(empty);
    EXPECT_EXIT(
        {
            ::setenv("ESPEAK_DATA_PATH", empty.c_str(), 1);
            LogCapture log;
            SpeechChannel* channel = speech_channel_new();
            speech_speak(channel, "hello");
            speech_speak(channel, "again");
            const bool idle = becomes_idle();
            const Heard heard = listen(1);
            const bool reported = log.saw(log.errors, "Speech is unavailable: espeak-ng could not start");
            int reports = 0;
            for (const auto& e : log.errors) reports += e.find("Speech is unavailable") != std::string::npos;
            std::fprintf(stderr, "idle %d peak %g reported %d times\n", idle, heard.peak, reports);
            std::_Exit(channel && idle && heard.peak == 0 && reported && reports == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "idle 1 peak 0 reported 1 times");
    std::filesystem::remove_all(empty);
}

}  // namespace
}  // namespace omb
