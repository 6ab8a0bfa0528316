// What the interpreter's foundation costs: cons cells made per second, a collection's pause as the live heap
// grows, and how fast the reader turns source text into data. The pause bounds how late a note scheduled from
// Scheme can be; the reader rate bounds how quickly a performer's evaluation or a loaded file starts to run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>

#include "interpreter/scheme.h"

namespace {

// One interpreter per benchmark, freed with it.
struct Instance {
    omb::scheme* sc = omb::scheme_init_new();
    Instance() {
        if (!sc) std::abort();
    }
    ~Instance() {
        omb::scheme_deinit(sc);
        std::free(sc);
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;
};

// Short lists, dropped as soon as they are built: the garbage a running piece makes all the time.
constexpr int LIST_LENGTH = 1000;
constexpr int LISTS_PER_ITERATION = 100;
constexpr int64_t CONSES_PER_ITERATION = int64_t{LIST_LENGTH} * LISTS_PER_ITERATION;

void build_and_drop_lists(omb::scheme* sc) {
    for (int l = 0; l < LISTS_PER_ITERATION; ++l) {
        omb::pointer list = sc->NIL;
        for (int i = 0; i < LIST_LENGTH; ++i) list = omb::s_cons(sc, sc->T, list);
        benchmark::DoNotOptimize(list);
    }
}

void report_heap(benchmark::State& state, omb::scheme* sc) {
    state.counters["heap_cells"] = static_cast<double>(sc->last_cell_seg + 1) * omb::CELL_SEGSIZE;
}

// Allocation alone: a collection runs, untimed, whenever the next iteration would not fit in the free list.
void BM_ConsWithoutCollection(benchmark::State& state) {
    Instance in;
    omb::scheme* sc = in.sc;
    omb::alloc_cellseg(sc, 10);
    for (auto _ : state) {
        if (sc->free_count < CONSES_PER_ITERATION) {
            state.PauseTiming();
            omb::gc(sc, sc->NIL, sc->NIL);
            state.ResumeTiming();
        }
        build_and_drop_lists(sc);
    }
    state.SetItemsProcessed(state.iterations() * CONSES_PER_ITERATION);
    report_heap(state, sc);
}
BENCHMARK(BM_ConsWithoutCollection);

// Allocation as a program sees it: the starting heap, collected whenever the free list runs dry.
void BM_ConsWithCollection(benchmark::State& state) {
    Instance in;
    omb::scheme* sc = in.sc;
    for (auto _ : state) build_and_drop_lists(sc);
    state.SetItemsProcessed(state.iterations() * CONSES_PER_ITERATION);
    report_heap(state, sc);
}
BENCHMARK(BM_ConsWithCollection);

// One collection with a list of `state.range(0)` cells alive. The heap is grown first, to the live cells plus
// ten segments, so no measured collection also pays for new segments.
void BM_CollectLiveList(benchmark::State& state) {
    const int64_t live = state.range(0);
    Instance in;
    omb::scheme* sc = in.sc;
    int wanted = static_cast<int>(live / omb::CELL_SEGSIZE) + 10 - (sc->last_cell_seg + 1);
    if (omb::alloc_cellseg(sc, wanted) != wanted) {
        state.SkipWithError("could not grow the heap");
        return;
    }
    omb::pointer list = sc->NIL;
    for (int64_t i = 0; i < live; ++i) list = omb::s_cons(sc, sc->NIL, list);
    omb::protect_cell(sc, list);
    for (auto _ : state) omb::gc(sc, sc->NIL, sc->NIL);
    if (omb::list_length(sc, list) != live) state.SkipWithError("the live list did not survive");
    omb::unprotect_cell(sc, list);
    state.counters["live_cells"] = static_cast<double>(live);
    report_heap(state, sc);
}
BENCHMARK(BM_CollectLiveList)->Arg(1'000'000)->Arg(5'000'000)->Unit(benchmark::kMillisecond);

// ---- reader ------------------------------------------------------------------------------------------------------

// A fixed pseudo-random sequence, so every run reads the same text.
struct Lcg {
    uint64_t state = 0x2545F4914F6CDD1DULL;
    uint32_t next(uint32_t bound) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state >> 33) % bound;
    }
};

const char* const VOICES[] = {"bass", "lead", "pad", "drums", "arp", "chords", "sub", "hats"};
const char* const CALLS[] = {"play-note", "play", "set-param", "osc-send", "midi-out", "draw-line"};

std::string number(Lcg& rng) {
    char buf[32];
    switch (rng.next(4)) {
    case 0: std::snprintf(buf, sizeof buf, "%u", rng.next(128)); break;
    case 1: std::snprintf(buf, sizeof buf, "%u.%u", rng.next(1000), rng.next(100)); break;
    case 2: std::snprintf(buf, sizeof buf, "%u/%u", 1 + rng.next(7), 2 + rng.next(15)); break;
    default: std::snprintf(buf, sizeof buf, "-%u", rng.next(20000)); break;
    }
    return buf;
}

void put(std::string& out, std::initializer_list<std::string_view> parts) {
    for (std::string_view p : parts) out += p;
}

// One piece of a live set: a commented, self-rescheduling voice with the forms performers write.
void append_voice(std::string& out, Lcg& rng, int n) {
    char name[32];
    std::snprintf(name, sizeof name, "%s-%d", VOICES[rng.next(8)], n);
    std::string nth = std::to_string(rng.next(8));
    put(out, {";; ", name, ": a pattern that reschedules itself every beat\n"});
    put(out, {"(define ", name, "\n  (lambda (beat dur)\n    (let ((notes '("});
    for (int i = 0; i < 8; ++i) put(out, {i ? " " : "", number(rng)});
    put(out, {"))\n          (amps #(", number(rng), " ", number(rng), " ", number(rng), "))\n"});
    put(out, {"          (label \"", name, " \\\"live\\\"\\tat\\x41\\n\"))\n"});
    put(out, {"      (", CALLS[rng.next(6)], " (*metro* beat) synth (list-ref notes ", nth, ") ", number(rng),
              " (* dur ", number(rng), "))\n"});
    put(out, {"      (if (> beat ", number(rng), ") (display label) #f) ; rarely\n"});
    put(out, {"      `(", name, " ,beat ,@notes #\\a #\\space ", number(rng), ")\n"});
    put(out, {"      (obj::method ", number(rng), ")\n"});
    put(out, {"      (callback (*metro* (+ beat 1/4)) '", name, " (+ beat 1/4) dur))))\n\n"});
}

std::string live_set_text(size_t bytes) {
    std::string out;
    out.reserve(bytes + 1024);
    Lcg rng;
    for (int n = 0; out.size() < bytes; ++n) append_voice(out, rng, n);
    return out;
}

// Reads every datum of `text`; the number read, or -1 on a read error.
int64_t read_all(omb::scheme* sc, std::string& text) {
    omb::scheme_set_input_port_string(sc, text.data(), text.data() + text.size());
    int64_t data = 0;
    for (;;) {
        omb::pointer x = omb::scheme_read(sc);
        if (sc->retcode != 0) return -1;
        if (x == sc->EOF_OBJ) return data;
        ++data;
    }
}

void BM_ReadLiveSet(benchmark::State& state) {
    std::string text = live_set_text(1 << 20);
    Instance in;
    omb::scheme* sc = in.sc;
    int64_t data = read_all(sc, text);
    if (data <= 0) {
        state.SkipWithError("the generated text does not read cleanly");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(read_all(sc, text));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
    state.SetItemsProcessed(state.iterations() * data);
    state.counters["text_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ReadLiveSet)->Unit(benchmark::kMillisecond);

}  // namespace
