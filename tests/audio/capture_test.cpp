// Captures written from a thread that pushes like the render thread, then read back with libsndfile and FFmpeg.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "audio/capture.h"
#include "audio_test_support.h"

namespace omb {
namespace {

namespace fs = std::filesystem;
using Format = AudioCapture::Format;
constexpr double kPi = 3.14159265358979323846;

class Capture : public ::testing::Test {
protected:
    std::string path(const char* name) const { return dir_.file(name); }
    test::TempDir dir_;
};

// The signal of engine channel c at frame f.
using Signal = std::function<float(int c, uint64_t f)>;

Signal sines(std::vector<double> frequencies, double rate, float amplitude) {
    return [=](int c, uint64_t f) {
        return amplitude * static_cast<float>(std::sin(2 * kPi * frequencies[c] * static_cast<double>(f) / rate));
    };
}

// Pushes `total` frames from a thread of its own, `buffer` frames at a time, as a render thread would (buffers made
// before the push, nothing else done in it). With `wait`, it waits for room first, as an offline render does. push()
// must allocate nothing, whether the buffer fits or is lost, whatever the format the writer encodes meanwhile.
void render(AudioCapture& capture, int channels, uint64_t total, const Signal& signal, uint32_t buffer = 256,
            bool wait = false) {
    long allocated = 0;
    std::thread thread([&] {
        std::vector<std::vector<float>> data(channels, std::vector<float>(buffer));
        std::vector<const float*> pointers(channels);
        for (uint64_t at = 0; at < total; at += buffer) {
            const auto n = static_cast<uint32_t>(std::min<uint64_t>(buffer, total - at));
            for (int c = 0; c < channels; ++c) {
                for (uint32_t f = 0; f < n; ++f) data[c][f] = signal(c, at + f);
                pointers[c] = data[c].data();
            }
            if (wait) {
                ASSERT_TRUE(capture.wait_for_space(n, std::chrono::seconds(10)));
            }
            allocated += alloc_count::during([&] { capture.push(pointers.data(), channels, n); });
        }
    });
    thread.join();
    EXPECT_EQ(allocated, 0) << "allocations in push()";
}

struct Sound {
    int rate = 0, channels = 0, format = 0;
    int64_t container_frames = -1;  // the length the container states, where it states one exactly
    std::vector<std::vector<float>> samples;  // per channel
    size_t frames() const { return samples.empty() ? 0 : samples[0].size(); }
};

Sound read_sndfile(const std::string& file) {
    Sound sound;
    SF_INFO info{};
    SNDFILE* in = sf_open(file.c_str(), SFM_READ, &info);
    if (!in) return sound;
    sound.rate = info.samplerate;
    sound.channels = info.channels;
    sound.format = info.format;
    std::vector<float> interleaved(static_cast<size_t>(info.frames) * info.channels);
    sf_readf_float(in, interleaved.data(), info.frames);
    sf_close(in);
    sound.samples.assign(info.channels, std::vector<float>(info.frames));
    for (sf_count_t f = 0; f < info.frames; ++f)
        for (int c = 0; c < info.channels; ++c) sound.samples[c][f] = interleaved[f * info.channels + c];
    return sound;
}

Sound decode_ffmpeg(const std::string& file, AVCodecID* codec_id) {
    Sound sound;
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, file.c_str(), nullptr, nullptr) < 0) return sound;
    avformat_find_stream_info(in, nullptr);
    const AVCodec* codec = nullptr;
    const int stream = av_find_best_stream(in, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (stream < 0) {
        avformat_close_input(&in);
        return sound;
    }
    *codec_id = in->streams[stream]->codecpar->codec_id;
    if (in->streams[stream]->duration != AV_NOPTS_VALUE && in->streams[stream]->time_base.num == 1)
        sound.container_frames = in->streams[stream]->duration * in->streams[stream]->codecpar->sample_rate /
                                 in->streams[stream]->time_base.den;
    AVCodecContext* decoder = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(decoder, in->streams[stream]->codecpar);
    avcodec_open2(decoder, codec, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto take_frames = [&] {
        while (avcodec_receive_frame(decoder, frame) >= 0) {
            sound.rate = frame->sample_rate;
            sound.channels = frame->ch_layout.nb_channels;
            sound.samples.resize(sound.channels);
            for (int c = 0; c < sound.channels; ++c) {
                const auto* samples = reinterpret_cast<const float*>(frame->extended_data[c]);
                sound.samples[c].insert(sound.samples[c].end(), samples, samples + frame->nb_samples);
            }
        }
    };
    while (av_read_frame(in, packet) >= 0) {
        if (packet->stream_index == stream) avcodec_send_packet(decoder, packet);
        av_packet_unref(packet);
        take_frames();
    }
    avcodec_send_packet(decoder, nullptr);
    take_frames();
    EXPECT_EQ(decoder->sample_fmt, AV_SAMPLE_FMT_FLTP);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
    avformat_close_input(&in);
    return sound;
}

// The amplitude of the `frequency` component over [start, start + length), Hann-windowed so neighbours leak little.
double amplitude_at(const std::vector<float>& x, size_t start, size_t length, double frequency, double rate) {
    double re = 0, im = 0, weight = 0;
    for (size_t n = 0; n < length; ++n) {
        const double w = 0.5 - 0.5 * std::cos(2 * kPi * static_cast<double>(n) / static_cast<double>(length - 1));
        const double phase = 2 * kPi * frequency * static_cast<double>(n) / rate;
        re += w * x[start + n] * std::cos(phase);
        im -= w * x[start + n] * std::sin(phase);
        weight += w;
    }
    return 2 * std::hypot(re, im) / weight;
}

std::string slurp(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(CaptureFormat, ChosenByExactExtension) {
    EXPECT_EQ(format_for_path("take.aac"), Format::aac_adts);
    EXPECT_EQ(format_for_path("/a/b.m4a"), Format::aac_m4a);
    EXPECT_EQ(format_for_path("render.wav"), Format::wav_float);
    EXPECT_EQ(format_for_path("take.aif"), Format::aiff16);
    EXPECT_EQ(format_for_path("take.WAV"), Format::aiff16);
    EXPECT_EQ(format_for_path("take.wav.aif"), Format::aiff16);
    EXPECT_EQ(format_for_path("aac"), Format::aiff16);
    EXPECT_EQ(format_for_path(""), Format::aiff16);
}

// The converting formats, fed 1000 Hz on the left and 1500 Hz on the right for longer than the ring holds and faster
// than the writer takes it (waiting for room, as an offline render does): nothing lost; the file at 44100 Hz with
// each sine where it belongs (mixed to mono as the mean, spread from mono to both sides), the frequencies kept
// through the rate change and the length following it.
TEST_F(Capture, ConvertedFilesHoldTheSignalAndLoseNothing) {
    struct Case {
        const char* name;
        int file_channels, engine_rate, engine_channels;
        double amplitude[2][2];  // of 1000 and 1500 Hz, on the file's left and right
    };
    for (const Case& c : {Case{"stereo.aif", 2, 48000, 2, {{0.5, 0}, {0, 0.5}}},
                          Case{"mono.aif", 1, 48000, 2, {{0.25, 0.25}}},
                          Case{"take.aac", 1, 48000, 1, {{0.5, 0}, {0.5, 0}}},  // AAC: stereo, whatever is asked
                          Case{"take.m4a", 1, 44100, 2, {{0.5, 0}, {0, 0.5}}}}) {
        SCOPED_TRACE(c.name);
        const std::string file = path(c.name);
        const Format format = format_for_path(file);
        const bool aac = format != Format::aiff16;
        std::string error;
        auto capture = AudioCapture::open(file, format, aac ? 22050 : 44100, c.file_channels, c.engine_rate,
                                          c.engine_channels, &error);
        ASSERT_TRUE(capture) << error;
        const uint64_t total = 2 * capture->ring_frames() + 100;  // not a whole number of AAC frames
        render(*capture, c.engine_channels, total, sines({1000, 1500}, c.engine_rate, 0.5f), 512, true);
        ASSERT_TRUE(capture->close(&error)) << error;
        EXPECT_EQ(capture->lost_frames(), 0u);
        EXPECT_EQ(capture->written_frames(), total);

        AVCodecID codec = AV_CODEC_ID_NONE;
        const Sound sound = aac ? decode_ffmpeg(file, &codec) : read_sndfile(file);
        EXPECT_EQ(sound.rate, 44100);
        ASSERT_EQ(sound.channels, aac ? 2 : c.file_channels);
        const double expected = static_cast<double>(total) * 44100 / c.engine_rate, frames = double(sound.frames());
        if (aac) {
            EXPECT_EQ(codec, AV_CODEC_ID_AAC);
            // Decoding yields whole AAC frames. ADTS cannot say how much the encoder primed and padded (up to two
            // frames more); MPEG-4 trims the priming and states the exact length.
            EXPECT_GE(frames, expected - 2);
            EXPECT_LT(frames, expected + (format == Format::aac_adts ? 2048 : 1024));
        } else {
            EXPECT_EQ(sound.format, SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
            EXPECT_EQ(slurp(file).substr(8, 4), "AIFF");  // plain AIFF: big-endian PCM, not AIFF-C
            EXPECT_NEAR(frames, expected, 2.0);
        }
        if (format == Format::aac_m4a) {
            EXPECT_EQ(sound.container_frames, static_cast<int64_t>(total));
        }
        const size_t start = 8192, length = 32768;
        ASSERT_GT(sound.frames(), start + length);
        for (int side = 0; side < sound.channels; ++side) {
            for (int f = 0; f < 2; ++f) {
                const double heard = amplitude_at(sound.samples[side], start, length, f ? 1500 : 1000, 44100);
                if (c.amplitude[side][f] > 0) {
                    EXPECT_NEAR(heard, c.amplitude[side][f], aac ? 0.05 : 0.02) << side << ", " << f;
                } else {
                    EXPECT_LT(heard, 0.02) << side << ", " << f;
                }
            }
            // Neither distorted nor merely relabelled at the new rate.
            for (double hertz : {2500.0, 1000.0 * 44100 / c.engine_rate}) {
                if (hertz == 1000) continue;
                EXPECT_LT(amplitude_at(sound.samples[side], start, length, hertz, 44100), 0.02) << hertz;
            }
        }
    }
}

// Same rate, mono engine: the channel is copied to both sides at full level, frame for frame; overloads clip.
TEST_F(Capture, AiffSpreadsMonoAndClips) {
    const std::string file = path("spread.aiff");
    std::string error;
    auto capture = AudioCapture::open(file, Format::aiff16, 0, 0, 44100, 1, &error);  // 0: the defaults
    ASSERT_TRUE(capture) << error;
    render(*capture, 1, 1000, [](int, uint64_t f) { return f == 10 ? 2.0f : f == 11 ? -2.0f : f * 0.0005f; }, 100);
    ASSERT_TRUE(capture->close(&error)) << error;
    const Sound sound = read_sndfile(file);
    EXPECT_EQ(sound.rate, 44100);
    ASSERT_EQ(sound.channels, 2);
    ASSERT_EQ(sound.frames(), 1000u);
    EXPECT_EQ(sound.samples[0], sound.samples[1]);
    EXPECT_NEAR(sound.samples[0][500], 0.25, 1e-4);
    EXPECT_GT(sound.samples[0][10], 0.99f);
    EXPECT_LT(sound.samples[0][11], -0.99f);
}

// The renderer's formats: every sample as pushed, frame for frame, across many turns of the ring and odd buffer
// sizes; channels not given to a push are silent.
TEST_F(Capture, FloatFilesAreBitExact) {
    struct Case {
        const char* name;
        Format format;
        int sf_format;
        int channels;
    };
    for (const Case& c : {Case{"render.wav", Format::wav_float, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2},
                          Case{"render.aif", Format::aiff_render, SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 3}}) {
        SCOPED_TRACE(c.name);
        const int rate = 48000;
        const std::string file = path(c.name);
        std::string error;
        auto capture = AudioCapture::open(file, c.format, 44100, 1, rate, c.channels, &error);  // file_* ignored
        ASSERT_TRUE(capture) << error;
        const uint64_t total = 3 * capture->ring_frames() + 12345;
        const uint64_t impulse = 777'777;
        uint32_t seed = 1;
        std::vector<std::vector<float>> sent(c.channels);
        const Signal signal = [&](int ch, uint64_t f) {
            seed = seed * 1664525u + 1013904223u;
            const float v = f == impulse && ch == 0 ? 1.0f : f == impulse ? 0.0f : (seed >> 8) * 0x1p-24f - 0.5f;
            sent[ch].push_back(v);
            return v;
        };
        render(*capture, c.channels, total, signal, 509, true);  // a buffer size that never divides the ring
        // A buffer given fewer channels than the engine has.
        const float single[3] = {0.25f, 0.5f, 0.75f};
        const float* one[1] = {single};
        ASSERT_TRUE(capture->wait_for_space(3, std::chrono::seconds(10)));
        EXPECT_EQ(alloc_count::during([&] { capture->push(one, 1, 3); }), 0);
        ASSERT_TRUE(capture->close(&error)) << error;
        EXPECT_EQ(capture->written_frames(), total + 3);
        EXPECT_EQ(capture->lost_frames(), 0u);

        const Sound sound = read_sndfile(file);
        EXPECT_EQ(sound.format, c.sf_format);
        EXPECT_EQ(sound.rate, rate);
        ASSERT_EQ(sound.channels, c.channels);
        ASSERT_EQ(sound.frames(), total + 3);
        for (int ch = 0; ch < c.channels; ++ch) {
            sent[ch].insert(sent[ch].end(), {ch == 0 ? 0.25f : 0.0f, ch == 0 ? 0.5f : 0.0f, ch == 0 ? 0.75f : 0.0f});
            EXPECT_EQ(std::memcmp(sound.samples[ch].data(), sent[ch].data(), sent[ch].size() * sizeof(float)), 0)
                << "channel " << ch;
        }
        EXPECT_EQ(sound.samples[0][impulse], 1.0f);
        EXPECT_EQ(sound.samples[1][impulse], 0.0f);
    }
}

TEST_F(Capture, RefusesExistingFilesAndUnwritableFolders) {
    for (const char* name : {"old.aif", "old.m4a", "old.wav"}) {
        const std::string file = path(name);
        std::ofstream(file) << "keep me";
        std::string error;
        EXPECT_FALSE(AudioCapture::open(file, format_for_path(file), 44100, 2, 48000, 2, &error));
        EXPECT_EQ(error, "This file already exists");
        EXPECT_EQ(slurp(file), "keep me");
    }
    // A folder that cannot be: its parent is a file (so this holds for root too).
    const std::string blocked = path("old.wav") + "/take.aif";
    std::string error;
    EXPECT_FALSE(AudioCapture::open(blocked, Format::aiff16, 44100, 2, 48000, 2, &error));
    EXPECT_EQ(error, "Cannot create the file " + blocked + ": Not a directory");
    // Bad channel counts are refused before anything is created.
    EXPECT_FALSE(AudioCapture::open(path("wide.aif"), Format::aiff16, 44100, 3, 48000, 2, &error));
    EXPECT_EQ(error, "A capture has 1 or 2 channels");
    EXPECT_FALSE(fs::exists(path("wide.aif")));
}

// A stalled writer: the ring fills, whole buffers beyond it are lost and counted, push() keeps returning, and what
// fitted is written intact once the writer runs again.
TEST_F(Capture, FullRingLosesWholeBuffersWithoutBlocking) {
    const std::string file = path("overflow.wav");
    std::string error;
    auto capture = AudioCapture::open(file, Format::wav_float, 0, 0, 48000, 2, &error);
    ASSERT_TRUE(capture) << error;
    capture->pause_writer(true);
    const uint64_t fitting = capture->ring_frames() / 256;
    const Signal ramp = [](int c, uint64_t f) { return static_cast<float>(f) + 0.5f * static_cast<float>(c); };
    render(*capture, 2, (fitting + 40) * 256, ramp, 256);
    EXPECT_EQ(capture->lost_frames(), 40u * 256);
    EXPECT_FALSE(capture->wait_for_space(256, std::chrono::milliseconds(30)));

    capture->pause_writer(false);
    ASSERT_TRUE(capture->wait_for_space(256, std::chrono::seconds(10)));
    const float tail[1] = {-1.0f};
    const float* tails[2] = {tail, tail};
    capture->push(tails, 2, 1);
    ASSERT_TRUE(capture->close(&error)) << error;
    EXPECT_EQ(capture->written_frames(), fitting * 256 + 1);

    const Sound sound = read_sndfile(file);
    ASSERT_EQ(sound.frames(), fitting * 256 + 1);
    for (uint64_t f = 0; f < fitting * 256; f += 997) {
        ASSERT_EQ(sound.samples[0][f], static_cast<float>(f));
        ASSERT_EQ(sound.samples[1][f], static_cast<float>(f) + 0.5f);
    }
    EXPECT_EQ(sound.samples[1][fitting * 256], -1.0f);
}

// The disk fills up mid-take (a file size limit stands in for it): the writer stops writing, push() still never
// waits, every frame is accounted for, and close() says what went wrong.
TEST_F(Capture, WriteFailureIsReportedAndCounted) {
    std::signal(SIGXFSZ, SIG_IGN);  // the limit then fails the write with EFBIG instead of ending the program
    for (const char* name : {"full.wav", "full.m4a"}) {
        SCOPED_TRACE(name);
        std::string error;
        auto capture = AudioCapture::open(path(name), format_for_path(name), 0, 0, 48000, 2, &error);
        ASSERT_TRUE(capture) << error;
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit small = old;
        small.rlim_cur = 20000;
        setrlimit(RLIMIT_FSIZE, &small);
        const uint64_t total = 5 * 48000;
        render(*capture, 2, total, sines({440, 440}, 48000, 0.5f), 480);
        EXPECT_FALSE(capture->close(&error));
        setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_EQ(error, "Cannot write the audio file: File too large");
        EXPECT_GT(capture->lost_frames(), 0u);
        EXPECT_EQ(capture->written_frames() + capture->lost_frames(), total);
        EXPECT_FALSE(capture->wait_for_space(1, std::chrono::milliseconds(0)));
    }
}

// A capture dropped without close() (a shutdown path) still leaves a complete file: the MPEG-4 index is at the
// end, so an unfinished .m4a would not open at all.
TEST_F(Capture, DestroyingFinishesTheFile) {
    for (const char* name : {"dropped.wav", "dropped.m4a"}) {
        std::string error;
        auto capture = AudioCapture::open(path(name), format_for_path(name), 0, 0, 44100, 2, &error);
        ASSERT_TRUE(capture) << error;
        render(*capture, 2, 44100, sines({440, 440}, 44100, 0.5f));
    }
    EXPECT_EQ(read_sndfile(path("dropped.wav")).frames(), 44100u);
    AVCodecID codec = AV_CODEC_ID_NONE;
    const Sound sound = decode_ffmpeg(path("dropped.m4a"), &codec);
    EXPECT_EQ(sound.container_frames, 44100);
    EXPECT_GE(sound.frames(), 44100u);
}

}  // namespace
}  // namespace omb
