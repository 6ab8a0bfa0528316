#include "graphics/live_video.h"

#include <cairo.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "platform/thread.h"

namespace omb {

namespace {

std::string av_error_text(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

struct FormatCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct ScaleFreer {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using ScalePtr = std::unique_ptr<SwsContext, ScaleFreer>;

// Cairo's ARGB32 is a native-endian 32-bit word: B, G, R, A in memory on little-endian machines.
constexpr AVPixelFormat kCanvasFormat = AV_NE(AV_PIX_FMT_ARGB, AV_PIX_FMT_BGRA);

// Cairo wants alpha premultiplied; camera pictures are opaque, so only sources with an alpha plane need this.
void premultiply(cairo_surface_t* surface) {
    const int w = cairo_image_surface_get_width(surface), h = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    unsigned char* data = cairo_image_surface_get_data(surface);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(data + static_cast<ptrdiff_t>(y) * stride);
        for (int x = 0; x < w; ++x) {
            const uint32_t p = row[x], a = p >> 24;
            if (a == 255) continue;
            auto channel = [&](int shift) { return (((p >> shift) & 0xff) * a + 127) / 255 << shift; };
            row[x] = a << 24 | channel(16) | channel(8) | channel(0);
        }
    }
}

}  // namespace

// One open device: the demuxer, the decoder, the scaler and the thread that drives them. Everything but the
// constructor's opening and the destructor belongs to the capture thread.
class LiveVideo::Capture {
public:
    using Deliver = std::function<void(Ref<BitmapImage>)>;

    // Opens `device`; fills a size of 0 in `settings` with the device's own. Null with the reason in `error`.
    static std::unique_ptr<Capture> open(const VideoDevice& device, VideoSettings& settings, Deliver deliver,
                                         std::string* error);
    ~Capture() {
        {
            std::lock_guard lock(pace_mutex_);
            stop_ = true;
        }
        pace_.notify_all();
        if (thread_) thread_->join();
    }

private:
    Capture() = default;
    bool open_input(const VideoDevice& device, const VideoSettings& settings, std::string* error);
    bool open_decoder(std::string* error);
    void run();
    bool read_one(AVPacket* packet, AVFrame* frame);
    void deliver(const AVFrame* frame);
    void wait_for_next_frame();
    // libavformat asks this while it waits inside a read: non-zero ends the wait.
    static int interrupted(void* self) { return static_cast<Capture*>(self)->stop_.load() ? 1 : 0; }

    FormatPtr input_;
    CodecPtr decoder_;
    ScalePtr scaler_;
    int stream_ = -1;
    int width_ = 0, height_ = 0;
    bool paced_ = false;  // a source that is not a camera makes frames as fast as it is read
    std::chrono::nanoseconds period_{};
    std::chrono::steady_clock::time_point next_due_{};
    Deliver deliver_;
    std::string url_;

    std::atomic<bool> stop_{false};
    std::mutex pace_mutex_;
    std::condition_variable pace_;
    std::unique_ptr<Thread> thread_;
};

std::unique_ptr<LiveVideo::Capture> LiveVideo::Capture::open(const VideoDevice& device, VideoSettings& settings,
                                                             Deliver deliver, std::string* error) {
    std::unique_ptr<Capture> c(new Capture);
    c->url_ = device.url;
    if (!c->open_input(device, settings, error) || !c->open_decoder(error)) return nullptr;
    const AVCodecParameters* par = c->input_->streams[c->stream_]->codecpar;
    if (settings.width <= 0 || settings.height <= 0) settings.width = par->width, settings.height = par->height;
    if (settings.width <= 0 || settings.height <= 0 || settings.width > kMaxVideoSide ||
        settings.height > kMaxVideoSide) {
        *error = "the device gives pictures of no usable size";
        return nullptr;
    }
    c->width_ = settings.width, c->height_ = settings.height;
    c->paced_ = !device.is_v4l2();
    c->period_ = std::chrono::nanoseconds(static_cast<long long>(1e9 / settings.rate));
    c->deliver_ = std::move(deliver);
    c->thread_ = std::make_unique<Thread>("live video", [raw = c.get()] { raw->run(); });
    if (!c->thread_->start()) {
        *error = "the capture thread could not be started";
        return nullptr;
    }
    return c;
}

bool LiveVideo::Capture::open_input(const VideoDevice& device, const VideoSettings& settings, std::string* error) {
    avdevice_register_all();
    const AVInputFormat* format = av_find_input_format(device.format.c_str());
    if (!format) {
        *error = "no input format \"" + device.format + "\"";
        return false;
    }
    AVDictionary* options = nullptr;
    if (device.is_v4l2()) {
        char rate[32];
        std::snprintf(rate, sizeof rate, "%g", settings.rate);
        av_dict_set(&options, "framerate", rate, 0);
        if (settings.input >= 0) av_dict_set_int(&options, "channel", settings.input, 0);
    }
    AVFormatContext* raw = avformat_alloc_context();
    raw->interrupt_callback = {&Capture::interrupted, this};
    // A camera read then never blocks the capture thread past a stop.
    if (device.is_v4l2()) raw->flags |= AVFMT_FLAG_NONBLOCK;
    const int status = avformat_open_input(&raw, device.url.c_str(), format, &options);
    av_dict_free(&options);
    if (status < 0) {  // avformat_open_input frees the context on failure
        *error = av_error_text(status);
        return false;
    }
    input_.reset(raw);
    if (const int s = avformat_find_stream_info(raw, nullptr); s < 0) {
        *error = av_error_text(s);
        return false;
    }
    stream_ = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream_ < 0) {
        *error = "the device has no video stream";
        return false;
    }
    return true;
}

bool LiveVideo::Capture::open_decoder(std::string* error) {
    const AVCodecParameters* par = input_->streams[stream_]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) {
        *error = "no decoder for the device's pictures";
        return false;
    }
    decoder_.reset(avcodec_alloc_context3(codec));
    if (!decoder_ || avcodec_parameters_to_context(decoder_.get(), par) < 0) {
        *error = "the decoder could not be set up";
        return false;
    }
    decoder_->thread_count = 1;  // the machine's cores belong to the audio first
    if (const int s = avcodec_open2(decoder_.get(), codec, nullptr); s < 0) {
        *error = av_error_text(s);
        return false;
    }
    return true;
}

void LiveVideo::Capture::run() {
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    next_due_ = std::chrono::steady_clock::now();
    while (!stop_ && read_one(packet.get(), frame.get())) {
    }
}

// Reads one packet and delivers what it decodes to; false when the device has ended or failed.
bool LiveVideo::Capture::read_one(AVPacket* packet, AVFrame* frame) {
    int status = av_read_frame(input_.get(), packet);
    if (status == AVERROR(EAGAIN)) {  // a camera with no picture ready yet
        std::unique_lock lock(pace_mutex_);
        pace_.wait_for(lock, std::chrono::milliseconds(3), [this] { return stop_.load(); });
        return true;
    }
    if (status < 0) {
        if (!stop_) CPPBridge::error("Live video: %s stopped delivering (%s)", url_.c_str(), av_error_text(status).c_str());
        return false;
    }
    if (packet->stream_index == stream_) status = avcodec_send_packet(decoder_.get(), packet);
    av_packet_unref(packet);
    if (status < 0 && status != AVERROR(EAGAIN)) {  // one damaged picture: the next may be whole
        devlog("live video: a picture could not be decoded (%s)", av_error_text(status).c_str());
        return true;
    }
    while (!stop_ && avcodec_receive_frame(decoder_.get(), frame) == 0) {
        if (paced_) wait_for_next_frame();
        if (!stop_) deliver(frame);
        av_frame_unref(frame);
    }
    return true;
}

// Sources that are not cameras would run as fast as the processor allows: hold them to the frame rate.
void LiveVideo::Capture::wait_for_next_frame() {
    std::unique_lock lock(pace_mutex_);
    pace_.wait_until(lock, next_due_, [this] { return stop_.load(); });
    const auto now = std::chrono::steady_clock::now();
    next_due_ = next_due_ + period_ < now ? now : next_due_ + period_;
}

void LiveVideo::Capture::deliver(const AVFrame* frame) {
    const auto format = static_cast<AVPixelFormat>(frame->format);
    scaler_.reset(sws_getCachedContext(scaler_.release(), frame->width, frame->height, format, width_, height_,
                                       kCanvasFormat, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler_) {
        devlog("live video: no conversion from %s pictures", av_get_pix_fmt_name(format));
        return;
    }
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width_, height_);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return;
    }
    cairo_surface_flush(surface);
    uint8_t* planes[4] = {cairo_image_surface_get_data(surface), nullptr, nullptr, nullptr};
    int strides[4] = {cairo_image_surface_get_stride(surface), 0, 0, 0};
    sws_scale(scaler_.get(), frame->data, frame->linesize, 0, frame->height, planes, strides);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (desc && (desc->flags & AV_PIX_FMT_FLAG_ALPHA)) premultiply(surface);
    cairo_surface_mark_dirty(surface);
    deliver_(make_object<BitmapImage>(surface));
}

// ---- the feed ----------------------------------------------------------------------------------------------------

LiveVideo::LiveVideo() = default;

LiveVideo::~LiveVideo() { capture_.reset(); }

std::unique_ptr<LiveVideo> LiveVideo::start(const VideoSettings& settings, std::string* error) {
    std::unique_ptr<LiveVideo> feed(new LiveVideo);
    if (!feed->apply(settings, error)) return nullptr;
    return feed;
}

bool LiveVideo::apply(const VideoSettings& wanted, std::string* error) {
    const auto devices = video_devices();
    if (wanted.device < 0 || wanted.device >= static_cast<int>(devices.size())) {
        *error = devices.empty() ? "there is no video device" : "there is no video device " + std::to_string(wanted.device);
        return false;
    }
    if (!(wanted.rate > 0 && wanted.rate <= 1000) || wanted.width < 0 || wanted.height < 0 ||
        wanted.width > kMaxVideoSide || wanted.height > kMaxVideoSide) {
        *error = "the frame rate must be above 0 and at most 1000, and sizes from 1 to 5000";
        return false;
    }
    const bool had = capture_ != nullptr;
    capture_.reset();  // a camera streams to one reader at a time: let go before opening again
    VideoSettings next = wanted;
    auto deliver = [this](Ref<BitmapImage> frame) { publish(std::move(frame)); };
    capture_ = Capture::open(devices[wanted.device], next, deliver, error);
    if (capture_) {
        settings_ = next, device_ = devices[wanted.device];
        return true;
    }
    if (had) {  // back to what worked
        std::string ignored;
        VideoSettings previous = settings_;
        capture_ = Capture::open(device_, previous, deliver, &ignored);
    }
    return false;
}

void LiveVideo::publish(Ref<BitmapImage> frame) {
    {
        std::lock_guard lock(frame_mutex_);
        std::swap(newest_, frame);
    }
    delivered_.fetch_add(1);
    // The frame replaced is released here, outside the lock.
}

Ref<BitmapImage> LiveVideo::newest_frame() const {
    std::lock_guard lock(frame_mutex_);
    return newest_;
}

}  // namespace omb
