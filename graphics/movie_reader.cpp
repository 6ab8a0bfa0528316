#include "graphics/movie_reader.h"

#include <sys/stat.h>

#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "graphics/graphic_engine.h"
#include "platform/dev_log.h"

namespace omb {

namespace {

constexpr char kNullMovie[] = "Null Movie";
constexpr char kNoVideo[] = "Could not locate video track in movie";
constexpr char kNotRetrieved[] =
    "Could not retrieve Image from Movie at specified time. Have you used a time longer than the duration of the "
    "movie?";
// Decoding forward is cheaper than seeking when the time asked is this close after the frame shown.
constexpr double kForwardSeconds = 2.0;
// A damaged file may yield packets that never decode: give up after this many without a frame.
constexpr int kMaxFruitlessPackets = 2000;

bool fail(std::string* error, const std::string& message) {
    *error = message;
    return false;
}

// The first video stream that is a moving picture (not the cover art some audio files carry); -1 when none.
int video_stream_of(const AVFormatContext* format) {
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* st = format->streams[i];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
            return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

struct Movie::Decoder {
    AVFormatContext* format = nullptr;
    int video = -1;
    AVCodecContext* codec = nullptr;  // null when the video track has no decoder here
    AVPacket* packet = nullptr;
    AVFrame* shown = nullptr;  // the last frame decoded whose time is not after the time asked
    AVFrame* ahead = nullptr;  // the frame decoded after it, kept for the next request
    bool have_shown = false, have_ahead = false, at_end = false;
    SwsContext* sws = nullptr;

    ~Decoder() {
        sws_freeContext(sws);
        av_frame_free(&shown);
        av_frame_free(&ahead);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }

    AVStream* stream() const { return format->streams[video]; }
    int64_t start() const { return stream()->start_time == AV_NOPTS_VALUE ? 0 : stream()->start_time; }
    static int64_t time_of(const AVFrame* f) { return f->best_effort_timestamp; }

    double video_duration() const {
        const AVStream* st = stream();
        if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
            return static_cast<double>(st->duration) * av_q2d(st->time_base);
        return format->duration != AV_NOPTS_VALUE ? static_cast<double>(format->duration) / AV_TIME_BASE : 0.0;
    }

    bool open_codec() {
        const AVCodecParameters* par = stream()->codecpar;
        const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
        if (!decoder) return false;
        codec = avcodec_alloc_context3(decoder);
        if (!codec || avcodec_parameters_to_context(codec, par) < 0) return false;
        // Slices only: frame threads would hold frames back, which every seek pays for.
        codec->thread_type = FF_THREAD_SLICE;
        codec->pkt_timebase = stream()->time_base;
        if (avcodec_open2(codec, decoder, nullptr) < 0) {
            avcodec_free_context(&codec);
            return false;
        }
        packet = av_packet_alloc();
        shown = av_frame_alloc();
        ahead = av_frame_alloc();
        return packet && shown && ahead;
    }

    void seek(int64_t target) {
        // A failed seek leaves the reader where it was; decoding from there may still reach the time.
        if (av_seek_frame(format, video, target, AVSEEK_FLAG_BACKWARD) < 0)
            av_seek_frame(format, video, start(), AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(codec);
        have_shown = have_ahead = at_end = false;
    }

    // The next frame into `ahead`; false at the end of the track or when the file yields no more frames.
    bool decode_next() {
        int fruitless = 0;
        for (;;) {
            const int got = avcodec_receive_frame(codec, ahead);
            if (got == 0) {
                if (time_of(ahead) == AV_NOPTS_VALUE) ahead->best_effort_timestamp = ahead->pts;
                return have_ahead = true;
            }
            if (got == AVERROR_EOF) return false;
            if (got != AVERROR(EAGAIN) && ++fruitless > kMaxFruitlessPackets) return false;
            if (at_end) return false;
            const int read = read_video_packet();
            if (read < 0) {
                at_end = true;
                avcodec_send_packet(codec, nullptr);  // drain what the decoder holds
                continue;
            }
            // A damaged packet is skipped; the decoder picks up at the next good one.
            avcodec_send_packet(codec, packet);
            av_packet_unref(packet);
            if (++fruitless > kMaxFruitlessPackets) return false;
        }
    }

    int read_video_packet() {
        for (;;) {
            const int code = av_read_frame(format, packet);
            if (code < 0) return code;
            if (packet->stream_index == video) return 0;
            av_packet_unref(packet);
        }
    }

    // Decodes until `shown` is the frame at `target` (stream time base). False when no frame is at or before it.
    bool reach(int64_t target) {
        const double forward_limit = kForwardSeconds / av_q2d(stream()->time_base);
        const bool near_after = have_shown && time_of(shown) <= target &&
                                static_cast<double>(target - time_of(shown)) <= forward_limit;
        if (!near_after) seek(target);
        for (;;) {
            if (!have_ahead && !decode_next()) break;
            if (have_shown && time_of(ahead) > target) break;
            // The first frame stands for any earlier time too: nothing else is shown before it.
            std::swap(shown, ahead);
            have_shown = true;
            have_ahead = false;
            av_frame_unref(ahead);
        }
        return have_shown && (time_of(shown) <= target || time_of(shown) == first_time());
    }

    int64_t first_time() const { return start(); }
};

Movie::Movie(std::unique_ptr<Decoder> decoder) : decoder_(std::move(decoder)) {}
Movie::~Movie() = default;

Ref<Movie> Movie::open(const std::string& path, std::string* error) {
    struct stat st{};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        *error = "File Does Not Exist";
        return {};
    }
    auto decoder = std::make_unique<Decoder>();
    int code = avformat_open_input(&decoder->format, path.c_str(), nullptr, nullptr);
    if (code >= 0) code = avformat_find_stream_info(decoder->format, nullptr);
    if (code < 0) {
        *error = "Error Opening Movie File: " + std::to_string(code);
        return {};
    }
    decoder->video = video_stream_of(decoder->format);
    // A video track without a decoder is kept: asking it for a frame says so.
    if (decoder->video >= 0 && !decoder->open_codec()) avcodec_free_context(&decoder->codec);
    return make_object<Movie>(std::move(decoder));
}

bool Movie::closed() const {
    std::lock_guard lock(mutex_);
    return !decoder_;
}

void Movie::close() {
    std::unique_ptr<Decoder> gone;
    std::lock_guard lock(mutex_);
    gone = std::move(decoder_);
}

std::optional<double> Movie::duration(std::string* error) const {
    std::lock_guard lock(mutex_);
    if (!decoder_) return fail(error, kNullMovie), std::nullopt;
    const AVFormatContext* f = decoder_->format;
    if (f->duration != AV_NOPTS_VALUE && f->duration >= 0) return static_cast<double>(f->duration) / AV_TIME_BASE;
    if (decoder_->video >= 0) return decoder_->video_duration();
    return fail(error, "Could not find the movie's duration"), std::nullopt;
}

std::optional<double> Movie::fps(std::string* error) const {
    std::lock_guard lock(mutex_);
    if (!decoder_) return fail(error, kNullMovie), std::nullopt;
    if (decoder_->video < 0) return fail(error, "Could not find video frame rate"), std::nullopt;
    const AVStream* st = decoder_->stream();
    // The track's own count over its own length; a track that states neither (a fragmented file may not) has a
    // stated rate, which a movie's other, longer tracks cannot skew.
    if (st->nb_frames > 0 && st->duration != AV_NOPTS_VALUE && st->duration > 0) {
        devlog("samps: %d  timescale: %d  duration: %d", static_cast<int>(st->nb_frames), st->time_base.den,
               static_cast<int>(st->duration));
        return static_cast<double>(st->nb_frames) / (static_cast<double>(st->duration) * av_q2d(st->time_base));
    }
    const bool has_average = st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0;
    const bool has_base = st->r_frame_rate.num > 0 && st->r_frame_rate.den > 0;
    // A constant rate blurred a little in the average (a fragmented file's track length is only estimated) is
    // the rate itself.
    if (has_average && has_base &&
        std::abs(av_q2d(st->avg_frame_rate) - av_q2d(st->r_frame_rate)) < 0.05 * av_q2d(st->r_frame_rate))
        return av_q2d(st->r_frame_rate);
    if (has_average) return av_q2d(st->avg_frame_rate);
    if (has_base) return av_q2d(st->r_frame_rate);
    return fail(error, "Could not find video frame rate"), std::nullopt;
}

Ref<BitmapImage> Movie::frame_at(double seconds, std::string* error) {
    std::lock_guard lock(mutex_);
    if (!decoder_) return fail(error, kNullMovie), Ref<BitmapImage>{};
    Decoder& d = *decoder_;
    if (d.video < 0) return fail(error, kNoVideo), Ref<BitmapImage>{};
    if (!d.codec) return fail(error, "Error decompressing image"), Ref<BitmapImage>{};
    if (!std::isfinite(seconds) || seconds < 0 || seconds >= d.video_duration())
        return fail(error, kNotRetrieved), Ref<BitmapImage>{};
    // The frame at exactly its own time must not fall to the one before through rounding.
    const AVRational tb = d.stream()->time_base;
    const int64_t target = d.start() + static_cast<int64_t>(std::floor(seconds * tb.den / tb.num + 1e-6));
    if (!d.reach(target)) return fail(error, kNotRetrieved), Ref<BitmapImage>{};

    const AVFrame* f = d.shown;
    constexpr int kLimit = GraphicEngine::OFFSCREEN_SIDE;
    if (f->width <= 0 || f->height <= 0 || f->width > kLimit || f->height > kLimit)
        return fail(error, "Bad Image Description Getting Movie Image"), Ref<BitmapImage>{};
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, f->width, f->height);
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        return fail(error, "Error decompressing image"), Ref<BitmapImage>{};
    }
    Ref<BitmapImage> image = make_object<BitmapImage>(s);
    const auto source = static_cast<AVPixelFormat>(f->format);
    // Cairo's ARGB32 is B, G, R, A in memory on this machine: FFmpeg's BGRA.
    d.sws = sws_getCachedContext(d.sws, f->width, f->height, source, f->width, f->height, AV_PIX_FMT_BGRA,
                                 SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
    if (!d.sws) return fail(error, "Error decompressing image"), Ref<BitmapImage>{};
    cairo_surface_flush(s);
    uint8_t* data[4] = {cairo_image_surface_get_data(s), nullptr, nullptr, nullptr};
    int stride[4] = {cairo_image_surface_get_stride(s), 0, 0, 0};
    sws_scale(d.sws, f->data, f->linesize, 0, f->height, data, stride);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(source);
    if (desc && (desc->flags & AV_PIX_FMT_FLAG_ALPHA)) {
        // Cairo's pixels are premultiplied; a movie's are not.
        for (int y = 0; y < f->height; ++y) {
            uint8_t* p = data[0] + static_cast<size_t>(y) * stride[0];
            for (int x = 0; x < f->width; ++x, p += 4)
                for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>((p[c] * p[3] + 127) / 255);
        }
    }
    cairo_surface_mark_dirty(s);
    return image;
}

}  // namespace omb
