// The live video feed: one capture device opened through libavdevice, its frames decoded and converted with
// libswscale into bitmaps of the canvas layout (Cairo ARGB32, premultiplied, top row first), and the newest of them
// kept for Scheme to draw.
//
// Threads: a LiveVideo is made, reconfigured (apply) and destroyed on one thread, the main thread in the program.
// It runs a capture thread of its own that reads, decodes and converts, and replaces the newest frame under a lock;
// newest_frame() and the counters may be called from any thread. Each delivered frame is a new image that nobody
// writes to afterwards, so Scheme may keep and draw it while later frames arrive.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "graphics/bitmap_image.h"
#include "graphics/video_devices.h"

namespace omb {

// What the feed is asked for. Sizes of 0 take the device's own picture size.
struct VideoSettings {
    int device = 0;      // index into video_devices()
    int input = -1;      // the device's input; -1 leaves the one it has
    int width = 0;       // frames are scaled to width x height
    int height = 0;
    double rate = 30.0;  // frames a second asked of the device; sources that are not cameras are paced to it
};

// The largest frame the feed delivers each way: a bound on what one call can make it allocate.
constexpr int kMaxVideoSide = 5000;

class LiveVideo {
public:
    // Opens the device of `settings` and starts capturing; null, with the reason in `error`, when the device does
    // not exist or cannot be opened.
    static std::unique_ptr<LiveVideo> start(const VideoSettings& settings, std::string* error);
    ~LiveVideo();  // stops the capture thread and waits for it
    LiveVideo(const LiveVideo&) = delete;
    LiveVideo& operator=(const LiveVideo&) = delete;

    // Stops, reopens with `settings` and starts again. When that fails the previous settings are opened again,
    // so a bad choice never leaves the performer without a picture; false, with the reason in `error`.
    bool apply(const VideoSettings& settings, std::string* error);

    const VideoSettings& settings() const { return settings_; }
    const VideoDevice& device() const { return device_; }
    // The size of the frames delivered now (the bounds in force).
    std::pair<int, int> frame_size() const { return {settings_.width, settings_.height}; }

    // The newest frame, retained for the caller; null before the first.
    Ref<BitmapImage> newest_frame() const;
    // Frames delivered since the feed started.
    std::uint64_t frames_delivered() const { return delivered_.load(); }

    class Capture;  // one open device and its thread (live_video.cpp)

private:
    LiveVideo();
    void publish(Ref<BitmapImage> frame);

    VideoSettings settings_;
    VideoDevice device_;
    std::unique_ptr<Capture> capture_;

    mutable std::mutex frame_mutex_;  // guards newest_
    Ref<BitmapImage> newest_;
    std::atomic<std::uint64_t> delivered_{0};
};

}  // namespace omb
