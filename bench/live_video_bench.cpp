// What the live video feed costs the machine: a source is captured for five seconds and the frames delivered and
// the processor time used (decoding, conversion to the canvas layout, and the source's own making of pictures)
// are printed. Usage: bench_live_video [format:url] [rate]; by default a 1280x720 YUYV picture, a webcam's usual.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "graphics/live_video.h"

int main(int argc, char** argv) {
    const char* source = argc > 1 ? argv[1] : "lavfi:color=c=red:size=1280x720:rate=30,format=yuyv422";
    omb::VideoSettings settings;
    settings.rate = argc > 2 ? std::atof(argv[2]) : 30.0;
    ::setenv("OMBREL_VIDEO_DEVICES", source, 1);
    std::string why;
    const std::clock_t before = std::clock();
    auto feed = omb::LiveVideo::start(settings, &why);
    if (!feed) {
        std::fprintf(stderr, "%s did not open: %s\n", source, why.c_str());
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double cpu = double(std::clock() - before) / CLOCKS_PER_SEC;
    const auto frames = feed->frames_delivered();
    const auto [w, h] = feed->frame_size();
    std::printf("%s: %llu frames of %dx%d in 5 s; %.2f s of processor time, %.2f ms a frame\n", source,
                static_cast<unsigned long long>(frames), w, h, cpu, frames ? 1000 * cpu / double(frames) : 0.0);
}
