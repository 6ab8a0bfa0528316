// Vector math on plain arrays of doubles: element-wise arithmetic and comparison, optionally on a slice,
// reductions over a selection, rotation, random fill, sliding sums and matrix multiplication through BLAS.
//
// Nothing here knows the interpreter: the Scheme procedures (native/vector_math_scheme.cpp) copy vectors in,
// check every length and index with the predicates below, call these, and copy the results out. The operations
// assume their arguments passed those checks. Threads: any; nothing is shared but rand()'s state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace omb::vmath {

// The element-wise operations, numbered as their Scheme names call them.
enum class Op : int {
    multiply = 1,
    divide,
    add,
    subtract,
    assign,
    equal,
    greater,
    less,
    greater_equal,
    less_equal,
    power,
    absolute_integer,  // |a| truncated toward zero to a 32-bit integer (saturating); b is not used
    remainder,         // fmod: the sign of a
};

// Comparisons give 1.0 or 0.0.
bool is_comparison(Op op);
// Only the arithmetic and assignment operations take a slice.
bool takes_slice(Op op);
double apply(Op op, double a, double b);

// The right-hand operand: a scalar, or an array read at the same position as the element it combines with.
struct Operand {
    std::span<const double> values;  // empty for a scalar
    double scalar = 0;
    bool is_array = false;
    double at(size_t i) const { return is_array ? values[i] : scalar; }
};

// Indexes start + k × stride for k = 0 … size − 1.
struct Slice {
    int64_t start = 0;
    int64_t size = 0;
    int64_t stride = 1;
    size_t index(int64_t k) const { return static_cast<size_t>(start + k * stride); }
};
// Whether every index the slice selects lies in [0, n) (no arithmetic overflows on the way); a size of zero
// selects nothing and fits anything, a negative size fits nothing.
bool slice_fits(const Slice& slice, size_t n);

// a[i] = op(a[i], b at i) for every i; b, if an array, holds at least a.size() values.
void apply_all(Op op, std::span<double> a, const Operand& b);
// a[slice k] = op(a[slice k], b at k) for k = 0 … size − 1; the slice fits a, b (if an array) holds size values.
void apply_slice(Op op, std::span<double> a, const Slice& slice, const Operand& b);

// Which elements a reduction or a fill reads: all, those whose mask value is not zero (the mask as long as the
// array), or a slice that fits the array.
struct Selection {
    enum class Kind { all, mask, slice } kind = Kind::all;
    std::span<const double> mask;
    Slice slice;

    template <typename Visit>
    void each(size_t n, Visit visit) const {
        switch (kind) {
        case Kind::all:
            for (size_t i = 0; i < n; ++i) visit(i);
            break;
        case Kind::mask:
            for (size_t i = 0; i < n; ++i)
                if (mask[i] != 0.0) visit(i);
            break;
        case Kind::slice:
            for (int64_t k = 0; k < slice.size; ++k) visit(slice.index(k));
            break;
        }
    }
};

double sum(std::span<const double> a, const Selection& selection);
// Nothing when nothing is selected.
std::optional<double> minimum(std::span<const double> a, const Selection& selection);
std::optional<double> maximum(std::span<const double> a, const Selection& selection);
// Each selected element becomes rand() / 2147483647.0.
void fill_random(std::span<double> a, const Selection& selection);

// out[i] = a[(i + by) mod n], n = a.size() = out.size(); by may be negative. Nothing for n = 0.
void rotate(std::span<const double> a, int64_t by, std::span<double> out);
// out[i] = Σ a[(p + i) mod n] over the positions p whose flag is not zero; flags, a and out of one length n.
void sliding_masked_sum(std::span<const double> a, std::span<const int64_t> flags, std::span<double> out);
// out[i] = Σ a[(i + d) mod n] over the offsets d (each ≥ 0); a and out of one length n, any number of offsets.
void sliding_indexed_sum(std::span<const double> a, std::span<const int64_t> offsets, std::span<double> out);

// C (m × n) = op(A) (m × k) · op(B) (k × n), row-major, each operand stored transposed when its flag says so.
struct MatrixShape {
    int m = 0, n = 0, k = 0;
    bool transpose_a = false, transpose_b = false;
    size_t a_size() const { return static_cast<size_t>(m) * static_cast<size_t>(k); }
    size_t b_size() const { return static_cast<size_t>(k) * static_cast<size_t>(n); }
    size_t c_size() const { return static_cast<size_t>(m) * static_cast<size_t>(n); }
};
// The shape a Scheme call describes, for A of la values, B of lb values and the inner size given: by default
// m = la / inner, k = inner, n = lb / inner; transposing A makes m = inner and k = la / inner; transposing B makes
// n = inner. Nothing when `inner` is not positive, either length is not a multiple of it, or A and B do not hold
// exactly the m × k and k × n values that shape reads.
std::optional<MatrixShape> matrix_shape(size_t la, size_t lb, int64_t inner, bool transpose_a, bool transpose_b);
// C = op(A) · op(B) through BLAS dgemm; a, b and c hold a_size(), b_size() and c_size() values.
void matrix_multiply(const MatrixShape& shape, const double* a, const double* b, double* c);

}  // namespace omb::vmath
