// Movies in real time on this machine, run by hand (not a Google Benchmark: it runs on the real-time null device).
//
//   build-rel/bin/bench_movie [seconds=10] [width=1280] [height=720]
//
// Recording: a canvas of the given size animated by a drawing thread (a moving gradient and a hundred random
// rectangles each step, so the encoder has real work) is recorded with the engine's sound (AAC, medium quality) at
// the capture clock's rate (sample rate / 2048: 21.5 frames a second at 44100 Hz) for the given time. Prints the
// frames written and dropped (the goal is 0 dropped) and the movie thread's time per frame (mean and slowest)
// against the frame's real-time budget.
// Reading: the movie just written read back frame by frame in order, then at random times: frames per second.
#include <cairo.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "audio/au_host.h"
#include "audio/audio_device.h"
#include "graphics/graphic_view.h"
#include "graphics/movie_reader.h"
#include "graphics/movie_writer.h"

using namespace omb;
using Clock = std::chrono::steady_clock;

namespace {

void animate(GraphicView& view, int step, std::mt19937& random) {
    view.draw([&](cairo_t* cr) {
        const double w = view.width(), h = view.height();
        cairo_pattern_t* gradient = cairo_pattern_create_linear(step % 200, 0, w, h);
        cairo_pattern_add_color_stop_rgb(gradient, 0, 0.1, 0.2, (step % 50) / 50.0);
        cairo_pattern_add_color_stop_rgb(gradient, 1, 0.9, 0.5, 0.1);
        cairo_set_source(cr, gradient);
        cairo_paint(cr);
        cairo_pattern_destroy(gradient);
        std::uniform_real_distribution<double> u(0, 1);
        for (int i = 0; i < 100; ++i) {
            cairo_set_source_rgba(cr, u(random), u(random), u(random), 0.8);
            cairo_rectangle(cr, u(random) * w, u(random) * h, 20 + u(random) * 80, 20 + u(random) * 80);
            cairo_fill(cr);
        }
    });
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int width = argc > 2 ? std::atoi(argv[2]) : 1280, height = argc > 3 ? std::atoi(argv[3]) : 720;
    AUHost& host = AUHost::singleton();
    AUHost::FRAMES = 256;
    if (!host.start(make_audio_device("null"))) return 1;

    auto view = make_object<GraphicView>();
    if (!view->open(CanvasRect{0, 0, static_cast<double>(width), static_cast<double>(height)}, false, 0)) return 1;
    std::atomic<bool> drawing{true};
    std::thread painter([&] {
        std::mt19937 random(1);
        for (int step = 0; drawing; ++step) {
            animate(*view, step, random);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });

    char folder[] = "/tmp/ombrel-movie-bench-XXXXXX";
    if (!::mkdtemp(folder)) return 1;
    MovieSettings settings;
    settings.path = std::string(folder) + "/bench.mp4";
    settings.sample_rate = AUHost::SAMPLERATE.load();
    std::string error;
    auto writer = MovieWriter::start(view, settings, &error);
    if (!writer) {
        std::fprintf(stderr, "cannot record: %s\n", error.c_str());
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const bool ok = writer->stop(&error);
    drawing = false;
    painter.join();
    const double budget_ms = 2048.0 * 1000.0 / settings.sample_rate;
    const uint64_t frames = writer->frames_written();
    std::printf("recording %dx%d, %.1f s at %.2f frames/s: %llu frames written, %llu dropped%s\n", width, height,
                seconds, settings.sample_rate / 2048.0, static_cast<unsigned long long>(frames),
                static_cast<unsigned long long>(writer->frames_dropped()), ok ? "" : (" (" + error + ")").c_str());
    if (frames > 0)
        std::printf("movie thread per frame: mean %.2f ms, slowest %.2f ms (budget %.1f ms)\n",
                    writer->encode_nanoseconds() / 1e6 / static_cast<double>(frames),
                    writer->slowest_frame_nanoseconds() / 1e6, budget_ms);
    writer.reset();
    host.stop();

    Ref<Movie> movie = Movie::open(settings.path, &error);
    if (!movie) {
        std::fprintf(stderr, "cannot read back: %s\n", error.c_str());
        return 1;
    }
    const double fps = movie->fps(&error).value_or(21.533);
    auto read = [&](auto time_of, int count, const char* what) {
        const auto began = Clock::now();
        int got = 0;
        for (int i = 0; i < count; ++i) got += movie->frame_at(time_of(i), &error) ? 1 : 0;
        const double spent = std::chrono::duration<double>(Clock::now() - began).count();
        std::printf("reading %s: %d of %d frames, %.1f frames/s\n", what, got, count, count / spent);
    };
    const int count = static_cast<int>(frames);
    read([&](int i) { return (i + 0.5) / fps; }, count, "in order");
    std::mt19937 random(2);
    std::uniform_int_distribution<int> pick(0, count - 1);
    read([&](int) { return (pick(random) + 0.5) / fps; }, std::min(count, 100), "at random times");
    std::filesystem::remove_all(folder);
    return 0;
}
