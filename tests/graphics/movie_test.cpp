// Movies: frames read back exactly at their times from a movie this test encodes; files that are missing, damaged or
// of the wrong kind; recordings of a canvas with the engine's sound read back with libavformat: lengths, the
// onset of a tone on its frame, a full read to the end, and a disk that fills up mid-recording.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "audio/unit.h"
#include "graphics/movie_procedures.h"
#include "graphics/movie_reader.h"
#include "tests/graphics/canvas_support.h"

namespace omb::test {
namespace {

// A new folder for each use, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ombrel-movie-test-XXXXXX").string();
        EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
        path_ = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// ---- a movie of known frames ------------------------------------------------------------------------------------

// Frame i is one colour: red 8 i, green 255 - 8 i, blue 64, so its number reads back from any pixel.
uint32_t colour_of_frame(int i) { return 0xff000000u | (8u * i % 256) << 16 | (255u - 8u * i % 256) << 8 | 64u; }
int frame_of_colour(uint32_t argb) { return static_cast<int>(std::lround(((argb >> 16) & 0xff) / 8.0)); }

// Encodes `frames` frames at `fps` with a keyframe every `gop` and B-frames (so decoding order differs from
// showing order), losslessly, into an MPEG-4 file.
void write_numbered_movie(const std::string& path, int frames, int fps, int gop, int w = 64, int h = 48) {
    AVFormatContext* format = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&format, nullptr, "mp4", path.c_str()), 0);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    ASSERT_NE(codec, nullptr);
    AVCodecContext* enc = avcodec_alloc_context3(codec);
    enc->width = w;
    enc->height = h;
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    enc->time_base = AVRational{1, 90000};
    enc->framerate = AVRational{fps, 1};
    enc->gop_size = gop;
    enc->max_b_frames = 2;
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "qp", "0", 0);
    av_dict_set(&options, "preset", "veryfast", 0);
    av_dict_set(&options, "x264-params", "keyint_min=1:scenecut=0:bframes=2", 0);
    ASSERT_GE(avcodec_open2(enc, codec, &options), 0);
    av_dict_free(&options);
    AVStream* st = avformat_new_stream(format, nullptr);
    avcodec_parameters_from_context(st->codecpar, enc);
    st->time_base = enc->time_base;
    ASSERT_GE(avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(avformat_write_header(format, nullptr), 0);
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = w;
    frame->height = h;
    av_frame_get_buffer(frame, 0);
    SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr,
                                     nullptr);
    std::vector<uint32_t> bgra(static_cast<size_t>(w) * h);
    AVPacket* packet = av_packet_alloc();
    auto drain = [&] {
        while (avcodec_receive_packet(enc, packet) == 0) {
            packet->duration = 90000 / fps;
            av_packet_rescale_ts(packet, enc->time_base, st->time_base);
            packet->stream_index = 0;
            av_interleaved_write_frame(format, packet);
        }
    };
    for (int i = 0; i < frames; ++i) {
        std::fill(bgra.begin(), bgra.end(), colour_of_frame(i));
        av_frame_make_writable(frame);
        const uint8_t* src[1] = {reinterpret_cast<const uint8_t*>(bgra.data())};
        const int stride[1] = {w * 4};
        sws_scale(sws, src, stride, 0, h, frame->data, frame->linesize);
        frame->pts = static_cast<int64_t>(i) * 90000 / fps;
        ASSERT_GE(avcodec_send_frame(enc, frame), 0);
        drain();
    }
    avcodec_send_frame(enc, nullptr);
    drain();
    av_write_trailer(format);
    avio_closep(&format->pb);
    sws_freeContext(sws);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&enc);
    avformat_free_context(format);
}

uint32_t top_left(const Ref<BitmapImage>& image) {
    cairo_surface_flush(image->surface());
    return *reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(image->surface()));
}

class MovieFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<TempDir>();
        write_numbered_movie(dir_->file("numbered.mp4"), kFrames, kFps, kGop);
    }
    static void TearDownTestSuite() { dir_.reset(); }
    static std::string numbered() { return dir_->file("numbered.mp4"); }
    static constexpr int kFrames = 30, kFps = 10, kGop = 8;
    static inline std::unique_ptr<TempDir> dir_;
};

TEST_F(MovieFiles, EveryFrameAtItsOwnTimeAndJustBeforeTheNextInAnyOrder) {
    std::string error;
    Ref<Movie> movie = Movie::open(numbered(), &error);
    ASSERT_TRUE(movie) << error;
    EXPECT_NEAR(*movie->duration(&error), 3.0, 0.01);
    EXPECT_NEAR(*movie->fps(&error), 10.0, 0.01);
    // Forward, backward across keyframes, and jumps both ways: the frame shown is always the one whose time has come.
    std::vector<int> order(kFrames);
    for (int i = 0; i < kFrames; ++i) order[i] = i;
    std::vector<int> shuffled = order;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    std::vector<int> backward(order.rbegin(), order.rend());
    for (const auto& sequence : {order, backward, shuffled}) {
        for (int i : sequence) {
            for (double into : {0.0, 0.099}) {
                Ref<BitmapImage> image = movie->frame_at(i / double(kFps) + into, &error);
                ASSERT_TRUE(image) << error;
                ASSERT_EQ(image->width(), 64);
                ASSERT_EQ(image->height(), 48);
                EXPECT_EQ(frame_of_colour(top_left(image)), i) << "at " << i / double(kFps) + into;
            }
        }
    }
}

TEST_F(MovieFiles, TimesOutsideTheMovieAndClosedMoviesAreRefused) {
    std::string error;
    Ref<Movie> movie = Movie::open(numbered(), &error);
    ASSERT_TRUE(movie);
    for (double t : {3.0, 3.5, -0.1, std::nan("")}) {
        error.clear();
        EXPECT_FALSE(movie->frame_at(t, &error)) << t;
        EXPECT_NE(error.find("Have you used a time longer than the duration"), std::string::npos) << t;
    }
    EXPECT_TRUE(movie->frame_at(2.95, &error));  // the last frame, to the end
    movie->close();
    EXPECT_FALSE(movie->frame_at(0, &error));
    EXPECT_EQ(error, "Null Movie");
    EXPECT_FALSE(movie->fps(&error));
}

TEST_F(MovieFiles, MissingGarbageAndTruncatedFilesGiveAMessageNotACrash) {
    std::string error;
    EXPECT_FALSE(Movie::open(dir_->file("absent.mov"), &error));
    EXPECT_EQ(error, "File Does Not Exist");

    const std::string garbage = dir_->file("garbage.mov");
    {
        std::ofstream out(garbage, std::ios::binary);
        std::mt19937 random(1);
        for (int i = 0; i < 100000; ++i) out.put(static_cast<char>(random()));
    }
    EXPECT_FALSE(Movie::open(garbage, &error));
    EXPECT_EQ(error.rfind("Error Opening Movie File: -", 0), 0u) << error;

    // Cut short, and damaged in the middle: whatever opens answers every time without crashing.
    const auto size = std::filesystem::file_size(numbered());
    std::ifstream in(numbered(), std::ios::binary);
    std::vector<char> bytes(size);
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    for (size_t keep : {size / 2, size - 40}) {
        const std::string cut = dir_->file("cut.mp4");
        std::ofstream(cut, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(keep));
        if (Ref<Movie> movie = Movie::open(cut, &error))
            for (int i = 0; i < kFrames; ++i) movie->frame_at(i / double(kFps), &error);
    }
    std::vector<char> damaged = bytes;
    for (size_t i = size / 3; i < size / 3 + 200 && i < size; ++i) damaged[i] = static_cast<char>(i * 31);
    const std::string hurt = dir_->file("hurt.mp4");
    std::ofstream(hurt, std::ios::binary).write(damaged.data(), static_cast<std::streamsize>(size));
    if (Ref<Movie> movie = Movie::open(hurt, &error))
        for (int i = kFrames - 1; i >= 0; --i) movie->frame_at(i / double(kFps), &error);
}

// ---- the procedures --------------------------------------------------------------------------------------------

class MovieProcedures : public GraphicsTest {
protected:
    void SetUp() override {
        GraphicsTest::SetUp();
        path_ = dir_.file("numbered.mp4");
        write_numbered_movie(path_, 10, 10, 4);
    }
    TempDir dir_;
    std::string path_;
};

TEST_F(MovieProcedures, LoadAskAndDestroyThroughScheme) {
    ASSERT_EQ(c.eval("(define m (gfx:load-movie \"" + path_ + "\"))"), "m");
    EXPECT_EQ(c.eval("(gfx:get-movie-duration m)"), "1");
    EXPECT_EQ(c.eval("(gfx:get-movie-fps m)"), "10");
    EXPECT_EQ(c.eval("(gfx:get-image-size (gfx:get-movie-frame m 0.45))"), "(64 . 48)");
    EXPECT_EQ(c.eval("(gfx:get-movie-frame m 1.5)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Could not retrieve Image from Movie at specified time. Have you used a time "
                                    "longer than the duration of the movie?"));
    // Destroyed by a task: the handle stays a value, and says it is empty.
    ASSERT_EQ(c.eval("(schedule (now) *gfx:destroy-movie* m)"), "#t");
    ASSERT_TRUE(eventually([&] { return c.eval("(gfx:get-movie-fps m)") == "#f"; }, 5s));
    EXPECT_TRUE(log.saw(log.errors, "Null Movie"));
    EXPECT_EQ(c.eval("(gfx:get-movie-frame m 0)"), "#f");
}

TEST_F(MovieProcedures, WrongArgumentsAreReported) {
    EXPECT_EQ(c.eval("(gfx:load-movie 42)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Arg 1 should be a string path"));
    EXPECT_EQ(c.eval("(gfx:load-movie \"" + dir_.file("none.mov") + "\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "File Does Not Exist"));
    EXPECT_EQ(c.eval("(gfx:get-movie-fps 42)"), "#f");
    EXPECT_EQ(c.eval("(gfx:get-movie-duration (gfx:make-image 4 4))"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Illegal Movie. Incorrect Type"));
    ASSERT_EQ(c.eval("(define m (gfx:load-movie \"" + path_ + "\"))"), "m");
    EXPECT_EQ(c.eval("(gfx:get-movie-frame m 'soon)"), "#f");
    EXPECT_EQ(c.eval("(schedule (now) *gfx:destroy-movie* 7)"), "#f");
}

// ---- recording ------------------------------------------------------------------------------------------------------

// Silence until a note-on arrives, then a constant 0.5 on both sides: the onset is exact to the sample.
struct StepUnit : Unit {
    std::atomic<bool> on{false};
    StepUnit() : Unit({fourcc("aumu"), fourcc("step"), fourcc("test"), "Step"}, {}, {}, 2) {}
    void process(const BusBuffer*, BusBuffer& out, uint32_t offset, uint32_t count) override {
        const float v = on.load() ? 0.5f : 0.0f;
        for (int c = 0; c < out.count; ++c) std::fill_n(out.channels[c] + offset, count, v);
    }
    void apply(const UnitEvent& e) override {
        if (e.kind == UnitEvent::Kind::midi && (e.midi.status & 0xf0) == 0x90) on = true;
    }
};

// A movie read back whole: the colour of every video frame (the whole picture scaled to one pixel), every audio
// sample (left), and the streams' sizes.
struct ReadBack {
    bool opened = false;
    std::vector<uint32_t> colours;  // each frame as one pixel, BGRA
    std::vector<float> left;
    int64_t frame_duration = 0;  // of the video's first frame, in its time base
    AVRational video_base{0, 1};
    int sample_rate = 0;
    std::string audio_codec;
};

ReadBack read_back(const std::string& path) {
    ReadBack r;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return r;
    if (avformat_find_stream_info(format, nullptr) < 0) return avformat_close_input(&format), r;
    r.opened = true;
    std::vector<AVCodecContext*> codecs(format->nb_streams, nullptr);
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVCodecParameters* par = format->streams[i]->codecpar;
        const AVCodec* dec = avcodec_find_decoder(par->codec_id);
        codecs[i] = avcodec_alloc_context3(dec);
        avcodec_parameters_to_context(codecs[i], par);
        avcodec_open2(codecs[i], dec, nullptr);
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) r.video_base = format->streams[i]->time_base;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            r.sample_rate = par->sample_rate;
            r.audio_codec = avcodec_get_name(par->codec_id);
        }
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    SwsContext* sws = nullptr;
    auto take = [&](AVCodecContext* dec) {
        while (avcodec_receive_frame(dec, frame) == 0) {
            if (dec->codec_type == AVMEDIA_TYPE_VIDEO) {
                if (r.colours.empty()) r.frame_duration = frame->pkt_duration;
                uint32_t px[1] = {0};
                uint8_t* dst[1] = {reinterpret_cast<uint8_t*>(px)};
                const int stride[1] = {4};
                sws = sws_getCachedContext(sws, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                           1, 1, AV_PIX_FMT_BGRA, SWS_POINT, nullptr, nullptr, nullptr);
                sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, stride);
                r.colours.push_back(px[0]);
            } else {
                const auto* data = reinterpret_cast<const float*>(frame->data[0]);
                const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame->format));
                for (int i = 0; i < frame->nb_samples; ++i) r.left.push_back(planar ? data[i] : data[2 * i]);
            }
        }
    };
    while (av_read_frame(format, packet) >= 0) {
        AVCodecContext* dec = codecs[packet->stream_index];
        avcodec_send_packet(dec, packet);
        av_packet_unref(packet);
        take(dec);
    }
    for (AVCodecContext* dec : codecs) {
        avcodec_send_packet(dec, nullptr);
        take(dec);
        avcodec_free_context(&dec);
    }
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avformat_close_input(&format);
    return r;
}

bool reddish(uint32_t bgra) { return ((bgra >> 16) & 0xff) > 200 && (bgra & 0xff) < 60; }

// The recording procedures belong to the general native library: bound here alone.
const bool recording_registered = (add_native_library([](SchemeInterface* process) {
                                       process->addForeignFunc("gfx:start-movie-capture", start_movie_capture);
                                       process->addForeignFunc("gfx:stop-movie-capture", stop_movie_capture);
                                   }),
                                   true);

class MovieRecording : public GraphicsTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(recording_registered);
        GraphicsTest::SetUp();
        step_ = std::make_shared<StepUnit>();
        node_ = AUHost::singleton().graph().add(step_);
        ASSERT_EQ(AUHost::singleton().graph().connect(node_, 0, Graph::kDeviceNode, 0), Graph::Status::ok);
        make("c", "(gfx:make-canvas 64 48)");
        ASSERT_TRUE(draws("*gfx:clear-canvas* c (list 0 0 1 1)", 5, 5, BLUE));
    }
    void TearDown() override {
        c.eval("(gfx:stop-movie-capture c)");
        AUHost::singleton().graph().clear();
        GraphicsTest::TearDown();
    }
    static int64_t now() { return static_cast<int64_t>(SampleClock::TIME.load()); }
    static void wait_until(int64_t time) {
        eventually([&] { return now() >= time; }, 20s);
    }
    TempDir dir_;
    std::shared_ptr<StepUnit> step_;
    int node_ = 0;
};

TEST_F(MovieRecording, TheToneStartsOnTheFrameThatTurnsRedAndTheTracksAreEquallyLong) {
    const std::string path = dir_.file("step.mov");
    ASSERT_EQ(c.eval("(gfx:start-movie-capture c \"" + path + "\" #t #f)"), "#t");
    // The tone starts on a block boundary a good half second on; the canvas turns red for that moment (drawn a
    // little ahead, as the scheduler draws).
    const int64_t onset = (now() / 2048 + 12) * 2048;
    ASSERT_EQ(c.eval("(schedule " + std::to_string(onset) + " *note-on* " + std::to_string(node_) + " 0 60 100)"),
              "#t");
    ASSERT_EQ(c.eval("(schedule " + std::to_string(onset - 512) + " *gfx:clear-canvas* c (list 1 0 0 1))"), "#t");
    wait_until(onset + 2048 * 8);
    ASSERT_EQ(c.eval("(gfx:stop-movie-capture c)"), "#t");
    EXPECT_TRUE(log.saw(log.notes, "Finished writing Quicktime Movie"));

    const ReadBack r = read_back(path);
    ASSERT_TRUE(r.opened);
    EXPECT_EQ(r.audio_codec, "pcm_f32le");
    EXPECT_EQ(r.sample_rate, SampleClock::SAMPLERATE.load());
    EXPECT_EQ(av_rescale_q(r.frame_duration, r.video_base, AVRational{1, r.sample_rate}), 2048);
    ASSERT_GE(r.colours.size(), 15u);
    // Each frame carries one block of sound: the tracks are equally long.
    EXPECT_EQ(r.left.size(), r.colours.size() * 2048);
    const auto onset_sample = std::find_if(r.left.begin(), r.left.end(), [](float v) { return v > 0.25f; });
    ASSERT_NE(onset_sample, r.left.end());
    const auto sample = onset_sample - r.left.begin();
    EXPECT_EQ(sample % 2048, 0) << "the onset is on a block boundary";
    const auto red = std::find_if(r.colours.begin(), r.colours.end(), reddish);
    ASSERT_NE(red, r.colours.end());
    EXPECT_EQ(red - r.colours.begin(), sample / 2048) << "the first red frame is the one the tone starts on";
    EXPECT_TRUE(std::all_of(red, r.colours.end(), reddish));
}

TEST_F(MovieRecording, ADefaultRecordingPlaysToItsEndAndTheFileAppearsOnlyWhenStopped) {
    const std::string path = dir_.file("default.mp4");
    ASSERT_EQ(c.eval("(gfx:start-movie-capture c \"" + path + "\")"), "#t");
    // The partial file is beside the target, not at it, while recording.
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(c.eval("(gfx:start-movie-capture c \"" + dir_.file("second.mov") + "\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "ERROR: You cannot record two movies at once"));
    wait_until(now() + 2048 * 20);
    ASSERT_EQ(c.eval("(gfx:stop-movie-capture c)"), "#t");
    const ReadBack r = read_back(path);
    ASSERT_TRUE(r.opened);
    EXPECT_EQ(r.audio_codec, "aac");
    ASSERT_GE(r.colours.size(), 15u);
    EXPECT_TRUE(std::all_of(r.colours.begin(), r.colours.end(), [](uint32_t p) { return (p & 0xff) > 200; }));
    // AAC's priming makes the sound at most one encoder frame longer; never a video frame apart.
    const auto video_samples = static_cast<int64_t>(r.colours.size()) * 2048;
    EXPECT_LE(std::llabs(static_cast<int64_t>(r.left.size()) - video_samples), 2048);
    // Read with the movie reader too: its last frame is there.
    std::string error;
    Ref<Movie> movie = Movie::open(path, &error);
    ASSERT_TRUE(movie) << error;
    const double fps = *movie->fps(&error);
    EXPECT_NEAR(fps, SampleClock::SAMPLERATE.load() / 2048.0, 0.01);
    EXPECT_TRUE(movie->frame_at((static_cast<double>(r.colours.size()) - 0.5) / fps, &error)) << error;
    EXPECT_EQ(std::count_if(std::filesystem::directory_iterator(dir_.path()), {}, [](auto&) { return true; }), 1)
        << "no temporary file is left";
}

TEST_F(MovieRecording, MisuseIsReported) {
    EXPECT_EQ(c.eval("(gfx:stop-movie-capture c)"), "#f");
    EXPECT_TRUE(log.saw(log.notes, "You have not started capturing a movie yet!"));
    EXPECT_EQ(c.eval("(gfx:stop-movie-capture 3)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "First argument must be a canvas or opengl view"));
    EXPECT_EQ(c.eval("(gfx:start-movie-capture c \"a.mov\" #t #t 'high 6)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Wrong number of arguments passed to start-movie-capture"));
    EXPECT_EQ(c.eval("(gfx:start-movie-capture c 5)"), "#f");
    EXPECT_EQ(c.eval("(gfx:start-movie-capture c \"" + dir_.file("no/such/folder/x.mov") + "\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Error Creating Movie File For Movie Capture"));
    // A canvas resized while it records: said once, and the movie keeps its size and its last picture.
    const std::string path = dir_.file("resized.mov");
    ASSERT_EQ(c.eval("(gfx:start-movie-capture c \"" + path + "\" #f)"), "#t");
    wait_until(now() + 2048 * 4);
    ASSERT_EQ(c.eval("(gfx:set-canvas-size c 80 60)"), "#t");
    EXPECT_TRUE(log.saw(log.errors, "Image size for movie render does not match frame size", 5s));
    wait_until(now() + 2048 * 4);
    ASSERT_EQ(c.eval("(gfx:stop-movie-capture c)"), "#t");
    const ReadBack r = read_back(path);
    EXPECT_TRUE(r.opened);
    EXPECT_TRUE(r.left.empty()) << "recorded without sound";
    EXPECT_GE(r.colours.size(), 6u);
}

TEST_F(MovieRecording, AFullDiskStopsTheRecordingAndLeavesWhatWasWrittenPlayable) {
    const std::string path = dir_.file("full.mov");
    // Files of this process may grow to 600 kB: uncompressed sound fills that in about two seconds.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto* old_handler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = old;
    limited.rlim_cur = 600 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    ASSERT_EQ(c.eval("(gfx:start-movie-capture c \"" + path + "\" #t #f)"), "#t");
    const bool stopped = log.saw(log.errors, "Movie capture of " + path + " stopped", 20s);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, old_handler);
    ASSERT_TRUE(stopped);
    EXPECT_TRUE(log.saw(log.errors, "File too large"));
    // Stopping afterwards only collects it; a new recording may start.
    EXPECT_EQ(c.eval("(gfx:stop-movie-capture c)"), "#f");
    const ReadBack r = read_back(path);
    ASSERT_TRUE(r.opened);
    EXPECT_GE(r.colours.size(), 15u) << "a second's fragment at least";
    EXPECT_GE(r.left.size(), 15u * 2048) << "the sound of that second too";
    EXPECT_LE(std::filesystem::file_size(path), 600u * 1024);
}

}  // namespace
}  // namespace omb::test

static auto* const process_environment = ::testing::AddGlobalTestEnvironment(new omb::test::ProcessEnvironment);
