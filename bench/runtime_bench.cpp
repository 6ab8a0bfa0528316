// The eval round trip over loopback and the scheduler's throughput, on a real process and the null device.
//
//   build-rel/bin/bench_runtime
// Round trip: (+ 1 2) sent and its reply read back by the terminal client's code; median and 99th percentile are
// reported as counters (microseconds). Scheduler: tasks inserted and run per second with 100 000 pending.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "audio/au_host.h"
#include "tests/support/free_port.h"
#include "audio/au_scheme.h"
#include "runtime/native_libraries.h"
#include "runtime/repl_client.h"
#include "runtime/scheme_interface.h"

namespace {

using namespace std::chrono;

using omb::test::free_port;

omb::SchemeInterface* process(int& port) {
    static omb::SchemeInterface* p = [&] {
        omb::AUHost::FRAMES = 256;
        omb::AUHost::singleton().start(omb::make_audio_device("null"));
        omb::add_native_library(omb::au_scheme_init);
        port = free_port();
        auto* sp = new omb::SchemeInterface(OMBREL_SCHEME_DIR, "primary process", port);
        sp->start();
        while (!sp->isReady()) std::this_thread::sleep_for(milliseconds(5));
        return sp;
    }();
    return p;
}

void BM_EvalRoundTrip(benchmark::State& state) {
    static int port = 0;
    process(port);
    omb::ReplClient client;
    if (!client.connect("127.0.0.1", port)) {
        state.SkipWithError("no connection");
        return;
    }
    std::vector<double> us;
    for (auto _ : state) {
        auto t0 = steady_clock::now();
        auto reply = client.eval("(+ 1 2)", seconds(5));
        auto t1 = steady_clock::now();
        if (!reply || *reply != "3") {
            state.SkipWithError("wrong reply");
            break;
        }
        us.push_back(duration<double, std::micro>(t1 - t0).count());
    }
    client.close();
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}
BENCHMARK(BM_EvalRoundTrip)->Iterations(5000)->UseRealTime();

class Nothing : public omb::CM {
public:
    void execute(omb::TaskI*) override {}
};

// Inserting into and running from a queue that holds 100 000 pending tasks far in the future.
void BM_SchedulerWith100kPending(benchmark::State& state) {
    static Nothing target;
    omb::Scheduler s;
    omb::SampleClock::TIME = 0;
    omb::SampleClock::FRAMES = 256;
    for (int i = 0; i < 100000; ++i) s.insert(new omb::TaskI(1'000'000'000 + i, false, 0, &target));
    int64_t t = 0;
    for (auto _ : state) {
        for (int i = 0; i < 64; ++i) s.insert(new omb::TaskI(t + i, false, 0, &target));
        omb::SampleClock::TIME = static_cast<uint64_t>(t);
        s.time_slice();
        t += 256;
    }
    state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_SchedulerWith100kPending);

}  // namespace

BENCHMARK_MAIN();
