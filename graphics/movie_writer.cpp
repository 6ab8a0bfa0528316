#include "graphics/movie_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "audio/au_host.h"
#include "audio/movie_tap.h"
#include "platform/log_bridge.h"
#include "platform/thread.h"

namespace omb {

namespace {

constexpr auto kPoll = std::chrono::milliseconds(5);
constexpr int kBlock = static_cast<int>(MovieTap::BLOCK_FRAMES);
constexpr int kCrf[] = {30, 23, 18};
constexpr int kMpeg4Quantiser[] = {10, 5, 2};
constexpr int64_t kAacBitRate[] = {128000, 192000, 256000};

std::string av_message(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

bool fail(std::string* error, std::string message) {
    *error = std::move(message);
    return false;
}

// The mode a file made in place would have: the temporary file is created private.
mode_t plain_file_mode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

uint64_t now_ns() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

}  // namespace

// ---- the encoder: the file, the muxer, the two encoders ------------------------------------------------------------

struct MovieWriter::Encoder {
    int fd = -1;
    std::string temp;
    int io_errno = 0;  // the first failed write: nothing is written after it
    AVFormatContext* format = nullptr;
    AVCodecContext* video = nullptr;
    AVCodecContext* audio = nullptr;
    AVStream* video_stream = nullptr;
    AVStream* audio_stream = nullptr;
    AVFrame* picture = nullptr;  // yuv420p, the picture waiting for its block of sound
    AVFrame* sound = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* sws = nullptr;
    std::vector<uint8_t> bgra;  // the canvas copied out under its lock
    int canvas_width = 0, canvas_height = 0, width = 0, height = 0, rate = 44100;
    int sound_filled = 0;
    int64_t video_pts = 0, sound_pts = 0;
    bool size_reported = false;

    ~Encoder() {
        if (format && format->pb) {
            av_freep(&format->pb->buffer);
            avio_context_free(&format->pb);
        }
        avformat_free_context(format);
        avcodec_free_context(&video);
        avcodec_free_context(&audio);
        av_frame_free(&picture);
        av_frame_free(&sound);
        av_packet_free(&packet);
        sws_freeContext(sws);
        if (fd >= 0) ::close(fd);
    }

    std::string io_message(int code) const { return io_errno ? std::strerror(io_errno) : av_message(code); }

    bool open(const MovieSettings& s, int view_width, int view_height, std::string* error) {
        // The encoders' statistics (libx264 prints a dozen lines at every stop) are not the performer's concern;
        // warnings and errors still reach standard error.
        static std::once_flag quiet;
        std::call_once(quiet, [] {
            if (av_log_get_level() > AV_LOG_WARNING) av_log_set_level(AV_LOG_WARNING);
        });
        canvas_width = view_width;
        canvas_height = view_height;
        width = view_width & ~1;  // 4:2:0 chroma needs even sides
        height = view_height & ~1;
        rate = s.sample_rate;
        if (width < 2 || height < 2) return fail(error, "A movie needs a canvas of at least 2 x 2 pixels");
        const bool pcm = s.with_audio && !s.compressed;
        const char* muxer = s.path.ends_with(".mp4") && !pcm ? "mp4" : "mov";
        if (avformat_alloc_output_context2(&format, nullptr, muxer, nullptr) < 0 || !format)
            return fail(error, std::string("The ") + muxer + " movie writer is not available");
        if (!open_video(s.quality, error)) return false;
        if (s.with_audio && !open_audio(pcm, s.quality, error)) return false;
        if (!open_file(s.path, error)) return false;
        AVDictionary* options = nullptr;
        // Fragments: whatever was written before a failure plays.
        av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
        const int code = avformat_write_header(format, &options);
        av_dict_free(&options);
        if (code < 0) return fail(error, "Cannot write the movie file: " + io_message(code));
        packet = av_packet_alloc();
        picture = av_frame_alloc();
        if (!packet || !picture) return fail(error, "Out of memory");
        picture->format = AV_PIX_FMT_YUV420P;
        picture->width = width;
        picture->height = height;
        if (av_frame_get_buffer(picture, 0) < 0) return fail(error, "Out of memory");
        blank_picture();
        bgra.resize(static_cast<size_t>(canvas_width) * canvas_height * 4);
        sws = sws_getContext(width, height, AV_PIX_FMT_BGRA, width, height, AV_PIX_FMT_YUV420P,
                             SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
        if (!sws) return fail(error, "Cannot set up the picture conversion");
        return true;
    }

    bool open_video(int quality, std::string* error) {
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        const bool h264 = codec != nullptr;
        if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
        if (!codec) return fail(error, "Neither an H.264 nor an MPEG-4 video encoder is available");
        video = avcodec_alloc_context3(codec);
        if (!video) return fail(error, "Out of memory");
        video->width = width;
        video->height = height;
        video->pix_fmt = AV_PIX_FMT_YUV420P;
        video->time_base = AVRational{1, rate};
        video->framerate = AVRational{rate, kBlock};
        video->gop_size = std::max(1, rate / kBlock);  // a keyframe, and so a fragment, a second
        if (format->oformat->flags & AVFMT_GLOBALHEADER) video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        quality = std::clamp(quality, 0, 2);
        AVDictionary* options = nullptr;
        if (h264) {
            av_dict_set(&options, "preset", "ultrafast", 0);
            av_dict_set(&options, "tune", "zerolatency", 0);  // no frame held back: each is out as it is sent
            av_dict_set_int(&options, "crf", kCrf[quality], 0);
        } else {
            video->flags |= AV_CODEC_FLAG_QSCALE;
            video->global_quality = FF_QP2LAMBDA * kMpeg4Quantiser[quality];
        }
        const int code = avcodec_open2(video, codec, &options);
        av_dict_free(&options);
        if (code < 0) return fail(error, "Cannot start the video encoder: " + av_message(code));
        video_stream = avformat_new_stream(format, nullptr);
        if (!video_stream || avcodec_parameters_from_context(video_stream->codecpar, video) < 0)
            return fail(error, "Cannot set up the video track");
        video_stream->time_base = video->time_base;
        return true;
    }

    bool open_audio(bool pcm, int quality, std::string* error) {
        const AVCodec* codec =
            pcm ? avcodec_find_encoder(AV_CODEC_ID_PCM_F32LE) : avcodec_find_encoder_by_name("aac");
        if (!codec)
            return fail(error, pcm ? "The PCM audio encoder is not available" : "The AAC encoder is not available");
        audio = avcodec_alloc_context3(codec);
        if (!audio) return fail(error, "Out of memory");
        audio->sample_fmt = pcm ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_FLTP;
        audio->sample_rate = rate;
        av_channel_layout_default(&audio->ch_layout, MovieTap::CHANNELS);
        if (!pcm) audio->bit_rate = kAacBitRate[std::clamp(quality, 0, 2)];
        audio->time_base = AVRational{1, rate};
        audio->log_level_offset = AV_LOG_VERBOSE - AV_LOG_INFO;  // its closing statistics are not for the stage
        if (format->oformat->flags & AVFMT_GLOBALHEADER) audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        int code = avcodec_open2(audio, codec, nullptr);
        if (code < 0) return fail(error, "Cannot start the audio encoder: " + av_message(code));
        audio_stream = avformat_new_stream(format, nullptr);
        if (!audio_stream || avcodec_parameters_from_context(audio_stream->codecpar, audio) < 0)
            return fail(error, "Cannot set up the audio track");
        audio_stream->time_base = audio->time_base;
        sound = av_frame_alloc();
        if (!sound) return fail(error, "Out of memory");
        sound->format = audio->sample_fmt;
        sound->sample_rate = rate;
        sound->nb_samples = audio->frame_size > 0 ? audio->frame_size : kBlock;
        av_channel_layout_copy(&sound->ch_layout, &audio->ch_layout);
        if (av_frame_get_buffer(sound, 0) < 0) return fail(error, "Out of memory");
        return true;
    }

    // The temporary file beside the target (one file system, so the rename at the end is atomic), written through
    // our own descriptor so a failed write is known by its reason and ends the writing.
    bool open_file(const std::string& path, std::string* error) {
        temp = path + ".partXXXXXX";
        fd = ::mkstemp(temp.data());
        if (fd < 0) {
            temp.clear();
            return fail(error, "Cannot create a movie file beside " + path + ": " + std::strerror(errno));
        }
        ::fchmod(fd, plain_file_mode());
        constexpr int kIoBuffer = 1 << 16;
        auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBuffer));
        format->pb = buffer ? avio_alloc_context(buffer, kIoBuffer, 1, this, nullptr, &write_packet, &seek) : nullptr;
        if (!format->pb) {
            av_free(buffer);
            return fail(error, "Out of memory");
        }
        format->flags |= AVFMT_FLAG_CUSTOM_IO;
        return true;
    }

    void blank_picture() {
        for (int y = 0; y < height; ++y) std::memset(picture->data[0] + y * picture->linesize[0], 16, width);
        for (int p = 1; p < 3; ++p)
            for (int y = 0; y < height / 2; ++y)
                std::memset(picture->data[p] + y * picture->linesize[p], 128, width / 2);
    }

    // Copies the canvas out (briefly under its lock) and converts it into `picture`. A canvas of another size
    // than the movie's leaves the last picture in place.
    bool take_picture(GraphicView& view, std::string* error) {
        bool same_size = false;
        view.read([&](cairo_surface_t* s) {
            if (cairo_image_surface_get_width(s) != canvas_width || cairo_image_surface_get_height(s) != canvas_height)
                return;
            same_size = true;
            cairo_surface_flush(s);
            const int stride = cairo_image_surface_get_stride(s);
            const unsigned char* data = cairo_image_surface_get_data(s);
            const size_t row = static_cast<size_t>(canvas_width) * 4;
            for (int y = 0; y < canvas_height; ++y) std::memcpy(bgra.data() + y * row, data + y * stride, row);
        });
        if (!same_size) {
            if (!size_reported) CPPBridge::error("Image size for movie render does not match frame size");
            size_reported = true;
            return true;
        }
        if (av_frame_make_writable(picture) < 0) return fail(error, "Out of memory");
        const uint8_t* source[1] = {bgra.data()};
        const int stride[1] = {canvas_width * 4};
        sws_scale(sws, source, stride, 0, height, picture->data, picture->linesize);
        return true;
    }

    bool write_picture(std::string* error) {
        picture->pts = video_pts;
        video_pts += kBlock;
        const int code = avcodec_send_frame(video, picture);
        if (code < 0) return fail(error, "MOVIE ERROR: Compressing Image: " + av_message(code));
        return drain(video, video_stream, error);
    }

    // One block of interleaved stereo: AAC takes whole frames of its own size, PCM the block as it is.
    bool write_sound(const float* samples, std::string* error) {
        int left = kBlock;
        while (left > 0) {
            if (sound_filled == 0 && av_frame_make_writable(sound) < 0) return fail(error, "Out of memory");
            const int take = std::min(left, sound->nb_samples - sound_filled);
            if (audio->sample_fmt == AV_SAMPLE_FMT_FLT) {
                std::memcpy(reinterpret_cast<float*>(sound->data[0]) + sound_filled * 2, samples,
                            sizeof(float) * 2 * static_cast<size_t>(take));
            } else {
                auto* l = reinterpret_cast<float*>(sound->data[0]) + sound_filled;
                auto* r = reinterpret_cast<float*>(sound->data[1]) + sound_filled;
                for (int i = 0; i < take; ++i) {
                    l[i] = samples[2 * i];
                    r[i] = samples[2 * i + 1];
                }
            }
            samples += 2 * take;
            left -= take;
            sound_filled += take;
            if (sound_filled == sound->nb_samples && !send_sound(error)) return false;
        }
        return true;
    }

    bool send_sound(std::string* error) {
        sound->pts = sound_pts;
        sound_pts += sound->nb_samples;
        sound_filled = 0;
        const int code = avcodec_send_frame(audio, sound);
        if (code < 0) return fail(error, "Error converting to movie compression format: " + av_message(code));
        return drain(audio, audio_stream, error);
    }

    bool drain(AVCodecContext* codec, AVStream* stream, std::string* error) {
        for (;;) {
            int code = avcodec_receive_packet(codec, packet);
            if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) return true;
            if (code < 0) return fail(error, "MOVIE ERROR: Compressing Image: " + av_message(code));
            if (codec == video) packet->duration = kBlock;  // every picture lasts one block
            av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            code = av_interleaved_write_frame(format, packet);
            // The muxer may buffer past a failed write: our own record of it stops the recording at once.
            if (code < 0 || io_errno != 0)
                return fail(error, "MOVIE ERROR: Adding Media Sample: " + io_message(code));
        }
    }

    // Flushes both encoders and writes the trailer. After a failed write only closes the descriptor.
    bool finish(bool flush, std::string* error) {
        bool ok = true;
        if (flush) {
            if (audio && sound_filled > 0) {
                // The last part of a block AAC could not fill: pad with silence rather than lose it.
                const int n = sound->nb_samples - sound_filled;
                for (int p = 0; p < (audio->sample_fmt == AV_SAMPLE_FMT_FLT ? 1 : 2); ++p) {
                    const int from = audio->sample_fmt == AV_SAMPLE_FMT_FLT ? sound_filled * 2 : sound_filled;
                    const int count = audio->sample_fmt == AV_SAMPLE_FMT_FLT ? n * 2 : n;
                    std::fill_n(reinterpret_cast<float*>(sound->data[p]) + from, count, 0.0f);
                }
                ok = send_sound(error);
            }
            if (ok && avcodec_send_frame(video, nullptr) >= 0) ok = drain(video, video_stream, error);
            if (ok && audio && avcodec_send_frame(audio, nullptr) >= 0) ok = drain(audio, audio_stream, error);
            if (ok) {
                const int code = av_write_trailer(format);
                if (code < 0 || io_errno != 0) ok = fail(error, "Error Closing Movie File: " + io_message(code));
            }
            if (ok) avio_flush(format->pb);
            if (ok && io_errno != 0) ok = fail(error, "Error Closing Movie File: " + io_message(0));
        }
        const int descriptor = std::exchange(fd, -1);
        if (descriptor >= 0 && ::fsync(descriptor) != 0 && ok && errno != EINVAL)
            ok = fail(error, std::string("Error Closing Movie File: ") + std::strerror(errno));
        if (descriptor >= 0 && ::close(descriptor) != 0 && ok)
            ok = fail(error, std::string("Error Closing Movie File: ") + std::strerror(errno));
        return ok;
    }

    static int write_packet(void* opaque, uint8_t* data, int size) {
        auto* self = static_cast<Encoder*>(opaque);
        if (self->io_errno != 0) return AVERROR(self->io_errno);
        int left = size;
        while (left > 0) {
            const ssize_t n = ::write(self->fd, data, static_cast<size_t>(left));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                self->io_errno = n < 0 ? errno : ENOSPC;
                return AVERROR(self->io_errno);
            }
            data += n;
            left -= static_cast<int>(n);
        }
        return size;
    }

    static int64_t seek(void* opaque, int64_t offset, int whence) {
        auto* self = static_cast<Encoder*>(opaque);
        if (whence == AVSEEK_SIZE) {
            struct stat st{};
            return ::fstat(self->fd, &st) == 0 ? st.st_size : AVERROR(errno);
        }
        const off_t at = ::lseek(self->fd, offset, whence & ~AVSEEK_FORCE);
        return at < 0 ? AVERROR(errno) : at;
    }
};

// ---- the recording ---------------------------------------------------------------------------------------------------

struct MovieWriter::Thread {
    std::unique_ptr<MovieTap> tap;
    std::unique_ptr<omb::Thread> thread;
    bool started = false;  // the first block (the preroll) has come: a picture waits for the next
    bool failed = false;   // movie thread's: a write failed and the thread ended
    bool no_audio_reported = false;
    std::string error;     // movie thread's until joined
};

MovieWriter::MovieWriter(Ref<GraphicView> view, MovieSettings settings)
    : view_(std::move(view)), settings_(std::move(settings)), encoder_(std::make_unique<Encoder>()),
      thread_(std::make_unique<Thread>()) {}

std::unique_ptr<MovieWriter> MovieWriter::start(Ref<GraphicView> view, const MovieSettings& settings,
                                                std::string* error) {
    if (!view) return fail(error, "No canvas to record"), nullptr;
    std::unique_ptr<MovieWriter> writer(new MovieWriter(view, settings));
    Encoder& e = *writer->encoder_;
    const int w = static_cast<int>(view->width()), h = static_cast<int>(view->height());
    if (!e.open(settings, w, h, error)) {
        if (!e.temp.empty()) ::unlink(e.temp.c_str());
        return nullptr;
    }
    Thread& t = *writer->thread_;
    t.tap = std::make_unique<MovieTap>(settings.with_audio);
    // The tap first: blocks wait in its ring until the thread runs.
    if (!AUHost::singleton().attach_movie_tap(t.tap.get())) {
        ::unlink(e.temp.c_str());
        return fail(error, "ERROR: You cannot record two movies at once"), nullptr;
    }
    MovieWriter* self = writer.get();
    t.thread = std::make_unique<omb::Thread>("movie writer", [self] { self->run(); });
    if (!t.thread->start()) {
        AUHost::singleton().detach_movie_tap(t.tap.get());
        ::unlink(e.temp.c_str());
        writer->stopped_ = true;
        return fail(error, "Cannot start the movie thread"), nullptr;
    }
    return writer;
}

MovieWriter::~MovieWriter() { stop(nullptr); }

uint64_t MovieWriter::frames_dropped() const { return thread_->tap ? thread_->tap->dropped() : 0; }

bool MovieWriter::idle() const { return !thread_->tap || thread_->tap->front() == nullptr; }

void MovieWriter::run() {
    Thread& t = *thread_;
    for (;;) {
        if (paused_.load() && !stopping_.load()) {
            std::this_thread::sleep_for(kPoll);
            continue;
        }
        if (t.failed) return;  // the file is already closed and in place
        if (t.tap->front()) {
            take_block();
            continue;
        }
        if (stopping_.load()) break;
        std::this_thread::sleep_for(kPoll);
    }
    if (!t.failed) {
        std::string error;
        if (!finish(&error)) t.error = error;
    }
}

void MovieWriter::take_block() {
    Thread& t = *thread_;
    const MovieTap::Block& block = *t.tap->front();
    const uint64_t began = now_ns();
    Encoder& e = *encoder_;
    bool ok = true;
    // The picture at this boundary is the next frame's; the block that follows it will be its sound.
    if (t.started) {
        ok = e.write_picture(&t.error) && (!e.audio || e.write_sound(block.samples, &t.error));
        if (ok) frames_.fetch_add(1, std::memory_order_relaxed);
    }
    t.started = true;
    if (ok) ok = e.take_picture(*view_, &t.error);
    t.tap->pop();
    if (settings_.with_audio && !t.no_audio_reported && t.tap->saw_no_audio()) {
        CPPBridge::error("Error in Movie Capture: No Audio Stream To Render. You should turn off Audio when calling "
                         "start-movie-capture");
        t.no_audio_reported = true;  // once: a message a frame would flood the log
    }
    const uint64_t spent = now_ns() - began;
    encode_ns_.fetch_add(spent, std::memory_order_relaxed);
    if (spent > slowest_ns_.load(std::memory_order_relaxed)) slowest_ns_.store(spent, std::memory_order_relaxed);
    if (ok) return;
    // A failed write ends the recording here: the tap goes, and the file keeps what was written.
    t.failed = true;
    AUHost::singleton().detach_movie_tap(t.tap.get());
    std::string ignored;
    e.finish(false, &ignored);
    const bool placed = std::rename(e.temp.c_str(), settings_.path.c_str()) == 0;
    CPPBridge::error("Movie capture of %s stopped: %s.%s", settings_.path.c_str(), t.error.c_str(),
                     placed ? " The movie holds what was recorded until then." : "");
    ended_.store(true);
}

bool MovieWriter::finish(std::string* error) {
    Encoder& e = *encoder_;
    bool ok = e.finish(true, error);
    if (std::rename(e.temp.c_str(), settings_.path.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        ::unlink(e.temp.c_str());
        return fail(error, "Cannot put the movie in place at " + settings_.path + ": " + reason);
    }
    return ok;
}

bool MovieWriter::stop(std::string* error) {
    if (!stopped_) {
        stopped_ = true;
        Thread& t = *thread_;
        if (t.tap) AUHost::singleton().detach_movie_tap(t.tap.get());
        stopping_.store(true);
        if (t.thread) t.thread->join();
        result_ = t.error.empty();
        error_ = t.error;
    }
    if (error && !result_) *error = error_;
    return result_;
}

}  // namespace omb
