#include "app/offline_clock.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "audio/audio_device.h"
#include "audio/capture.h"
#include "audio/speech.h"
#include "runtime/scheme_interface.h"
#include "scheduler/sample_clock.h"
#include "scheduler/scheduler.h"

namespace omb {

namespace {

// Slices run and tasks done so far: any work that starts and ends between two looks changes it.
uint64_t activity(Scheduler& scheduler) {
    uint64_t n = scheduler.stats().slices;
    for (size_t i = 0; i < SchemeInterface::count(); ++i)
        if (SchemeInterface* process = SchemeInterface::I(i)) n += process->tasksDone();
    return n;
}

void settle(Scheduler& scheduler, const std::atomic<bool>* running = nullptr) {
    while ((!running || *running) && !work_settled(scheduler)) std::this_thread::sleep_for(std::chrono::microseconds(20));
}

}  // namespace

bool work_settled(Scheduler& scheduler) {
    const uint64_t before = activity(scheduler);
    if (scheduler.stats().last_slice_time != static_cast<int64_t>(SampleClock::TIME.load()) || !scheduler.idle() ||
        !speech_idle())
        return false;
    for (size_t i = 0; i < SchemeInterface::count(); ++i) {
        SchemeInterface* process = SchemeInterface::I(i);
        if (process && process->isRunning() && !process->isIdle()) return false;
    }
    return activity(scheduler) == before;
}

OfflineClock::OfflineClock(OfflineDevice& device, Scheduler& scheduler) : device_(device), scheduler_(scheduler) {}

OfflineClock::~OfflineClock() { stop(); }

bool OfflineClock::start() {
    if (thread_) return false;
    running_ = true;
    thread_ = std::make_unique<Thread>("ombrel offline", [this] { run(); });
    return thread_->start();
}

void OfflineClock::stop() {
    running_ = false;
    if (thread_) thread_->join();
    thread_.reset();
}

void OfflineClock::run() {
    while (running_) {
        device_.render_buffers(1);
        // Scheme that a slice woke may schedule more for the same buffer: wait until everything has settled.
        settle(scheduler_, &running_);
    }
}

namespace {

int failed(const char* format, const std::string& detail) {
    std::fprintf(stderr, format, detail.c_str());
    std::fputc('\n', stderr);
    return 1;
}

// Evaluates text in the process and waits for its reply; false when it ended in an error.
bool evaluate(SchemeInterface& process, const std::string& text, std::string& reply) {
    process.queueRequest(1, ::strdup(text.c_str()), "RENDER");
    bool error = false;
    while (!process.takeReply(1, reply, &error)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return !error;
}

std::string scheme_string(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return quoted + "\"";
}

}  // namespace

int render_piece(OfflineDevice& device, Scheduler& scheduler, SchemeInterface& process, const RenderJob& job) {
    using Clock = std::chrono::steady_clock;
    if (FILE* f = std::fopen(job.piece.c_str(), "r")) std::fclose(f);
    else return failed("ombrel: cannot read the piece %s", job.piece);
    for (int i = 0; i < 30000 && !process.isReady(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    settle(scheduler);
    std::string reply;
    if (!evaluate(process, "(load " + scheme_string(job.piece) + ")", reply))
        return failed("ombrel: the piece did not load: %s", reply);
    const std::string ext = std::filesystem::path(job.out).extension().string();
    const auto format = ext == ".aif" || ext == ".aiff" ? AudioCapture::Format::aiff_render
                                                         : AudioCapture::Format::wav_float;
    std::string error;
    auto file = AudioCapture::open(job.out, format, 0, 0, SampleClock::SAMPLERATE.load(), device.channels(), &error);
    if (!file) return failed("ombrel: cannot write the file: %s", error);

    const auto started = Clock::now();
    const uint64_t total = static_cast<uint64_t>(std::llround(job.seconds * SampleClock::SAMPLERATE.load()));
    const uint32_t frames = device.frames();
    for (uint64_t written = 0; written < total;) {
        settle(scheduler);
        device.render_buffers(1);
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(frames, total - written));
        const float* channels[2] = {device.output(0), device.output(1)};
        if (!file->wait_for_space(n, std::chrono::seconds(30))) break;
        file->push(channels, 2, n);
        written += n;
    }
    if (!file->close(&error) || file->lost_frames() != 0)
        return failed("ombrel: the file was not written whole: %s", error.empty() ? "frames lost" : error);
    const double took = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("Rendered %.3f s (%llu frames at %d Hz) to %s in %.3f s: %.1f times real time\n", job.seconds,
                static_cast<unsigned long long>(total), SampleClock::SAMPLERATE.load(), job.out.c_str(), took,
                took > 0 ? job.seconds / took : 0.0);
    return 0;
}

}  // namespace omb
