// How many voices of the subtractive synth ("subs") render in real time at 48 kHz in 256-frame buffers.
//
// Each run holds N notes (pitches spread over five octaves, fractional ones included, past their attack and
// decay) and times one buffer per iteration. `voices_realtime` is N times the real-time factor: the voices one
// core could keep up with at this load (500 is the goal); `realtime_x` is how many times faster than real time.
#include <benchmark/benchmark.h>

#include <vector>

#include "audio/unit_registry.h"

namespace {

constexpr double kRate = 48000;
constexpr uint32_t kFrames = 256;

void BM_SubtractiveVoices(benchmark::State& state) {
    const int voices = static_cast<int>(state.range(0));
    const omb::RegisteredUnit* found =
        omb::UnitRegistry::builtin().find(omb::fourcc("aumu"), omb::fourcc("subs"), omb::kOmbrel);
    std::string error;
    auto unit = found->make(found->description, 2, &error);
    unit->prepare(kRate, kFrames);

    omb::UnitEvent polyphony;
    polyphony.kind = omb::UnitEvent::Kind::parameter;
    polyphony.parameter = {19, omb::kScopeGlobal, 0, 1024};
    unit->post(polyphony);
    for (int i = 0; i < voices; ++i) {
        omb::UnitEvent note;
        note.kind = omb::UnitEvent::Kind::note_start;
        note.frame = static_cast<uint32_t>(i % kFrames);
        note.note = {unit->new_note_instance(), 36.0f + static_cast<float>(i % 60) + (i % 3) * 0.33f, 100};
        unit->post(note);
    }

    std::vector<float> left(kFrames), right(kFrames);
    float* channels[] = {left.data(), right.data()};
    omb::BusBuffer out{channels, 2};
    int64_t window = 0;
    for (int i = 0; i < 200; ++i, window += kFrames) unit->render(nullptr, out, kFrames, window);  // past the decay

    for (auto _ : state) {
        unit->render(nullptr, out, kFrames, window);
        window += kFrames;
        benchmark::DoNotOptimize(left.data());
        benchmark::ClobberMemory();
    }
    const double audio_seconds = static_cast<double>(state.iterations()) * kFrames / kRate;
    state.counters["realtime_x"] = benchmark::Counter(audio_seconds, benchmark::Counter::kIsRate);
    state.counters["voices_realtime"] = benchmark::Counter(audio_seconds * voices, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SubtractiveVoices)->Arg(1)->Arg(64)->Arg(250)->Arg(500)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
