// The cameras this machine offers to the live video feed: the V4L2 devices (/dev/video*) that libavdevice lists,
// then the extra devices named by the environment variable OMBREL_VIDEO_DEVICES ("format:url" entries separated by
// ';', e.g. "lavfi:testsrc=size=320x240:rate=30"), for machines without a camera and for tests.
//
// Threads: any; every call asks the system afresh and shares nothing.
#pragma once

#include <string>
#include <vector>

namespace omb {

struct VideoDevice {
    std::string format;  // the libavdevice input format: "video4linux2", "lavfi", ...
    std::string url;     // what that format opens: "/dev/video0", "testsrc=size=320x240:rate=30"
    std::string name;    // what the performer reads in the listing
    bool is_v4l2() const { return format == "video4linux2" || format == "v4l2"; }
};

// The inputs of a device (a capture card's composite and S-Video sockets, a camera's one sensor) and which one is
// selected; `active` is -1 when the device reports none.
struct VideoInputs {
    std::vector<std::string> names;
    int active = -1;
};

// V4L2 devices first, then those of OMBREL_VIDEO_DEVICES; entries of the variable without a "format:" part, or with
// an empty url, are skipped with a line in the developer log.
std::vector<VideoDevice> video_devices();

// The extra devices of one OMBREL_VIDEO_DEVICES text.
std::vector<VideoDevice> parse_video_device_list(const std::string& text);

// A V4L2 device's inputs as the driver lists them (nothing when it cannot be asked); any other device has one
// input, named by its url, and it is active.
VideoInputs video_inputs(const VideoDevice& device);

}  // namespace omb
