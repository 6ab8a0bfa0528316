// Vector math as a buffer loop uses it, procedures called directly on an interpreter (no reader, no evaluator):
// math:vector+ on 4096 elements with and without recycling, with the cells each call takes from the heap, and
// math:matrix* against OpenBLAS's dgemm on the same matrices (the copies in and out included on our side).
#include <benchmark/benchmark.h>
#include <cblas.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "interpreter/scheme.h"
#include "native/native_scheme.h"

namespace omb {
namespace {

foreign_func procedure(std::string_view name) {
    for (const NativeProcedure& p : vector_math_procedures())
        if (name == p.name) return p.procedure;
    std::abort();
}

// An interpreter holding vectors of reals and the argument lists that name them, all protected.
struct Heap {
    scheme* sc = scheme_init_new();
    ~Heap() {
        scheme_deinit(sc);
        std::free(sc);
    }
    pointer keep(pointer p) {
        protect_cell(sc, p);
        return p;
    }
    pointer vector(size_t n, double value) {
        pointer v = keep(mk_vector(sc, static_cast<int>(n)));
        for (size_t i = 0; i < n; ++i) set_vector_elem(v, static_cast<int>(i), mk_real(sc, value + i % 7));
        return v;
    }
    pointer list(std::initializer_list<pointer> items) {
        pointer l = sc->NIL;
        for (auto it = std::rbegin(items); it != std::rend(items); ++it) l = keep(s_cons(sc, *it, l));
        return l;
    }
    // Cells one call takes from the heap, with the collector held off so none come back during it.
    long cells_per_call(foreign_func f, pointer args) {
        sc->gc_enabled = 0;
        const long free_before = sc->free_count;
        const int segments_before = sc->last_cell_seg;
        f(sc, args);
        sc->gc_enabled = 1;
        return free_before - sc->free_count + (sc->last_cell_seg - segments_before) * long{CELL_SEGSIZE};
    }
};

void vector_add(benchmark::State& state, bool recycle) {
    Heap heap;
    NativeScheme::RECYCLE_CELLS = recycle;
    const foreign_func add = procedure("math:vector+");
    pointer args = heap.list({heap.vector(4096, 1.0), heap.keep(mk_real(heap.sc, 1e-9))});
    add(heap.sc, args);  // the first call makes the cells that later ones reuse
    const long cells = heap.cells_per_call(add, args);
    for (auto _ : state) benchmark::DoNotOptimize(add(heap.sc, args));
    state.SetItemsProcessed(state.iterations());
    state.counters["cells_per_op"] = static_cast<double>(cells);
    NativeScheme::RECYCLE_CELLS = false;
}

void BM_VectorAdd4096Recycled(benchmark::State& state) { vector_add(state, true); }
void BM_VectorAdd4096NewCells(benchmark::State& state) { vector_add(state, false); }
BENCHMARK(BM_VectorAdd4096Recycled);
BENCHMARK(BM_VectorAdd4096NewCells);

// Shapes m × k times k × n; a Scheme vector holds at most 39 998 elements, so 256 × 256 operands do not exist:
// 192 × 192 is the largest square, and 128 × 256 · 256 × 128 does the work of a 256-deep product.
void shapes(benchmark::internal::Benchmark* b) {
    b->Args({64, 64, 64})->Args({128, 128, 128})->Args({192, 192, 192})->Args({128, 256, 128});
}

void set_flops(benchmark::State& state) {
    const double flops = 2.0 * state.range(0) * state.range(1) * state.range(2);
    state.counters["GFLOP/s"] = benchmark::Counter(flops * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_MatrixProductIntoDestination(benchmark::State& state) {
    Heap heap;
    NativeScheme::RECYCLE_CELLS = true;
    const auto m = static_cast<size_t>(state.range(0)), k = static_cast<size_t>(state.range(1)),
               n = static_cast<size_t>(state.range(2));
    const foreign_func product = procedure("math:matrix*");
    pointer args = heap.list({heap.vector(m * k, 0.25), heap.vector(k * n, 0.5),
                              heap.keep(mk_integer(heap.sc, static_cast<int64_t>(k))), heap.vector(m * n, 0.0)});
    product(heap.sc, args);
    for (auto _ : state) benchmark::DoNotOptimize(product(heap.sc, args));
    set_flops(state);
    NativeScheme::RECYCLE_CELLS = false;
}
BENCHMARK(BM_MatrixProductIntoDestination)->Apply(shapes)->UseRealTime();

// Without a destination every call makes a new result vector, collections included.
void BM_MatrixProductNewVector(benchmark::State& state) {
    Heap heap;
    const auto m = static_cast<size_t>(state.range(0)), k = static_cast<size_t>(state.range(1)),
               n = static_cast<size_t>(state.range(2));
    const foreign_func product = procedure("math:matrix*");
    pointer args = heap.list(
        {heap.vector(m * k, 0.25), heap.vector(k * n, 0.5), heap.keep(mk_integer(heap.sc, static_cast<int64_t>(k)))});
    for (auto _ : state) benchmark::DoNotOptimize(product(heap.sc, args));
    set_flops(state);
}
BENCHMARK(BM_MatrixProductNewVector)->Apply(shapes)->UseRealTime();

void BM_OpenBlasDgemm(benchmark::State& state) {
    const int m = static_cast<int>(state.range(0)), k = static_cast<int>(state.range(1)),
              n = static_cast<int>(state.range(2));
    std::vector<double> a(static_cast<size_t>(m) * k, 0.25), b(static_cast<size_t>(k) * n, 0.5),
        c(static_cast<size_t>(m) * n);
    for (auto _ : state) {
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0, a.data(), k, b.data(), n, 0.0, c.data(),
                    n);
        benchmark::DoNotOptimize(c.data());
    }
    set_flops(state);
}
BENCHMARK(BM_OpenBlasDgemm)->Apply(shapes)->Args({256, 256, 256})->UseRealTime();

}  // namespace
}  // namespace omb
