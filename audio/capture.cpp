#include "audio/capture.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sndfile.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
}

#include "platform/thread.h"

namespace omb {

namespace {

constexpr int kCaptureRate = 44100;
constexpr int kAacChannels = 2;
constexpr int64_t kAacBitRate = 192000;
constexpr double kRingSeconds = 4.0;
constexpr uint32_t kChunkFrames = 4096;  // the most the writer converts at once: bounds its buffers
constexpr auto kWriterPoll = std::chrono::milliseconds(10);

std::string av_message(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// Created here or not at all: O_EXCL keeps an existing file untouched even when another program makes it between a
// check and the open.
int create_exclusive(const std::string& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error = errno == EEXIST ? "This file already exists"
                                 : "Cannot create the file " + path + ": " + std::strerror(errno);
    }
    return fd;
}

// ---- conversion: the engine's channels and rate to the file's -------------------------------------------------

// Interleaved float in, interleaved float out. Channel mixing is ours (plain means and copies, see the header);
// rate conversion is libswresample's, with its delay flushed at the end so no frame of the tail is lost.
class Converter {
public:
    ~Converter() { swr_free(&swr_); }

    bool init(int in_rate, int in_channels, int out_rate, int out_channels, std::string* error) {
        in_channels_ = in_channels;
        out_channels_ = out_channels;
        if (in_channels != out_channels) mixed_.resize(static_cast<size_t>(kChunkFrames) * out_channels);
        if (in_rate == out_rate) return true;
        AVChannelLayout layout;
        av_channel_layout_default(&layout, out_channels);
        int code = swr_alloc_set_opts2(&swr_, &layout, AV_SAMPLE_FMT_FLT, out_rate, &layout, AV_SAMPLE_FMT_FLT,
                                       in_rate, 0, nullptr);
        if (code >= 0) code = swr_init(swr_);
        av_channel_layout_uninit(&layout);
        if (code < 0) {
            *error = "Cannot set up the sample rate conversion: " + av_message(code);
            return false;
        }
        out_.resize(static_cast<size_t>(swr_get_out_samples(swr_, kChunkFrames) + 64) * out_channels);
        return true;
    }

    // Converts `frames` frames (at most kChunkFrames); *out points at the result, valid until the next call.
    int convert(const float* in, uint32_t frames, const float** out, std::string* error) {
        const float* source = in;
        if (in_channels_ != out_channels_) {
            mix(in, frames);
            source = mixed_.data();
        }
        if (!swr_) {
            *out = source;
            return static_cast<int>(frames);
        }
        return resample(source, static_cast<int>(frames), out, error);
    }

    // What the resampler still holds; 0 frames when done.
    int flush(const float** out, std::string* error) { return swr_ ? resample(nullptr, 0, out, error) : 0; }

private:
    void mix(const float* in, uint32_t frames) {
        const int n = in_channels_, m = out_channels_;
        for (uint32_t f = 0; f < frames; ++f) {
            const float* frame = in + static_cast<size_t>(f) * n;
            float* target = mixed_.data() + static_cast<size_t>(f) * m;
            if (n > m) {
                for (int j = 0; j < m; ++j) {
                    float sum = 0;
                    int count = 0;
                    for (int i = j; i < n; i += m, ++count) sum += frame[i];
                    target[j] = sum / static_cast<float>(count);
                }
            } else {
                for (int j = 0; j < m; ++j) target[j] = frame[j % n];
            }
        }
    }

    int resample(const float* in, int frames, const float** out, std::string* error) {
        const int room = swr_get_out_samples(swr_, frames);
        const size_t needed = static_cast<size_t>(std::max(room, 0) + 64) * out_channels_;
        if (out_.size() < needed) out_.resize(needed);  // the writer thread may allocate
        auto* target = reinterpret_cast<uint8_t*>(out_.data());
        const auto* source = reinterpret_cast<const uint8_t*>(in);
        const int made = swr_convert(swr_, &target, static_cast<int>(out_.size() / out_channels_),
                                     in ? &source : nullptr, frames);
        if (made < 0) *error = "Sample rate conversion failed: " + av_message(made);
        *out = out_.data();
        return made;
    }

    int in_channels_ = 0, out_channels_ = 0;
    SwrContext* swr_ = nullptr;
    std::vector<float> mixed_, out_;
};

// ---- files ------------------------------------------------------------------------------------------------------

class Sink {
public:
    virtual ~Sink() = default;
    // Interleaved float frames at the file's rate and channels.
    virtual bool write(const float* frames, size_t count, std::string* error) = 0;
    // Everything written out and the file closed; called once.
    virtual bool finish(std::string* error) = 0;
};

// AIFF and WAV through libsndfile, which fills in the header sizes when the file is closed. It writes through our
// own descriptor, so a failed write reports the system's reason and the descriptor is closed exactly once.
class SndfileSink : public Sink {
public:
    ~SndfileSink() override {
        if (file_) sf_close(file_);
        if (fd_ >= 0) ::close(fd_);
    }

    bool open(int fd, int sf_format, int rate, int channels, std::string* error) {
        fd_ = fd;
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = sf_format;
        if (!sf_format_check(&info)) {
            *error = "This audio file format cannot be written";
            return false;
        }
        static SF_VIRTUAL_IO io = {&length, &seek, &read, &write_bytes, &tell};
        file_ = sf_open_virtual(&io, SFM_WRITE, &info, this);
        if (!file_) return fail(error, "Cannot write the audio file: ");
        sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);  // a loud mix clips instead of wrapping around
        // The peak chunk carries the time of writing: without it, the same render gives the same bytes.
        sf_command(file_, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
        return true;
    }

    bool write(const float* frames, size_t count, std::string* error) override {
        const sf_count_t done = sf_writef_float(file_, frames, static_cast<sf_count_t>(count));
        return done == static_cast<sf_count_t>(count) || fail(error, "Cannot write the audio file: ");
    }

    bool finish(std::string* error) override {
        const int code = sf_close(file_);
        file_ = nullptr;
        if (code != 0 || io_errno_ != 0) return fail(error, "Cannot finish the audio file: ");
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) {
            io_errno_ = errno;
            return fail(error, "Cannot finish the audio file: ");
        }
        return true;
    }

private:
    bool fail(std::string* error, const char* what) const {
        *error = what + std::string(io_errno_ ? std::strerror(io_errno_) : sf_strerror(file_));
        return false;
    }

    static SndfileSink& self(void* user) { return *static_cast<SndfileSink*>(user); }
    static sf_count_t length(void* user) {
        struct stat st{};
        return ::fstat(self(user).fd_, &st) == 0 ? st.st_size : -1;
    }
    static sf_count_t seek(sf_count_t offset, int whence, void* user) { return ::lseek(self(user).fd_, offset, whence); }
    static sf_count_t tell(void* user) { return ::lseek(self(user).fd_, 0, SEEK_CUR); }
    static sf_count_t read(void* data, sf_count_t count, void* user) {
        const ssize_t n = ::read(self(user).fd_, data, static_cast<size_t>(count));
        return n < 0 ? 0 : n;
    }
    static sf_count_t write_bytes(const void* data, sf_count_t count, void* user) {
        SndfileSink& sink = self(user);
        const auto* bytes = static_cast<const char*>(data);
        sf_count_t done = 0;
        while (done < count) {
            const ssize_t n = ::write(sink.fd_, bytes + done, static_cast<size_t>(count - done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (sink.io_errno_ == 0) sink.io_errno_ = n < 0 ? errno : ENOSPC;
                break;
            }
            done += n;
        }
        return done;
    }

    SNDFILE* file_ = nullptr;
    int fd_ = -1;
    int io_errno_ = 0;  // the first failed write's reason
};

// AAC through libavcodec's encoder, in ADTS or MPEG-4 through libavformat. The output goes through our own file
// descriptor (the file was created exclusively), seekable so the MPEG-4 muxer can write its index at the end.
class AacSink : public Sink {
public:
    ~AacSink() override {
        if (format_ && format_->pb) {
            av_freep(&format_->pb->buffer);
            avio_context_free(&format_->pb);
        }
        avformat_free_context(format_);
        avcodec_free_context(&encoder_);
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        if (fd_ >= 0) ::close(fd_);
    }

    bool open(int fd, const std::string& path, bool mpeg4, std::string* error) {
        fd_ = fd;
        const char* muxer = mpeg4 ? "ipod" : "adts";
        if (avformat_alloc_output_context2(&format_, nullptr, muxer, nullptr) < 0 || !format_)
            return fail(error, std::string("The ") + muxer + " file writer is not available");
        const AVCodec* codec = avcodec_find_encoder_by_name("aac");
        if (!codec) return fail(error, "The AAC encoder is not available");
        encoder_ = avcodec_alloc_context3(codec);
        if (!encoder_) return fail(error, "Out of memory");
        encoder_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        encoder_->sample_rate = kCaptureRate;
        av_channel_layout_default(&encoder_->ch_layout, kAacChannels);
        encoder_->bit_rate = kAacBitRate;
        encoder_->time_base = AVRational{1, kCaptureRate};
        encoder_->log_level_offset = AV_LOG_VERBOSE - AV_LOG_INFO;  // its closing statistics are not for the stage
        if (format_->oformat->flags & AVFMT_GLOBALHEADER) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        int code = avcodec_open2(encoder_, codec, nullptr);
        if (code < 0) return fail(error, "Cannot start the AAC encoder: " + av_message(code));
        small_last_frame_ = (codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;

        AVStream* stream = avformat_new_stream(format_, nullptr);
        if (!stream) return fail(error, "Out of memory");
        code = avcodec_parameters_from_context(stream->codecpar, encoder_);
        if (code < 0) return fail(error, "Cannot set up the AAC stream: " + av_message(code));
        stream->time_base = encoder_->time_base;

        constexpr int kIoBuffer = 65536;
        auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBuffer));
        format_->pb = buffer ? avio_alloc_context(buffer, kIoBuffer, 1, this, nullptr, &write_packet, &seek) : nullptr;
        if (!format_->pb) {
            av_free(buffer);
            return fail(error, "Out of memory");
        }
        format_->flags |= AVFMT_FLAG_CUSTOM_IO;
        format_->url = av_strdup(path.c_str());  // the muxer checks the extension
        // The MPEG-4 edit list, which trims the encoder's priming and padding, counts in the movie's time scale:
        // in samples rather than the default milliseconds, the file's length is exact to the frame.
        AVDictionary* options = nullptr;
        if (mpeg4) av_dict_set_int(&options, "movie_timescale", kCaptureRate, 0);
        code = avformat_write_header(format_, &options);
        av_dict_free(&options);
        if (code < 0) return fail(error, "Cannot write the audio file: " + io_message(code));

        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (!frame_ || !packet_) return fail(error, "Out of memory");
        frame_->format = AV_SAMPLE_FMT_FLTP;
        frame_->sample_rate = kCaptureRate;
        frame_->nb_samples = encoder_->frame_size > 0 ? encoder_->frame_size : 1024;
        av_channel_layout_copy(&frame_->ch_layout, &encoder_->ch_layout);
        code = av_frame_get_buffer(frame_, 0);
        if (code < 0) return fail(error, "Out of memory");
        frame_size_ = frame_->nb_samples;
        return true;
    }

    // The encoder takes whole frames of frame_size_: gather them, send each as it fills.
    bool write(const float* frames, size_t count, std::string* error) override {
        while (count > 0) {
            if (filled_ == 0 && av_frame_make_writable(frame_) < 0) return fail(error, "Out of memory");
            const size_t take = std::min(count, static_cast<size_t>(frame_size_ - filled_));
            auto* left = reinterpret_cast<float*>(frame_->data[0]) + filled_;
            auto* right = reinterpret_cast<float*>(frame_->data[1]) + filled_;
            for (size_t i = 0; i < take; ++i) {
                left[i] = frames[2 * i];
                right[i] = frames[2 * i + 1];
            }
            frames += 2 * take;
            count -= take;
            filled_ += static_cast<int>(take);
            if (filled_ == frame_size_ && !send(frame_size_, error)) return false;
        }
        return true;
    }

    bool finish(std::string* error) override {
        if (filled_ > 0) {
            int length = filled_;
            if (!small_last_frame_) {
                for (int c = 0; c < kAacChannels; ++c) {
                    auto* samples = reinterpret_cast<float*>(frame_->data[c]);
                    std::fill(samples + filled_, samples + frame_size_, 0.0f);
                }
                length = frame_size_;
            }
            if (!send(length, error)) return false;
        }
        int code = avcodec_send_frame(encoder_, nullptr);  // the encoder's delayed frames
        if (code < 0) return fail(error, "Cannot finish the AAC stream: " + av_message(code));
        if (!receive_packets(error)) return false;
        code = av_write_trailer(format_);
        if (code < 0) return fail(error, "Cannot finish the audio file: " + io_message(code));
        avio_flush(format_->pb);
        if (io_errno_ != 0) return fail(error, "Cannot finish the audio file: " + std::string(std::strerror(io_errno_)));
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) return fail(error, "Cannot finish the audio file: " + std::string(std::strerror(errno)));
        return true;
    }

private:
    static bool fail(std::string* error, std::string message) {
        *error = std::move(message);
        return false;
    }

    // A failed write reports the system's reason, which FFmpeg would only report as an I/O error.
    std::string io_message(int code) const { return io_errno_ ? std::strerror(io_errno_) : av_message(code); }

    bool send(int length, std::string* error) {
        frame_->nb_samples = length;
        frame_->pts = next_pts_;
        next_pts_ += length;
        const int code = avcodec_send_frame(encoder_, frame_);
        frame_->nb_samples = frame_size_;
        filled_ = 0;
        if (code < 0) return fail(error, "AAC encoding failed: " + av_message(code));
        return receive_packets(error);
    }

    bool receive_packets(std::string* error) {
        for (;;) {
            int code = avcodec_receive_packet(encoder_, packet_);
            if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) return true;
            if (code < 0) return fail(error, "AAC encoding failed: " + av_message(code));
            av_packet_rescale_ts(packet_, encoder_->time_base, format_->streams[0]->time_base);
            packet_->stream_index = 0;
            code = av_interleaved_write_frame(format_, packet_);
            // The muxer may buffer past a failed write: our own record of it stops the capture at once.
            if (code < 0 || io_errno_ != 0) return fail(error, "Cannot write the audio file: " + io_message(code));
        }
    }

    static int write_packet(void* opaque, uint8_t* data, int size) {
        auto* self = static_cast<AacSink*>(opaque);
        int left = size;
        while (left > 0) {
            const ssize_t n = ::write(self->fd_, data, static_cast<size_t>(left));
            if (n < 0) {
                if (errno == EINTR) continue;
                self->io_errno_ = errno;
                return AVERROR(errno);
            }
            data += n;
            left -= static_cast<int>(n);
        }
        return size;
    }

    static int64_t seek(void* opaque, int64_t offset, int whence) {
        auto* self = static_cast<AacSink*>(opaque);
        if (whence & AVSEEK_SIZE) {
            struct stat st{};
            return ::fstat(self->fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(errno);
        }
        const off_t at = ::lseek(self->fd_, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
        return at < 0 ? AVERROR(errno) : static_cast<int64_t>(at);
    }

    int fd_ = -1;
    int io_errno_ = 0;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* encoder_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    int frame_size_ = 0;
    int filled_ = 0;
    int64_t next_pts_ = 0;
    bool small_last_frame_ = false;
};

}  // namespace

// ---- the writer: conversion in front of a file -------------------------------------------------------------------

struct AudioCapture::Writer {
    Converter converter;
    std::unique_ptr<Sink> sink;
    std::string error;  // the first failure; the writer thread's until it is joined

    bool write(const float* frames, uint32_t count) {
        const float* converted = nullptr;
        const int n = converter.convert(frames, count, &converted, &error);
        return n >= 0 && sink->write(converted, static_cast<size_t>(n), &error);
    }

    bool finish() {
        if (!error.empty()) {
            std::string ignored;
            sink->finish(&ignored);  // close what can be closed; the first error is the one to report
            return false;
        }
        for (;;) {
            const float* tail = nullptr;
            const int n = converter.flush(&tail, &error);
            if (n < 0 || (n > 0 && !sink->write(tail, static_cast<size_t>(n), &error))) {
                std::string ignored;
                sink->finish(&ignored);
                return false;
            }
            if (n == 0) break;
        }
        return sink->finish(&error);
    }
};

struct AudioCapture::Control {
    std::mutex mutex;
    std::condition_variable wake;   // close() to the writer
    std::condition_variable space;  // the writer to wait_for_space()
    std::unique_ptr<Thread> thread;
};

AudioCapture::Format format_for_path(const std::string& path) {
    if (path.ends_with(".aac")) return AudioCapture::Format::aac_adts;
    if (path.ends_with(".m4a")) return AudioCapture::Format::aac_m4a;
    if (path.ends_with(".wav")) return AudioCapture::Format::wav_float;
    return AudioCapture::Format::aiff16;
}

std::unique_ptr<AudioCapture> AudioCapture::open(const std::string& path, Format format, int file_rate,
                                                 int file_channels, int engine_rate, int engine_channels,
                                                 std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    if (engine_rate <= 0 || engine_rate > 768000 || engine_channels <= 0 || engine_channels > 64) {
        *error = "The audio engine's format cannot be recorded";
        return nullptr;
    }
    // The file's format, as the header describes.
    int rate = engine_rate, channels = engine_channels;
    if (format == Format::aiff16) {
        rate = file_rate > 0 ? file_rate : kCaptureRate;
        channels = file_channels > 0 ? file_channels : 2;
        if (channels > 2) {
            *error = "A capture has 1 or 2 channels";
            return nullptr;
        }
        if (rate < 8000 || rate > 192000) {
            *error = "A capture's sample rate is between 8000 and 192000";
            return nullptr;
        }
    } else if (format == Format::aac_adts || format == Format::aac_m4a) {
        rate = kCaptureRate;
        channels = kAacChannels;
    }

    const int fd = create_exclusive(path, error);
    if (fd < 0) return nullptr;
    auto writer = std::make_unique<Writer>();
    bool ready = false;
    if (format == Format::aac_adts || format == Format::aac_m4a) {
        auto sink = std::make_unique<AacSink>();
        ready = sink->open(fd, path, format == Format::aac_m4a, error);
        writer->sink = std::move(sink);
    } else {
        const int sf_format = format == Format::aiff16      ? SF_FORMAT_AIFF | SF_FORMAT_PCM_16
                              : format == Format::wav_float ? SF_FORMAT_WAV | SF_FORMAT_FLOAT
                                                            : SF_FORMAT_AIFF | SF_FORMAT_FLOAT;
        auto sink = std::make_unique<SndfileSink>();
        ready = sink->open(fd, sf_format, rate, channels, error);
        writer->sink = std::move(sink);
    }
    ready = ready && writer->converter.init(engine_rate, engine_channels, rate, channels, error);
    if (!ready) {
        writer.reset();  // closes the descriptor
        ::unlink(path.c_str());
        return nullptr;
    }

    uint64_t capacity = 1;
    while (capacity < static_cast<uint64_t>(engine_rate * kRingSeconds)) capacity <<= 1;
    std::unique_ptr<AudioCapture> capture(new AudioCapture(std::move(writer), engine_channels, capacity));
    AudioCapture* self = capture.get();
    capture->control_->thread = std::make_unique<Thread>("capture writer", [self] { self->run_writer(); });
    if (!capture->control_->thread->start()) {
        capture->closed_ = true;  // nothing will be written: drop the file
        capture->writer_->sink->finish(&ignored);
        ::unlink(path.c_str());
        *error = "Cannot start the capture's writer thread";
        return nullptr;
    }
    return capture;
}

// The ring is zeroed here, so its pages are mapped before the render thread first writes to them.
AudioCapture::AudioCapture(std::unique_ptr<Writer> writer, int engine_channels, uint64_t capacity)
    : writer_(std::move(writer)),
      channels_(engine_channels),
      capacity_(capacity),
      ring_(std::make_unique<float[]>(capacity * static_cast<uint64_t>(engine_channels))),
      control_(std::make_unique<Control>()) {}

AudioCapture::~AudioCapture() {
    if (!closed_) close(nullptr);
}

void AudioCapture::push(const float* const* channels, int channel_count, uint32_t frames) noexcept {
    const uint64_t head = head_.load(std::memory_order_relaxed);
    const uint64_t tail = tail_.load(std::memory_order_acquire);
    if (frames > capacity_ - (head - tail)) {
        lost_.fetch_add(frames, std::memory_order_relaxed);
        return;
    }
    const uint64_t mask = capacity_ - 1;
    const int n = channels_;
    for (int c = 0; c < n; ++c) {
        const float* source = c < channel_count && channels ? channels[c] : nullptr;
        uint64_t at = head;
        for (uint32_t f = 0; f < frames; ++f, ++at) ring_[(at & mask) * n + c] = source ? source[f] : 0.0f;
    }
    head_.store(head + frames, std::memory_order_release);
}

bool AudioCapture::wait_for_space(uint32_t frames, std::chrono::milliseconds timeout) {
    if (frames > capacity_) return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const uint64_t head = head_.load(std::memory_order_relaxed);
    std::unique_lock lock(control_->mutex);
    for (;;) {
        if (failed_.load(std::memory_order_relaxed)) return false;
        if (frames <= capacity_ - (head - tail_.load(std::memory_order_acquire))) return true;
        if (control_->space.wait_until(lock, deadline) == std::cv_status::timeout) {
            return frames <= capacity_ - (head - tail_.load(std::memory_order_acquire));
        }
    }
}

void AudioCapture::run_writer() {
    for (;;) {
        const bool stopping = stopping_.load(std::memory_order_acquire);
        if (stopping || !paused_.load(std::memory_order_relaxed)) {
            const uint64_t taken = drain();
            if (taken > 0) {
                { std::lock_guard lock(control_->mutex); }  // a waiter between its check and its wait sees this
                control_->space.notify_all();
            }
        }
        // Every push returned before close() set stopping_: one drain after seeing it takes the last of them.
        if (stopping) return;
        std::unique_lock lock(control_->mutex);
        control_->wake.wait_for(lock, kWriterPoll, [this] { return stopping_.load(std::memory_order_relaxed); });
    }
}

uint64_t AudioCapture::drain() {
    const uint64_t head = head_.load(std::memory_order_acquire);
    uint64_t tail = tail_.load(std::memory_order_relaxed);
    const uint64_t start = tail;
    const uint64_t mask = capacity_ - 1;
    while (tail < head) {
        // Contiguous in the ring, and no more than the converter's buffers hold.
        const uint64_t count = std::min({head - tail, capacity_ - (tail & mask), uint64_t{kChunkFrames}});
        const float* frames = ring_.get() + (tail & mask) * channels_;
        if (!failed_.load(std::memory_order_relaxed) && writer_->write(frames, static_cast<uint32_t>(count))) {
            written_.fetch_add(count, std::memory_order_relaxed);
        } else {
            // After an error (a full disk) the rest is drained and counted, so push() keeps finding room.
            failed_.store(true, std::memory_order_relaxed);
            lost_.fetch_add(count, std::memory_order_relaxed);
        }
        tail += count;
        tail_.store(tail, std::memory_order_release);
    }
    return tail - start;
}

bool AudioCapture::close(std::string* error) {
    if (!closed_) {
        closed_ = true;
        {
            std::lock_guard lock(control_->mutex);
            stopping_.store(true, std::memory_order_release);
        }
        control_->wake.notify_one();
        control_->thread->join();
        close_result_ = writer_->finish();
        close_error_ = writer_->error;
    }
    if (!close_result_ && error) *error = close_error_;
    return close_result_;
}

}  // namespace omb
