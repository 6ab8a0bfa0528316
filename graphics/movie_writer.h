// MovieWriter: one recording of a canvas (or OpenGL view) with the engine's sound into a movie file.
//
// The engine's movie tap (audio/movie_tap.h) is the clock: every 2048 sample frames it hands a block of sound to
// this writer's movie thread, which polls for blocks every 5 ms. When a block arrives, the thread takes the
// canvas's picture as it is at that moment, at the block boundary B; that picture becomes the video frame at movie
// time B, and the block rendered after B becomes its sound. So each video frame lasts 2048 units of the time base
// 1/sample rate, and it shows what was drawn for the moment it starts, with the sound that follows that moment.
//
// Encoding: pictures are converted from the canvas's BGRA to yuv420p (libswscale; an odd width or height loses its
// last column or row) and encoded as H.264 by libx264 (preset ultrafast, which keeps up at 1280 x 720 on two busy
// cores; tuned for zero latency; a keyframe every second), or as MPEG-4 part 2 where libx264 is absent. Quality:
// low is CRF 30, medium CRF 23, high CRF 18 (MPEG-4: quantiser 10, 5, 2). Sound: AAC (128, 192, 256 kb/s for low,
// medium, high), or, when `compressed` is false, uncompressed 32-bit float PCM, which only the QuickTime container
// carries. Container: MPEG-4 for ".mp4" (QuickTime
// when the sound is uncompressed), QuickTime (".mov") for every other name.
//
// The file: written as a fragmented movie (a fragment a second) into a temporary file beside the target, renamed
// into place when the recording stops. A write that fails (a full disk) stops the recording then and there: the
// file written so far is put in place, every finished fragment of it playable.
//
// Threads: start() and stop() run on a process's executer; the movie thread owns the encoders and the file from
// start() until it ends. The counters may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "graphics/graphic_view.h"

namespace omb {

struct MovieSettings {
    std::string path;  // the movie's file; one there is replaced when the recording stops
    bool with_audio = true;
    bool compressed = true;  // AAC sound; false: float PCM
    int quality = 1;         // 0 low, 1 medium, 2 high
    int sample_rate = 44100;
};

class MovieWriter {
public:
    // Sets the file and the encoders up for the view's size, attaches a tap to the engine and starts the movie
    // thread. Null, with *error saying why, when any of it fails (nothing is left on disk then).
    static std::unique_ptr<MovieWriter> start(Ref<GraphicView> view, const MovieSettings& settings,
                                              std::string* error);
    // A recording still running is stopped and its file finished.
    ~MovieWriter();
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    // Detaches the tap, encodes every block already handed over, flushes the encoders, finishes the file and puts
    // it in place. False, with *error saying why, when something could not be written (the file then holds what
    // was). Later calls return the first result.
    bool stop(std::string* error);
    // The movie thread ended by itself, on a write error: stop() only collects it.
    bool ended() const { return ended_.load(); }

    GraphicView* view() const { return view_.get(); }
    const std::string& path() const { return settings_.path; }
    uint64_t frames_written() const { return frames_.load(std::memory_order_relaxed); }
    // Blocks the movie thread did not take in time: a video frame and its sound each.
    uint64_t frames_dropped() const;
    // Time the movie thread spent on the frames written, in nanoseconds (taking the picture, converting, encoding
    // and writing both tracks).
    uint64_t encode_nanoseconds() const { return encode_ns_.load(std::memory_order_relaxed); }
    uint64_t slowest_frame_nanoseconds() const { return slowest_ns_.load(std::memory_order_relaxed); }

    // Tests: holds the movie thread still (the ring fills); stop() releases it.
    void pause(bool paused) { paused_.store(paused); }
    // Tests and benchmarks: the blocks handed over and not yet taken.
    bool idle() const;

    struct Encoder;  // the movie thread's side: the file, the muxer, the encoders

private:
    MovieWriter(Ref<GraphicView> view, MovieSettings settings);
    void run();
    void take_block();
    bool finish(std::string* error);  // movie thread, once

    Ref<GraphicView> view_;
    MovieSettings settings_;
    std::unique_ptr<Encoder> encoder_;
    struct Thread;
    std::unique_ptr<Thread> thread_;
    std::atomic<bool> stopping_{false}, paused_{false}, ended_{false};
    std::atomic<uint64_t> frames_{0}, encode_ns_{0}, slowest_ns_{0};
    bool stopped_ = false;
    bool result_ = true;
    std::string error_;
};

}  // namespace omb
