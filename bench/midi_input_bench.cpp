// MIDI input to Scheme handler latency, on JACK MIDI.
//
//   build-rel/bin/bench_midi_input [--messages 2000] [--rate 200]
//
// Starts a jackd of its own (dummy backend, 48 kHz, 256 frames), the audio engine and the MIDI router on it and one
// Scheme process, whose io:midi-in calls a native stamp. A JACK client of the bench's own writes note-ons into
// "Ombrel Virtual Input" at RATE messages a second and notes the moment of each write; the latency of a message is
// from that moment (inside the writer's process callback) to the moment the handler runs in Scheme. Prints the
// median, the 99th percentile and the worst, in milliseconds, and how many messages arrived.
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/au_host.h"
#include "audio/au_scheme.h"
#include "io/midi_router.h"
#include "platform/console_log.h"
#include "platform/log_bridge.h"
#include "platform/main_queue.h"
#include "runtime/native_libraries.h"
#include "runtime/scheme_interface.h"
#include "tests/support/free_port.h"
#include "tests/support/jack_server.h"

namespace {

using Clock = std::chrono::steady_clock;

// Written by the writer's process callback (message i at sent[i]), read by the handler (handled[i]).
std::vector<std::atomic<int64_t>>* sent = nullptr;
std::vector<int64_t> handled;
std::atomic<size_t> handled_count{0};

int64_t now_ns() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

// (bench:stamp i): the handler's moment for message i.
void bench_scheme_init(omb::SchemeInterface* process) {
    process->addForeignFunc("bench:stamp", [](omb::scheme* sc, omb::pointer args) -> omb::pointer {
        const int64_t at = now_ns();
        const auto i = static_cast<size_t>(omb::ivalue(omb::pair_car(args)));
        if (i < handled.size()) handled[i] = at;
        handled_count.fetch_add(1);
        return sc->T;
    });
}

// Sends message i as note-on (i / 128, i % 128), spaced by `every` frames.
struct Writer {
    jack_client_t* client = nullptr;
    jack_port_t* out = nullptr;
    size_t total = 0, next = 0;
    jack_nframes_t every = 240, countdown = 0;
    std::atomic<bool> go{false};  // once connected

    static int process(jack_nframes_t frames, void* arg) {
        auto* w = static_cast<Writer*>(arg);
        void* buffer = jack_port_get_buffer(w->out, frames);
        jack_midi_clear_buffer(buffer);
        for (jack_nframes_t f = 0; w->go.load() && f < frames && w->next < w->total; ++f) {
            if (w->countdown > 0) {
                --w->countdown;
                continue;
            }
            const uint8_t note[3] = {0x90, static_cast<uint8_t>(w->next / 128), static_cast<uint8_t>(w->next % 128)};
            // The moment JACK has it: every message of a period reaches the router in that same cycle, whatever
            // its offset, so this is where our part of the way begins.
            if (jack_midi_event_write(buffer, f, note, 3) == 0) (*sent)[w->next++].store(now_ns());
            w->countdown = w->every;
        }
        return 0;
    }
};

double ms(int64_t ns) { return static_cast<double>(ns) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
    size_t messages = 2000;
    int rate = 200;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--messages")) messages = std::strtoul(argv[i + 1], nullptr, 10);
        if (!std::strcmp(argv[i], "--rate")) rate = std::atoi(argv[i + 1]);
    }
    messages = std::min<size_t>(messages, 128 * 128);

    omb::main_queue::set_main_thread();
    omb::ConsoleLog log(stderr);
    omb::CPPBridge::attach(&log);

    omb::test::JackServer server;
    std::string why;
    if (!server.start(why)) {
        std::fprintf(stderr, "bench_midi_input: %s\n", why.c_str());
        return 1;
    }
    ::setenv("JACK_DEFAULT_SERVER", server.name().c_str(), 1);
    if (!omb::AUHost::singleton().start(omb::make_audio_device("jack"))) return 1;
    omb::MIDIRouter::SYSTEM = "jack";
    omb::add_native_library(omb::au_scheme_init);
    omb::add_native_library(omb::MIDIRouter::schemeInit);
    omb::add_native_library(bench_scheme_init);
    omb::SchemeInterface process(OMBREL_SCHEME_DIR, "primary process", omb::test::free_port());
    if (!process.start()) return 1;
    while (!process.isReady()) {
        omb::main_queue::run_pending();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    process.createSchemeTask(::strdup("(define (io:midi-in src type ch a b) (bench:stamp (+ (* a 128) b)))"),
                             "BENCH", omb::SchemeTaskType::eval_string);

    std::vector<std::atomic<int64_t>> sent_at(messages);
    sent = &sent_at;
    handled.assign(messages, 0);
    Writer writer;
    writer.total = messages;
    writer.every = static_cast<jack_nframes_t>(std::max(1, 48000 / std::max(1, rate)));
    jack_status_t status{};
    writer.client = jack_client_open("midi-writer", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                     &status, server.name().c_str());
    if (!writer.client) return 1;
    writer.out = jack_port_register(writer.client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(writer.client, &Writer::process, &writer);
    jack_activate(writer.client);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the handler is defined by then
    if (jack_connect(writer.client, "midi-writer:out", "ombrel:Ombrel Virtual Input") != 0) return 1;
    writer.go.store(true);

    const auto deadline = Clock::now() + std::chrono::seconds(10) +
                          std::chrono::milliseconds(1000 * messages / static_cast<size_t>(std::max(1, rate)));
    while (handled_count.load() < messages && Clock::now() < deadline) {
        omb::main_queue::run_pending();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    jack_client_close(writer.client);

    std::vector<int64_t> latencies;
    for (size_t i = 0; i < messages; ++i)
        if (handled[i] && sent_at[i].load()) latencies.push_back(handled[i] - sent_at[i].load());
    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty()) {
        std::puts("no message reached the handler");
    } else {
        const auto at = [&](double q) { return latencies[std::min(latencies.size() - 1, size_t(q * latencies.size()))]; };
        std::printf("MIDI input -> Scheme handler, %zu of %zu messages at %d/s (JACK dummy, 256 frames @ 48 kHz)\n",
                    latencies.size(), messages, rate);
        std::printf("  median %.3f ms   p99 %.3f ms   worst %.3f ms\n", ms(at(0.5)), ms(at(0.99)),
                    ms(latencies.back()));
    }
    process.stop();
    omb::AUHost::singleton().stop();
    omb::main_queue::run_pending();
    return latencies.size() == messages ? 0 : 1;
}
