// LV2 plugins as units: the first listing (the catalog loaded from every installed bundle, in a fresh child process
// each time, so the fork is counted too) and the render cost of a chain of LV2 effects against the same chain of
// built-in units, 256 frames at 48 kHz through four amplifiers on a stereo bus.
#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "audio/lv2_catalog.h"
#include "audio/unit_registry.h"

namespace {

using namespace omb;

constexpr uint32_t kFrames = 256;
constexpr double kRate = 48000;

void BM_Lv2FirstListing(benchmark::State& state) {
    size_t plugins = 0;
    for (auto _ : state) {
        int fds[2];
        if (pipe(fds) != 0) state.SkipWithError("pipe");
        const pid_t child = fork();
        if (child == 0) {
            const size_t n = lv2_components().size();
            (void)!write(fds[1], &n, sizeof n);
            _exit(0);
        }
        (void)!read(fds[0], &plugins, sizeof plugins);
        waitpid(child, nullptr, 0);
        close(fds[0]);
        close(fds[1]);
    }
    state.counters["plugins"] = static_cast<double>(plugins);
}
BENCHMARK(BM_Lv2FirstListing)->Unit(benchmark::kMillisecond)->Iterations(10);

// Four units in a row, each fed the one before, rendered as the graph renders them.
void render_chain(benchmark::State& state, std::vector<std::unique_ptr<Unit>>& chain) {
    std::vector<std::vector<float>> a(2, std::vector<float>(kFrames, 0.25f)), b = a;
    std::vector<float*> in_ptrs = {a[0].data(), a[1].data()}, out_ptrs = {b[0].data(), b[1].data()};
    int64_t window = 0;
    for (auto _ : state) {
        for (auto& unit : chain) {
            BusBuffer input{in_ptrs.data(), 2}, output{out_ptrs.data(), 2};
            unit->render(&input, output, kFrames, window);
            std::swap(in_ptrs, out_ptrs);
        }
        window += kFrames;
        benchmark::DoNotOptimize(in_ptrs[0][0]);
    }
    state.counters["units"] = static_cast<double>(chain.size());
}

void BM_Lv2AmplifierChain(benchmark::State& state) {
    const Lv2Component* amp = lv2_find("http://plugin.org.uk/swh-plugins/amp");
    if (!amp) return state.SkipWithError("swh-lv2 is not installed");
    std::vector<std::unique_ptr<Unit>> chain;
    std::string error;
    for (int i = 0; i < 4; ++i) chain.push_back(lv2_make_unit(*amp, 2, kRate, kFrames, &error));
    for (auto& unit : chain) unit->prepare(kRate, kFrames);
    render_chain(state, chain);
}
BENCHMARK(BM_Lv2AmplifierChain);

void BM_BuiltInGainChain(benchmark::State& state) {
    const RegisteredUnit* gain = UnitRegistry::builtin().find(fourcc("aufx"), fourcc("gain"), kOmbrel);
    std::vector<std::unique_ptr<Unit>> chain;
    std::string error;
    for (int i = 0; i < 4; ++i) chain.push_back(gain->make(gain->description, 2, &error));
    for (auto& unit : chain) unit->prepare(kRate, kFrames);
    render_chain(state, chain);
}
BENCHMARK(BM_BuiltInGainChain);

}  // namespace

BENCHMARK_MAIN();
