// The native library's main-thread helper: it owns what lives on the main thread for the whole run (the live video
// feed) and runs the work that process executers forward there.
//
// Threads: the feed is started, reconfigured and stopped on the main thread only. An executer forwards work with
// on_main(); the feed's newest frame may be read from any thread through newest_frame().
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "graphics/live_video.h"
#include "interpreter/scheme.h"

namespace omb {

class NativeSchemeHelper {
public:
    NativeSchemeHelper() = default;
    ~NativeSchemeHelper() { stop_feed(); }  // at program exit: no capture thread outlives the program
    NativeSchemeHelper(const NativeSchemeHelper&) = delete;
    NativeSchemeHelper& operator=(const NativeSchemeHelper&) = delete;

    // Runs `work` on the main thread. With `wait`, returns once it has run; false when the caller's evaluation
    // was interrupted first (Ctrl-C, or its process stopping while the main thread waits for that process), so no
    // executer can hang on a main thread that waits for it. On the main thread `work` runs at once.
    static bool on_main(scheme* sc, std::function<void()> work, bool wait = true);

    // ---- main thread -------------------------------------------------------------------------------------------
    LiveVideo* feed() { return feed_.get(); }
    // Keeps a feed that has started; the feed is started at most once per run.
    void keep_feed(std::unique_ptr<LiveVideo> feed);
    // Stops the capture and lets the device go (program end, tests).
    void stop_feed();

    // ---- any thread --------------------------------------------------------------------------------------------
    bool has_feed() const { return published_.load() != nullptr; }
    // The feed's newest frame; null before the feed has started or delivered.
    Ref<BitmapImage> newest_frame() const;

private:
    std::unique_ptr<LiveVideo> feed_;           // main thread
    std::atomic<LiveVideo*> published_{nullptr};  // the same, for readers on other threads
    mutable std::atomic<int> readers_{0};         // readers inside newest_frame(): stop_feed waits them out
};

// The program's helper (the native library's HELPER).
NativeSchemeHelper& native_scheme_helper();

}  // namespace omb
