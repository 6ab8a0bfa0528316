// What the GL constants cost every process: loading openglconst.scm (about 5000 definitions, at every start), and
// how much slower ordinary code runs once they sit in the global environment, whose buckets every global
// variable reference searches.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "interpreter/scheme.h"

namespace {

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

const std::string& constants_text() {
    static const std::string text = [] {
        std::ifstream in(std::string(OMBREL_SCHEME_DIR) + "/openglconst.scm");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    return text;
}

void BM_LoadConstants(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        {
            Instance in;
            state.ResumeTiming();
            omb::scheme_load_string(in.sc, constants_text().c_str());
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LoadConstants)->Unit(benchmark::kMillisecond);

// A loop that looks up a handful of globals on every turn; argument 1 loads the constants first.
void BM_GlobalLookups(benchmark::State& state) {
    Instance in;
    if (state.range(0)) omb::scheme_load_string(in.sc, constants_text().c_str());
    omb::scheme_load_string(in.sc, "(define (spin n acc) (if (= n 0) acc (spin (- n 1) (+ acc (car (cons n '()))))))");
    for (auto _ : state) omb::scheme_load_string(in.sc, "(spin 100000 0)");
    state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_GlobalLookups)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
