// OSC input: messages decoded per second, and messages delivered into a Scheme handler end to end.
//
//   build-rel/bin/bench_osc
// Decoding: a three-argument message, and a bundle of eight, turned into their io:osc-receive calls (items/s:
// messages). End to end: datagrams sent over loopback to the server of a real process on the null device, whose
// handler calls a native counter (items/s: handler calls). "Paced" keeps at most 512 messages in flight, so nothing
// is dropped; "Flood" sends flat out and reports how many the server dropped because Scheme fell behind.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "audio/au_host.h"
#include "audio/au_scheme.h"
#include "io/osc.h"
#include "io/osc_decode.h"
#include "io/osc_encode.h"
#include "io/osc_scheme.h"
#include "platform/resources.h"
#include "runtime/native_libraries.h"
#include "runtime/repl_client.h"
#include "runtime/scheme_interface.h"
#include "tests/support/free_port.h"

namespace {

using namespace std::chrono;

std::vector<uint8_t> note_message(int k) {
    omb::OscMessageWriter w;
    w.add_int(k);
    w.add_int(100);
    w.add_float(0.5f);
    return w.packet("/synth/1/note");
}

void BM_DecodeMessage(benchmark::State& state) {
    const auto packet = note_message(60);
    omb::OscDecoded decoded;
    for (auto _ : state) {
        decoded.clear();
        omb::decode_osc_datagram(packet.data(), packet.size(), false, decoded);
        benchmark::DoNotOptimize(decoded.calls.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeMessage);

void BM_DecodeBundleOf8(benchmark::State& state) {
    std::vector<uint8_t> bundle = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1};
    for (int i = 0; i < 8; ++i) {
        omb::OscMessageWriter w;
        w.add_int(i);
        w.add_float(0.25f);
        const auto m = w.packet("/f");
        const uint32_t n = static_cast<uint32_t>(m.size());
        bundle.insert(bundle.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
        bundle.insert(bundle.end(), m.begin(), m.end());
    }
    omb::OscDecoded decoded;
    for (auto _ : state) {
        decoded.clear();
        omb::decode_osc_datagram(bundle.data(), bundle.size(), false, decoded);
        benchmark::DoNotOptimize(decoded.calls.data());
    }
    state.SetItemsProcessed(state.iterations() * 8);
}
BENCHMARK(BM_DecodeBundleOf8);

std::atomic<uint64_t> handled{0};

void bench_scheme_init(omb::SchemeInterface* process) {
    process->addForeignFunc("bench:count", [](omb::scheme* sc, omb::pointer) -> omb::pointer {
        handled.fetch_add(1);
        return sc->T;
    });
}

// One process for the program, registered for OSC, whose handler counts.
bool start_process() {
    static const bool ready = [] {
        omb::AUHost::FRAMES = 256;
        omb::AUHost::singleton().start(omb::make_audio_device("null"));
        omb::add_native_library(omb::au_scheme_init);
        omb::add_native_library(omb::osc_scheme_init);
        omb::add_native_library(bench_scheme_init);
        omb::OSC::PORT = omb::test::free_port();
        const int port = omb::test::free_port();
        auto* p = new omb::SchemeInterface(omb::resource_path("scheme").string(), "primary process", port);
        if (!p->start()) return false;
        while (!p->isReady()) std::this_thread::sleep_for(milliseconds(5));
        omb::ReplClient client;
        if (!client.connect("127.0.0.1", port)) return false;
        client.eval("(io:osc-register-events)", seconds(5));
        auto reply = client.eval("(define (io:osc-receive address k velocity level) (bench:count))", seconds(5));
        client.close();
        return reply.has_value();
    }();
    return ready;
}

void send_datagrams(benchmark::State& state, bool paced) {
    if (!start_process()) {
        state.SkipWithError("no process");
        return;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(omb::OSC::PORT.load()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto packet = note_message(60);
    omb::OscServer& server = omb::OSC::singleton().server();
    constexpr int batch = 10000;
    uint64_t sent = 0, dropped = 0, kernel_lost = 0;
    for (auto _ : state) {
        const uint64_t handled_before = handled.load(), dropped_before = server.stats().dropped;
        const uint64_t read_before = server.stats().datagrams;
        const auto start = steady_clock::now();
        for (int i = 0; i < batch; ++i) {
            while (paced && sent - handled.load() >= 512) std::this_thread::yield();
            ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            ++sent;
        }
        // Done when every datagram the server read has been handled or dropped, and no more are coming in (the
        // kernel drops what overflows the socket's buffer in a flood).
        uint64_t last_progress = ~uint64_t{0};
        auto quiet_since = steady_clock::now();
        for (;;) {
            const auto s = server.stats();
            const uint64_t read = s.datagrams - read_before;
            const uint64_t accounted = (handled.load() - handled_before) + (s.dropped - dropped_before);
            if (accounted == read && read == batch) {
                quiet_since = steady_clock::now();
                break;
            }
            if (read + accounted != last_progress) {
                last_progress = read + accounted;
                quiet_since = steady_clock::now();
            } else if (accounted == read && steady_clock::now() - quiet_since > milliseconds(300)) {
                kernel_lost += batch - read;
                break;
            }
            std::this_thread::sleep_for(microseconds(100));
        }
        // Timed to the last progress: the quiet wait that shows a flood has ended is not work.
        state.SetIterationTime(duration<double>(quiet_since - start).count());
        dropped += server.stats().dropped - dropped_before;
        sent = handled.load();
    }
    ::close(fd);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * batch - static_cast<int64_t>(dropped + kernel_lost));
    state.counters["dropped"] = static_cast<double>(dropped);
    state.counters["lost_in_kernel"] = static_cast<double>(kernel_lost);
}

void BM_DeliveredToSchemePaced(benchmark::State& state) { send_datagrams(state, true); }
BENCHMARK(BM_DeliveredToSchemePaced)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_DeliveredToSchemeFlood(benchmark::State& state) { send_datagrams(state, false); }
BENCHMARK(BM_DeliveredToSchemeFlood)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
