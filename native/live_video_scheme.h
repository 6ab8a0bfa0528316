// The live video names: "gfx:start-live-video", "gfx:get-live-frame", "gfx:open-video-preferences",
// "gfx:set-video-device", "gfx:set-video-device-input", "gfx:print-video-devices", "gfx:set-video-bounds".
//
// Threads: the procedures run on a process's executer and forward their work to the main thread, where the feed
// lives (native/native_scheme_helper.h); all but the listing wait for it. "gfx:get-live-frame" reads the newest
// frame where it is called, under the feed's lock. Without a camera every name answers its failure value: #f, or
// for the frame an objc cell holding nothing.
#pragma once

#include "native/native_scheme.h"

namespace omb {

// In registration order.
NativeTable live_video_procedures();

}  // namespace omb
