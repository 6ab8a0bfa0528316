#include "graphics/video_devices.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
}

#include "platform/dev_log.h"

namespace omb {

namespace {

void register_devices_once() {
    static const bool registered = (avdevice_register_all(), true);
    (void)registered;
}

std::vector<VideoDevice> v4l2_devices() {
    register_devices_once();
    std::vector<VideoDevice> found;
    const AVInputFormat* format = av_find_input_format("video4linux2");
    AVDeviceInfoList* list = nullptr;
    if (!format || avdevice_list_input_sources(format, nullptr, nullptr, &list) < 0 || !list) {
        avdevice_free_list_devices(&list);
        return found;
    }
    for (int i = 0; i < list->nb_devices; ++i) {
        const AVDeviceInfo* info = list->devices[i];
        if (!info || !info->device_name) continue;
        std::string name = info->device_description ? info->device_description : info->device_name;
        found.push_back({"video4linux2", info->device_name, name});
    }
    avdevice_free_list_devices(&list);
    return found;
}

// ioctl that survives signals arriving meanwhile.
int xioctl(int fd, unsigned long request, void* arg) {
    int r;
    do r = ::ioctl(fd, request, arg);
    while (r < 0 && errno == EINTR);
    return r;
}

VideoInputs v4l2_inputs(const std::string& path) {
    VideoInputs inputs;
    // Non-blocking: asking must not wait on a device that another program is streaming from.
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return inputs;
    for (unsigned index = 0; index < 64; ++index) {
        v4l2_input input{};
        input.index = index;
        if (xioctl(fd, VIDIOC_ENUMINPUT, &input) < 0) break;
        inputs.names.emplace_back(reinterpret_cast<const char*>(input.name));
    }
    int active = -1;
    if (!inputs.names.empty() && xioctl(fd, VIDIOC_G_INPUT, &active) == 0 && active >= 0 &&
        active < static_cast<int>(inputs.names.size()))
        inputs.active = active;
    ::close(fd);
    return inputs;
}

}  // namespace

std::vector<VideoDevice> parse_video_device_list(const std::string& text) {
    std::vector<VideoDevice> devices;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        const std::string entry = text.substr(start, end - start);
        start = end + 1;
        if (entry.empty()) continue;
        const size_t colon = entry.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == entry.size()) {
            devlog("OMBREL_VIDEO_DEVICES: \"%s\" is not format:url; skipped", entry.c_str());
            continue;
        }
        devices.push_back({entry.substr(0, colon), entry.substr(colon + 1), entry});
    }
    return devices;
}

std::vector<VideoDevice> video_devices() {
    std::vector<VideoDevice> devices = v4l2_devices();
    if (const char* extra = std::getenv("OMBREL_VIDEO_DEVICES")) {
        std::vector<VideoDevice> more = parse_video_device_list(extra);
        devices.insert(devices.end(), more.begin(), more.end());
    }
    return devices;
}

VideoInputs video_inputs(const VideoDevice& device) {
    if (device.is_v4l2()) return v4l2_inputs(device.url);
    return VideoInputs{{device.url}, 0};
}

}  // namespace omb
