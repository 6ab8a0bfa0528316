// The render thread in steady state, watched from outside: a graph of every kind of built-in unit (GM synth with
// reverb, subtractive synth with delay, sampler with filter, compressor, distortion, gain, into the mixer) renders
// 256-frame buffers at 48 kHz while another thread posts notes, controllers and parameter changes, and each buffer
// is pushed to a capture, as the engine does. Each render is bracketed by two marker calls (getppid before, getuid
// after) so that `bench/render_syscalls.sh`, which runs this under strace, can count every system call made inside
// a render. Allocations inside renders are counted here by replacing operator new.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <cmath>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "audio/capture.h"
#include "audio/graph.h"
#include "audio/unit_registry.h"
#include "audio/units/sampler.h"

namespace {

thread_local bool t_counting = false;
std::atomic<long> g_allocations{0};

}  // namespace

void* operator new(std::size_t size) {
    if (t_counting) g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
// GCC inlines these into callers and then takes the malloc behind our operator new for a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using omb::fourcc;
constexpr double kRate = 48000;
constexpr uint32_t kFrames = 256;

std::shared_ptr<omb::Unit> make(const char (&type)[5], const char (&subtype)[5]) {
    const omb::RegisteredUnit* found = omb::UnitRegistry::builtin().find(fourcc(type), fourcc(subtype), omb::kOmbrel);
    std::string error;
    std::shared_ptr<omb::Unit> unit = found ? found->make(found->description, 2, &error) : nullptr;
    if (!unit) {
        std::fprintf(stderr, "cannot make %s %s: %s\n", type, subtype, error.c_str());
        std::exit(1);
    }
    return unit;
}

// A one-second decaying sine as a 16-bit mono WAV, for the sampler.
void write_sample(const std::filesystem::path& path) {
    const uint32_t n = 48000, bytes = n * 2;
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4), u32(36 + bytes), out.write("WAVEfmt ", 8), u32(16), u16(1), u16(1), u32(48000),
        u32(96000), u16(2), u16(16), out.write("data", 4), u32(bytes);
    for (uint32_t i = 0; i < n; ++i)
        u16(static_cast<uint16_t>(static_cast<int16_t>(20000.0 * std::exp(-3.0 * i / n) * std::sin(i * 0.0575))));
}

omb::UnitEvent midi(uint8_t status, uint8_t d1, uint8_t d2) {
    omb::UnitEvent e;
    e.kind = omb::UnitEvent::Kind::midi;
    e.midi = {status, d1, d2};
    return e;
}

}  // namespace

int main(int argc, char** argv) {
    const int buffers = argc > 1 ? std::atoi(argv[1]) : 2000;
    // "without-gm": the same graph with the subtractive synth in the GM synth's place, to tell its calls apart.
    const bool with_gm = !(argc > 2 && std::string(argv[2]) == "without-gm");
    const auto dir = std::filesystem::temp_directory_path() / ("ombrel-render-calls-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    write_sample(dir / "sample.wav");

    omb::Graph graph;
    graph.set_format(kRate, 4096, 2);
    auto gm = with_gm ? make("aumu", "dls ") : make("aumu", "subs"), subs = make("aumu", "subs"), sampler = make("aumu", "smpl");
    auto reverb = make("aufx", "mrev"), delay = make("aufx", "dely"), filter = make("aufx", "lpas");
    auto compressor = make("aufx", "dcmp"), distortion = make("aufx", "dist"), gain = make("aufx", "gain");
    auto mixer = make("aumx", "smxr");
    static_cast<omb::Sampler&>(*sampler).load((dir / "sample.wav").string(), 60, 0, 127, nullptr);
    const int n_gm = graph.add(gm), n_subs = graph.add(subs), n_smp = graph.add(sampler);
    const int n_rev = graph.add(reverb), n_del = graph.add(delay), n_lp = graph.add(filter);
    const int n_cmp = graph.add(compressor), n_dist = graph.add(distortion), n_gain = graph.add(gain);
    const int n_mix = graph.add(mixer);
    bool ok = graph.connect(n_gm, 0, n_rev, 0) == omb::Graph::Status::ok &&
              graph.connect(n_subs, 0, n_del, 0) == omb::Graph::Status::ok &&
              graph.connect(n_del, 0, n_dist, 0) == omb::Graph::Status::ok &&
              graph.connect(n_smp, 0, n_lp, 0) == omb::Graph::Status::ok &&
              graph.connect(n_lp, 0, n_cmp, 0) == omb::Graph::Status::ok &&
              graph.connect(n_rev, 0, n_mix, 0) == omb::Graph::Status::ok &&
              graph.connect(n_dist, 0, n_mix, 1) == omb::Graph::Status::ok &&
              graph.connect(n_cmp, 0, n_mix, 2) == omb::Graph::Status::ok &&
              graph.connect(n_mix, 0, n_gain, 0) == omb::Graph::Status::ok &&
              graph.connect(n_gain, 0, omb::Graph::kDeviceNode, 0) == omb::Graph::Status::ok;
    if (!ok) {
        std::fprintf(stderr, "graph refused a connection\n");
        return 1;
    }
    std::string error;
    auto capture = omb::AudioCapture::open((dir / "out.aiff").string(), omb::AudioCapture::Format::aiff16, 48000, 2,
                                           48000, 2, &error);
    if (!capture) {
        std::fprintf(stderr, "capture: %s\n", error.c_str());
        return 1;
    }

    std::atomic<int64_t> window{0};
    std::atomic<bool> done{false};
    // The queue thread's part: events for the next buffer, at frames inside it.
    std::thread feeder([&] {
        uint32_t beat = 0;
        while (!done) {
            const int64_t next = window.load() + kFrames;
            auto at = [&](omb::UnitEvent e, uint32_t frame) {
                e.window = next;
                e.frame = frame;
                return e;
            };
            const uint8_t pitch = static_cast<uint8_t>(48 + beat % 24);
            gm->post(at(midi(0x90 | (beat % 16 == 9 ? 0 : beat % 16), pitch, 100), beat % kFrames));
            gm->post(at(midi(0x80, static_cast<uint8_t>(48 + (beat + 20) % 24), 0), 17));
            gm->post(at(midi(0xB0, 1, static_cast<uint8_t>(beat % 128)), 3));
            if (!with_gm) gm->post(at(midi(0x80, pitch, 0), 200));
            omb::UnitEvent start;
            start.kind = omb::UnitEvent::Kind::note_start;
            start.note = {subs->new_note_instance(), 40.0f + (beat % 30) + 0.25f, 90};
            subs->post(at(start, 5));
            omb::UnitEvent stop = start;
            stop.kind = omb::UnitEvent::Kind::note_stop;
            stop.note.instance = start.note.instance > 8 ? start.note.instance - 8 : 0;
            if (stop.note.instance) subs->post(at(stop, 100));
            sampler->post(at(midi(0x90, static_cast<uint8_t>(55 + beat % 12), 110), 31));
            omb::UnitEvent param;
            param.kind = omb::UnitEvent::Kind::parameter;
            param.parameter = {0, omb::kScopeGlobal, 0, 200.0f + (beat % 50) * 100.0f};
            filter->post(at(param, 64));
            ++beat;
            std::this_thread::sleep_for(std::chrono::microseconds(2500));
        }
    });

    std::vector<float> left(kFrames), right(kFrames);
    float* outputs[] = {left.data(), right.data()};
    const int warm_up = 200;
    long allocations = 0;
    std::thread render([&] {
        pthread_setname_np(pthread_self(), "render");
        for (int i = 0; i < warm_up + buffers; ++i) {
            const bool measured = i >= warm_up;
            if (measured) {
                syscall(SYS_getppid);
                t_counting = true;
            }
            graph.render(outputs, 2, kFrames, window.load());
            capture->push(outputs, 2, kFrames);
            if (measured) {
                t_counting = false;
                syscall(SYS_getuid);
            }
            window.fetch_add(kFrames);
            std::this_thread::sleep_for(std::chrono::microseconds(kFrames * 1000000 / 48000));
        }
        allocations = g_allocations.load();
    });
    render.join();
    done = true;
    feeder.join();
    capture->close(nullptr);
    std::filesystem::remove_all(dir);
    std::printf("renders measured: %d, allocations inside them: %ld\n", buffers, allocations);
    return 0;
}
