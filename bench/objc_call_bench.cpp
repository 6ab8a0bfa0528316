// What a message to a native object costs from Scheme, with a live interpreter and no process around it: the
// objc:call procedure applied directly to a prepared argument list (the bridge alone: class and method lookup,
// argument conversion, the invocation, the result cell), and the same calls evaluated by the interpreter in a
// Scheme loop (what a piece pays per call). Run from a Release build.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "interpreter/scheme.h"
#include "native/native_scheme.h"
#include "platform/objects/foundation.h"

namespace {

using omb::pointer;

// One interpreter with the object bridge's names, freed with the benchmark.
struct Instance {
    omb::scheme* sc = omb::scheme_init_new();
    Instance() {
        if (!sc) std::abort();
        for (const omb::NativeProcedure& p : omb::object_bridge_procedures())
            omb::scheme_define(sc, sc->global_env, omb::mk_symbol(sc, p.name), omb::mk_foreign_func(sc, p.procedure));
    }
    ~Instance() {
        omb::scheme_deinit(sc);
        std::free(sc);
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    omb::foreign_func procedure(std::string_view name) const {
        for (const omb::NativeProcedure& p : omb::object_bridge_procedures())
            if (name == p.name) return p.procedure;
        std::abort();
    }
    // Cells kept from the collector for the benchmark's life.
    pointer keep(pointer x) {
        omb::protect_cell(sc, x);
        return x;
    }
    pointer list(std::initializer_list<pointer> items) {
        pointer l = sc->NIL;
        for (auto it = std::rbegin(items); it != std::rend(items); ++it) l = omb::s_cons(sc, *it, l);
        return keep(l);
    }
    pointer text(const char* s) { return keep(omb::mk_string(sc, s)); }
    pointer string_object(const char* s) {
        return keep(omb::mk_objc(sc, omb::make_object<omb::NSString>(s).release()));
    }
};

void run_direct(benchmark::State& state, Instance& in, pointer args) {
    const omb::foreign_func call = in.procedure("objc:call");
    for (auto _ : state) benchmark::DoNotOptimize(call(in.sc, args));
    state.SetItemsProcessed(state.iterations());
}

// (objc:call s "length"): no arguments, an integer back.
void BM_DirectLength(benchmark::State& state) {
    Instance in;
    run_direct(state, in, in.list({in.string_object("hello"), in.text("length")}));
}

// (objc:call "OMBGeometry" "unionOfRect:andRect:" '(0 0 1 1) '(2 2 1 1)): a class method, two structures in
// and one out as a list.
void BM_DirectRectangles(benchmark::State& state) {
    Instance in;
    omb::scheme* sc = in.sc;
    auto number = [&](int x) { return in.keep(omb::mk_integer(sc, x)); };
    auto rect = [&](int x) { return in.list({number(x), number(x), number(1), number(1)}); };
    run_direct(state, in, in.list({in.text("OMBGeometry"), in.text("unionOfRect:andRect:"), rect(0), rect(2)}));
}

// (objc:call s "stringByAppendingString:" "!"): a Scheme string becomes an object, an object comes back.
void BM_DirectAppend(benchmark::State& state) {
    Instance in;
    run_direct(state, in, in.list({in.string_object("hello"), in.text("stringByAppendingString:"), in.text("!")}));
}

// The interpreter evaluating (objc:call s "length") 10 000 times in a named-let loop.
void BM_SchemeLoopLength(benchmark::State& state) {
    Instance in;
    omb::scheme_load_string(in.sc, "(define s (objc:string->nsstring \"hello\"))");
    constexpr int CALLS = 10000;
    const std::string loop = "(let loop ((i 0)) (if (< i " + std::to_string(CALLS) +
                             ") (begin (objc:call s \"length\") (loop (+ i 1)))))";
    for (auto _ : state) omb::scheme_load_string(in.sc, loop.c_str());
    state.SetItemsProcessed(state.iterations() * CALLS);
}

BENCHMARK(BM_DirectLength);
BENCHMARK(BM_DirectRectangles);
BENCHMARK(BM_DirectAppend);
BENCHMARK(BM_SchemeLoopLength)->Unit(benchmark::kMillisecond);

}  // namespace
