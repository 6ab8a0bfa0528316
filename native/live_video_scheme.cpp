#include "native/live_video_scheme.h"

#include <cmath>
#include <memory>
#include <optional>
#include <string>

#include "graphics/live_video.h"
#include "native/controller.h"
#include "native/native_scheme_helper.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"

namespace omb {

namespace {

pointer nth(scheme* sc, pointer args, int n) {
    for (; n > 0 && is_pair(args); --n) args = pair_cdr(args);
    return is_pair(args) ? pair_car(args) : sc->NIL;
}

// Runs `work` on the main thread, waiting, and answers what it answered; false when the wait was given up.
bool ask_main(scheme* sc, std::function<bool()> work) {
    auto answer = std::make_shared<bool>(false);
    if (!NativeSchemeHelper::on_main(sc, [answer, work = std::move(work)] { *answer = work(); })) return false;
    return *answer;
}

pointer answer(scheme* sc, bool ok) { return ok ? sc->T : sc->F; }

// Main thread: the running feed, or null after telling the performer that `name` needs one.
LiveVideo* started_feed(const char* name) {
    LiveVideo* feed = native_scheme_helper().feed();
    if (!feed) CPPBridge::error("You must call start-live-video before calling %s\n", name);
    return feed;
}

// ---- starting and the frame --------------------------------------------------------------------------------------

// Main thread.
bool start_feed(double rate) {
    NativeSchemeHelper& helper = native_scheme_helper();
    if (helper.feed()) {
        CPPBridge::notification("Video feed already running");
        return true;
    }
    VideoSettings settings;
    settings.rate = rate;
    std::string why;
    std::unique_ptr<LiveVideo> feed = LiveVideo::start(settings, &why);
    if (!feed) {
        // Nothing is kept, so the performer may plug a camera in and start again.
        devlog("---------> No camera available");
        devlog("live video: %s", why.c_str());
        CPPBridge::notification("No camera available");
        return false;
    }
    helper.keep_feed(std::move(feed));
    CPPBridge::notification("Video feed started.");
    return true;
}

pointer start_live_video(scheme* sc, pointer args) {
    double rate = 30.0;
    if (pointer r = nth(sc, args, 0); r != sc->NIL) {
        if (!is_number(r) || !(rvalue(r) > 0 && rvalue(r) <= 1000)) {
            CPPBridge::error("gfx:start-live-video takes a frame rate above 0 and at most 1000");
            return sc->F;
        }
        rate = rvalue(r);
    }
    return answer(sc, ask_main(sc, [rate] { return start_feed(rate); }));
}

pointer get_live_frame(scheme* sc, pointer) {
    return mk_objc(sc, native_scheme_helper().newest_frame().release());
}

// ---- settings ----------------------------------------------------------------------------------------------------

// Main thread: restarts the feed with `settings`, reporting a failure (the feed then goes on as it was).
bool restart(LiveVideo& feed, const VideoSettings& settings, int* status) {
    std::string why;
    const bool ok = feed.apply(settings, &why);
    *status = ok ? 0 : -1;
    if (!ok) CPPBridge::error("The video device could not be changed: %s", why.c_str());
    return ok;
}

bool select_device(int number) {
    LiveVideo* feed = started_feed("set-video-device");
    if (!feed) return false;
    devlog("SET DEVICE TO %d", number);
    if (number < 0 || number >= static_cast<int>(video_devices().size())) {
        CPPBridge::error("Bad device number\n");
        return false;
    }
    VideoSettings settings = feed->settings();
    settings.device = number;
    settings.input = -1;  // inputs belong to a device: the new one keeps its own
    int status = 0;
    const bool ok = restart(*feed, settings, &status);
    devlog("SET DEVICE: %d", status);
    devlog("NOTIFY DEVICE CHANGE: %d", status);
    return ok;
}

// The number argument of the device and input procedures; absurd values become -1, which the main thread refuses
// with its own message. Nothing when it is not an integer (reported).
std::optional<int> number_argument(scheme* sc, pointer args, const char* refusal) {
    pointer n = nth(sc, args, 0);
    if (!is_integer(n)) {
        CPPBridge::error("%s", refusal);
        return std::nullopt;
    }
    const int64_t number = ivalue(n);
    return number < -1 || number > 1'000'000 ? -1 : static_cast<int>(number);
}

pointer set_video_device(scheme* sc, pointer args) {
    const auto number = number_argument(sc, args, "gfx:set-video-device takes a device number");
    if (!number) return sc->F;
    return answer(sc, ask_main(sc, [n = *number] { return select_device(n); }));
}

bool select_input(int number) {
    LiveVideo* feed = started_feed("set-video-device-input");
    if (!feed) return false;
    devlog("SET INPUT TO %d", number);
    if (number < 0 || number >= static_cast<int>(video_inputs(feed->device()).names.size())) {
        CPPBridge::error("Bad input number\n");
        return false;
    }
    VideoSettings settings = feed->settings();
    settings.input = number;
    int status = 0;
    const bool ok = restart(*feed, settings, &status);
    devlog("SET DEVICE INPUT: %d", status);
    devlog("NOTIFY DEVICE INPUT CHANGE: %d", status);
    return ok;
}

pointer set_video_device_input(scheme* sc, pointer args) {
    const auto number = number_argument(sc, args, "gfx:set-video-device-input takes an input number");
    if (!number) return sc->F;
    return answer(sc, ask_main(sc, [n = *number] { return select_input(n); }));
}

// A requested side: 0 keeps the side in force.
int side(double requested, int current) { return requested == 0 ? current : static_cast<int>(std::lround(requested)); }

bool set_bounds(double width, double height) {
    LiveVideo* feed = started_feed("set-video-bounds");
    if (!feed) return false;
    devlog("Try to set video device bounds %f,%f,%f,%f", 0.0, 0.0, width, height);
    auto [w, h] = feed->frame_size();
    // Both sides below 10 keep the bounds: a slip of the keyboard should not shrink the picture to nothing.
    if (!(width < 10 && height < 10)) {
        if (!(width >= 0 && height >= 0 && width <= kMaxVideoSide && height <= kMaxVideoSide)) {
            CPPBridge::error("Video bounds must be from 1 to %d pixels each way", kMaxVideoSide);
            return false;
        }
        VideoSettings settings = feed->settings();
        settings.width = std::max(1, side(width, w));
        settings.height = std::max(1, side(height, h));
        int status = 0;
        if ((settings.width != w || settings.height != h) && !restart(*feed, settings, &status)) return false;
    }
    auto [now_w, now_h] = feed->frame_size();
    CPPBridge::notification("Video Bounds set to %f,%f,%f,%f\n", 0.0, 0.0, double(now_w), double(now_h));
    return true;
}

pointer set_video_bounds(scheme* sc, pointer args) {
    pointer w = nth(sc, args, 0), h = nth(sc, args, 1);
    if (!is_number(w) || !is_number(h)) {
        CPPBridge::error("gfx:set-video-bounds takes a width and a height");
        return sc->F;
    }
    const double width = rvalue(w), height = rvalue(h);
    return answer(sc, ask_main(sc, [width, height] { return set_bounds(width, height); }));
}

// ---- listing and the dialog --------------------------------------------------------------------------------------

void print_devices() {
    if (!started_feed("print-video-devices")) return;
    const auto devices = video_devices();
    for (size_t i = 0; i < devices.size(); ++i) {
        const int number = static_cast<int>(i);
        CPPBridge::lognbr("Device number %d with name %s\n", number, devices[i].name.c_str());
        devlog("Device number %d with name %s", number, devices[i].name.c_str());
        const VideoInputs inputs = video_inputs(devices[i]);
        if (inputs.active < 0) CPPBridge::notification("No Active Inputs\n");
        else CPPBridge::lognbr("Input: \"%s\"\n", inputs.names[inputs.active].c_str());
    }
}

pointer print_video_devices(scheme* sc, pointer) {
    if (!native_scheme_helper().has_feed()) {
        CPPBridge::error("You must call start-live-video before calling %s\n", "print-video-devices");
        return sc->F;
    }
    // The listing asks the system for devices, which can take a moment: the evaluation does not wait for it.
    NativeSchemeHelper::on_main(sc, print_devices, false);
    return sc->T;
}

bool open_preferences() {
    LiveVideo* feed = started_feed("open-video-preferences");
    if (!feed) return false;
    NativeController* app = native_controller();
    if (app && app->open_video_preferences(*feed)) return true;
    CPPBridge::notification("There is no window for the video preferences here: use gfx:set-video-device, "
                            "gfx:set-video-device-input and gfx:set-video-bounds");
    return false;
}

pointer open_video_preferences(scheme* sc, pointer) { return answer(sc, ask_main(sc, open_preferences)); }

constexpr NativeProcedure LIVE_VIDEO[] = {
    {"gfx:get-live-frame", get_live_frame},
    {"gfx:start-live-video", start_live_video},
    {"gfx:open-video-preferences", open_video_preferences},
    {"gfx:set-video-device", set_video_device},
    {"gfx:set-video-device-input", set_video_device_input},
    {"gfx:print-video-devices", print_video_devices},
    {"gfx:set-video-bounds", set_video_bounds},
};

}  // namespace

NativeTable live_video_procedures() { return LIVE_VIDEO; }

}  // namespace omb
