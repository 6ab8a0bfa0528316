// Recording what the engine renders to a file: the render thread pushes buffers into a lock-free ring, a writer
// thread of the capture drains it, converts and encodes.
//
// Threads: push() belongs to one render thread at a time (the single producer); the writer thread is the single
// consumer and the only one that touches the file until close(); open(), close(), wait_for_space() and the
// destructor run off the render thread. The counters may be read from any thread.
//
// Formats, and the file each one writes:
//   aiff16      AIFF, 16-bit signed big-endian PCM, `file_rate` (0: 44100) Hz, `file_channels` (0: 2) of 1 or 2.
//               The performer's capture: the engine's rate is resampled and its channels mixed or spread.
//   aac_adts    AAC-LC in ADTS frames (".aac"), 44100 Hz, stereo, 192 kb/s, whatever `file_rate`/`file_channels`.
//               ADTS cannot state the encoder's priming: a decoder yields 1024 frames of it first.
//   aac_m4a     the same AAC in an MPEG-4 audio file (".m4a"), whose edit list trims the priming and states the
//               length to the frame.
//   wav_float   WAV, 32-bit IEEE float, at the engine's rate and channels: no conversion, every frame pushed is in
//               the file in order (frame i of the file is frame i pushed), so an offline render lines up with the
//               sample clock. `file_rate`/`file_channels` are ignored.
//   aiff_render AIFF-C with 32-bit float samples ('fl32'), at the engine's rate and channels, no conversion: the
//               renderer's ".aif"/".aiff". `file_rate`/`file_channels` are ignored.
// Mixing, where the file has fewer channels than the engine: file channel j is the mean of engine channels j,
// j+M, j+2M, ... (stereo to mono is (L+R)/2). Spreading, where it has more: file channel j is engine channel j mod N
// (mono to stereo copies the channel to both sides at full level).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace omb {

class AudioCapture {
public:
    enum class Format { aiff16, aac_adts, aac_m4a, wav_float, aiff_render };

    // Creates the file, which must not exist ("This file already exists", the file left untouched), and starts the
    // writer. Null, with *error saying why, when the file cannot be created or the format cannot be set up;
    // nothing is left on disk then. `engine_rate`/`engine_channels` are what push() will receive.
    static std::unique_ptr<AudioCapture> open(const std::string& path, Format format, int file_rate,
                                              int file_channels, int engine_rate, int engine_channels,
                                              std::string* error);
    // Finishes the file when close() was not called (a shutdown path).
    ~AudioCapture();
    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    // Render thread: appends `frames` frames, one array per channel. Never blocks, never allocates. A buffer that
    // does not fit whole in the ring is dropped whole and counted in lost_frames() (the file is shorter then: no
    // silence is put in its place). Channels the engine was opened with but not given here are silent; extra
    // ones are ignored.
    void push(const float* const* channels, int channel_count, uint32_t frames) noexcept;

    // Off the render thread (an offline render, which may run faster than the writer): waits until `frames` frames
    // fit in the ring. False at the time-out, or when the writer has stopped on an error.
    bool wait_for_space(uint32_t frames, std::chrono::milliseconds timeout);

    // Drains everything pushed, finishes the file (encoder flushed, trailer, header sizes) and closes it. Call
    // after the last push() has returned. False, with *error saying why (null is allowed), when something could
    // not be written; the file is closed either way. Later calls return the first result.
    bool close(std::string* error);

    uint64_t lost_frames() const { return lost_.load(std::memory_order_relaxed); }
    // Engine frames the writer took from the ring and wrote (before any resampling). After close(), pushed frames
    // = written_frames() + lost_frames().
    uint64_t written_frames() const { return written_.load(std::memory_order_relaxed); }
    // The ring's size in engine frames: four seconds rounded up to a power of two (262144 frames at 44100 or 48000).
    uint64_t ring_frames() const { return capacity_; }

    // Tests: holds the writer still so that the ring fills; close() releases it.
    void pause_writer(bool paused) { paused_.store(paused, std::memory_order_relaxed); }

    struct Writer;  // the writer thread's side: the file, the encoder, the converter

private:
    AudioCapture(std::unique_ptr<Writer> writer, int engine_channels, uint64_t capacity);
    void run_writer();
    uint64_t drain();  // writer thread: takes what the ring holds; returns the frames taken

    std::unique_ptr<Writer> writer_;
    const int channels_;      // engine channels: the ring's frames are interleaved with this many samples
    const uint64_t capacity_;  // frames, a power of two
    std::unique_ptr<float[]> ring_;
    // Frame counts since the start, never wrapped: head_ is the producer's, tail_ the writer's.
    alignas(64) std::atomic<uint64_t> head_{0};
    alignas(64) std::atomic<uint64_t> tail_{0};
    alignas(64) std::atomic<uint64_t> lost_{0};
    std::atomic<uint64_t> written_{0};
    std::atomic<bool> paused_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> failed_{false};  // the writer hit an error: it discards what it drains
    struct Control;
    std::unique_ptr<Control> control_;  // the writer thread and its wake-ups
    bool closed_ = false;
    bool close_result_ = true;
    std::string close_error_;
};

// The capture format a file name asks for: ".aac" AAC in ADTS, ".m4a" AAC in MPEG-4, ".wav" float WAV; anything
// else 16-bit AIFF. The extension is compared exactly (case matters).
AudioCapture::Format format_for_path(const std::string& path);

}  // namespace omb
