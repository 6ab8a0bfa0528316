#include "native/vector_math.h"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace omb::vmath {

namespace {

// |a| truncated to a 32-bit integer: out-of-range values saturate and NaN gives 0 rather than an undefined cast.
double absolute_integer(double a) {
    const double t = std::trunc(std::fabs(a));
    if (std::isnan(t)) return 0.0;
    return std::min(t, 2147483647.0);
}

// (i + by) mod n for any sign of `by`, without overflow.
size_t wrap(size_t i, int64_t by, size_t n) {
    const auto len = static_cast<int64_t>(n);
    int64_t r = by % len;
    if (r < 0) r += len;
    return (i + static_cast<size_t>(r)) % n;
}

template <typename Better>
std::optional<double> extreme(std::span<const double> a, const Selection& selection, Better better) {
    std::optional<double> best;
    selection.each(a.size(), [&](size_t i) {
        if (!best || better(a[i], *best)) best = a[i];
    });
    return best;
}

}  // namespace

bool is_comparison(Op op) { return op >= Op::equal && op <= Op::less_equal; }

bool takes_slice(Op op) { return op >= Op::multiply && op <= Op::assign; }

double apply(Op op, double a, double b) {
    switch (op) {
    case Op::multiply: return a * b;
    case Op::divide: return a / b;
    case Op::add: return a + b;
    case Op::subtract: return a - b;
    case Op::assign: return b;
    case Op::equal: return a == b ? 1.0 : 0.0;
    case Op::greater: return a > b ? 1.0 : 0.0;
    case Op::less: return a < b ? 1.0 : 0.0;
    case Op::greater_equal: return a >= b ? 1.0 : 0.0;
    case Op::less_equal: return a <= b ? 1.0 : 0.0;
    case Op::power: return std::pow(a, b);
    case Op::absolute_integer: return absolute_integer(a);
    case Op::remainder: return std::fmod(a, b);
    }
    return a;
}

bool slice_fits(const Slice& slice, size_t n) {
    if (slice.size < 0) return false;
    if (slice.size == 0) return true;
    int64_t span = 0, last = 0;
    if (__builtin_mul_overflow(slice.size - 1, slice.stride, &span)) return false;
    if (__builtin_add_overflow(slice.start, span, &last)) return false;
    // Indexes move one way, so the first and the last bound them all.
    const auto len = static_cast<int64_t>(n);
    return slice.start >= 0 && slice.start < len && last >= 0 && last < len;
}

void apply_all(Op op, std::span<double> a, const Operand& b) {
    // The common arithmetic cases as plain loops, which the compiler vectorises.
    const size_t n = a.size();
    if (op == Op::add && b.is_array)
        for (size_t i = 0; i < n; ++i) a[i] += b.values[i];
    else if (op == Op::add)
        for (size_t i = 0; i < n; ++i) a[i] += b.scalar;
    else if (op == Op::multiply && b.is_array)
        for (size_t i = 0; i < n; ++i) a[i] *= b.values[i];
    else if (op == Op::multiply)
        for (size_t i = 0; i < n; ++i) a[i] *= b.scalar;
    else
        for (size_t i = 0; i < n; ++i) a[i] = apply(op, a[i], b.at(i));
}

void apply_slice(Op op, std::span<double> a, const Slice& slice, const Operand& b) {
    for (int64_t k = 0; k < slice.size; ++k) {
        double& x = a[slice.index(k)];
        x = apply(op, x, b.at(static_cast<size_t>(k)));
    }
}

double sum(std::span<const double> a, const Selection& selection) {
    double total = 0.0;
    selection.each(a.size(), [&](size_t i) { total += a[i]; });
    return total;
}

std::optional<double> minimum(std::span<const double> a, const Selection& selection) {
    return extreme(a, selection, [](double x, double best) { return x < best; });
}

std::optional<double> maximum(std::span<const double> a, const Selection& selection) {
    return extreme(a, selection, [](double x, double best) { return x > best; });
}

void fill_random(std::span<double> a, const Selection& selection) {
    selection.each(a.size(), [&](size_t i) { a[i] = std::rand() / 2147483647.0; });
}

void rotate(std::span<const double> a, int64_t by, std::span<double> out) {
    const size_t n = a.size();
    if (n == 0) return;
    const size_t first = wrap(0, by, n);
    // out = a[first …] followed by a[… first).
    std::copy(a.begin() + static_cast<ptrdiff_t>(first), a.end(), out.begin());
    std::copy(a.begin(), a.begin() + static_cast<ptrdiff_t>(first), out.begin() + static_cast<ptrdiff_t>(n - first));
}

void sliding_masked_sum(std::span<const double> a, std::span<const int64_t> flags, std::span<double> out) {
    const size_t n = a.size();
    std::fill(out.begin(), out.end(), 0.0);
    for (size_t p = 0; p < n; ++p) {
        if (flags[p] == 0) continue;
        // Position p contributes a[(p + i) mod n] to every out[i]: two straight runs.
        for (size_t i = 0; i < n - p; ++i) out[i] += a[p + i];
        for (size_t i = n - p; i < n; ++i) out[i] += a[p + i - n];
    }
}

void sliding_indexed_sum(std::span<const double> a, std::span<const int64_t> offsets, std::span<double> out) {
    const size_t n = a.size();
    std::fill(out.begin(), out.end(), 0.0);
    if (n == 0) return;
    for (int64_t d : offsets) {
        const size_t p = static_cast<size_t>(d) % n;
        for (size_t i = 0; i < n - p; ++i) out[i] += a[p + i];
        for (size_t i = n - p; i < n; ++i) out[i] += a[p + i - n];
    }
}

std::optional<MatrixShape> matrix_shape(size_t la, size_t lb, int64_t inner, bool transpose_a, bool transpose_b) {
    if (inner <= 0 || la % static_cast<size_t>(inner) != 0 || lb % static_cast<size_t>(inner) != 0) return {};
    const auto in = static_cast<size_t>(inner);
    // Scheme vectors are far below int's range; a larger request cannot be a real pair of vectors.
    if (la > 0x7fffffff || lb > 0x7fffffff) return {};
    MatrixShape s;
    s.transpose_a = transpose_a;
    s.transpose_b = transpose_b;
    s.m = static_cast<int>(transpose_a ? in : la / in);
    s.k = static_cast<int>(transpose_a ? la / in : in);
    s.n = static_cast<int>(transpose_b ? in : lb / in);
    if (s.a_size() != la || s.b_size() != lb) return {};
    return s;
}

void matrix_multiply(const MatrixShape& s, const double* a, const double* b, double* c) {
    if (s.m == 0 || s.n == 0) return;
    if (s.k == 0) {
        std::fill(c, c + s.c_size(), 0.0);
        return;
    }
    // Leading dimensions are the stored row lengths: a transposed operand is stored with its dimensions swapped.
    const int lda = s.transpose_a ? s.m : s.k;
    const int ldb = s.transpose_b ? s.k : s.n;
    cblas_dgemm(CblasRowMajor, s.transpose_a ? CblasTrans : CblasNoTrans, s.transpose_b ? CblasTrans : CblasNoTrans,
                s.m, s.n, s.k, 1.0, a, lda, b, ldb, 0.0, c, s.n);
}

}  // namespace omb::vmath
