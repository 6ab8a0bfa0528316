// The math: procedures and sys:vector-recycle: argument checking, copies in and out of Scheme vectors, and the
// array operations of native/vector_math.h in between. Every length, index, slice, mask and destination is
// checked before any vector is written, so a refused call changes nothing.
#include <optional>
#include <string_view>
#include <vector>

#include "native/native_scheme.h"
#include "native/vector_data.h"
#include "native/vector_math.h"
#include "platform/log_bridge.h"

namespace omb {

namespace {

using namespace vmath;

constexpr const char* kBadA = "Arg A must be a vector of numbers";
constexpr const char* kBadB = "Arg B must be a number or a vector of numbers";
constexpr const char* kBadOption = "Optional args must be a destination vector and/or a slice list";
constexpr const char* kSliceShape = "Bad vector slice! - a slice is a list of three integers: start size stride";
constexpr const char* kSliceNotInteger = "Bad vector slice! - non integer value detected";
constexpr const char* kSliceOpcode = "Cannot use slices with this opcode";
constexpr const char* kSliceRange = "Total slice range must not exceed the range of Vector A";
constexpr const char* kSliceB = "Vector B must be the same size as the slice";
constexpr const char* kShortB = "Vector B must be at least as long as Vector A";
constexpr const char* kDestinationLength = "Vector is an invalid length";
constexpr const char* kImmutable = "Cannot change an immutable vector";
constexpr const char* kSelection = "Selection must be a list: (mask-vector) or (start size stride)";
constexpr const char* kBadMask = "Mask must be a vector of numbers as long as Vector A";
constexpr const char* kEmptySelection = "No elements selected";
constexpr const char* kBadRotation = "Rotation must be an integer";
constexpr const char* kBadIndexes = "Indexes must be a vector of numbers, each zero or more";
constexpr const char* kBadDestination = "Destination must be a vector";
constexpr const char* kMatrix = "Bad Matrix Dimensions";
constexpr const char* kMatrixTooLarge = "Matrix result is larger than a vector can hold";

// Copies of the operands, kept between calls so a loop over buffers does not allocate memory each time.
struct Scratch {
    std::vector<double> a, b, out, mask;
    std::vector<int64_t> integers;
};
Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

pointer fail(scheme* sc, const char* message) {
    CPPBridge::error("%s", message);
    return sc->F;
}

// The arguments from i on.
pointer rest(pointer args, int i) {
    for (; i > 0 && is_pair(args); --i) args = pair_cdr(args);
    return args;
}

// Argument i, or NIL when the list is shorter.
pointer arg(scheme* sc, pointer args, int i) {
    const pointer r = rest(args, i);
    return is_pair(r) ? pair_car(r) : sc->NIL;
}

// The message for a destination (or A itself) that may not take n results; nullptr when it may.
const char* check_destination(pointer dest, size_t n) {
    if (static_cast<size_t>(vector_length(dest)) != n) return kDestinationLength;
    if (is_immutable(dest)) return kImmutable;
    return nullptr;
}

// A list of exactly three integers (a longer one, circular even, is refused at its fourth element).
const char* parse_slice(scheme* sc, pointer list, Slice& slice) {
    int64_t values[3];
    int count = 0;
    for (; is_pair(list); list = pair_cdr(list)) {
        if (count == 3) return kSliceShape;
        pointer x = pair_car(list);
        if (!is_integer(x)) return kSliceNotInteger;
        values[count++] = ivalue(x);
    }
    if (count != 3 || list != sc->NIL) return kSliceShape;
    slice = {values[0], values[1], values[2]};
    return nullptr;
}

// The optional list of a reduction or a fill: (mask-vector), (start size stride), or nothing for all.
const char* parse_selection(scheme* sc, pointer list, size_t n, Selection& selection) {
    if (list == sc->NIL) return nullptr;
    if (!is_pair(list)) return kSelection;
    if (pointer first = pair_car(list); is_vector(first)) {
        std::vector<double>& mask = scratch().mask;
        if (!read_reals(first, mask) || mask.size() != n) return kBadMask;
        selection.kind = Selection::Kind::mask;
        selection.mask = mask;
        return nullptr;
    }
    if (const char* error = parse_slice(sc, list, selection.slice)) return error;
    if (!slice_fits(selection.slice, n)) return kSliceRange;
    selection.kind = Selection::Kind::slice;
    return nullptr;
}

// A into scratch().a; false (after the message) when it is not a vector of numbers.
bool read_a(scheme* sc, pointer a) {
    if (is_vector(a) && read_reals(a, scratch().a)) return true;
    fail(sc, kBadA);
    return false;
}

// ---- element-wise --------------------------------------------------------------------------------------------------

pointer elementwise(scheme* sc, pointer args, Op op) {
    Scratch& s = scratch();
    const pointer b = arg(sc, args, 1), third = arg(sc, args, 2), fourth = arg(sc, args, 3);
    if (!read_a(sc, arg(sc, args, 0))) return sc->F;
    const size_t n = s.a.size();
    Operand operand;
    if (is_number(b)) {
        operand.scalar = rvalue(b);
    } else if (is_vector(b) && read_reals(b, s.b)) {
        operand.is_array = true;
        operand.values = s.b;
    } else {
        return fail(sc, kBadB);
    }
    // A vector third argument is the destination, a list after it the slice; a list third argument the slice.
    pointer dest = arg(sc, args, 0), slice_list = sc->NIL;
    if (is_vector(third)) {
        dest = third;
        slice_list = fourth;
    } else if (third != sc->NIL) {
        slice_list = third;
    }
    if (slice_list != sc->NIL && !is_pair(slice_list)) return fail(sc, kBadOption);

    if (slice_list != sc->NIL) {
        Slice slice;
        if (const char* error = parse_slice(sc, slice_list, slice)) return fail(sc, error);
        if (!takes_slice(op)) return fail(sc, kSliceOpcode);
        if (!slice_fits(slice, n)) return fail(sc, kSliceRange);
        if (operand.is_array && s.b.size() != static_cast<size_t>(slice.size)) return fail(sc, kSliceB);
        if (const char* error = check_destination(dest, n)) return fail(sc, error);
        apply_slice(op, s.a, slice, operand);
    } else {
        if (operand.is_array && s.b.size() < n) return fail(sc, kShortB);
        if (const char* error = check_destination(dest, n)) return fail(sc, error);
        apply_all(op, s.a, operand);
    }
    write_reals(sc, dest, s.a);
    return sc->T;
}

template <Op op>
pointer elementwise_procedure(scheme* sc, pointer args) {
    return elementwise(sc, args, op);
}

// ---- reductions and fill ---------------------------------------------------------------------------------------

enum class Reduction { sum, min, max };

template <Reduction which>
pointer reduce(scheme* sc, pointer args) {
    if (!read_a(sc, arg(sc, args, 0))) return sc->F;
    const std::vector<double>& a = scratch().a;
    Selection selection;
    if (const char* error = parse_selection(sc, arg(sc, args, 1), a.size(), selection)) return fail(sc, error);
    if constexpr (which == Reduction::sum) {
        return mk_real(sc, sum(a, selection));
    } else {
        const std::optional<double> r = which == Reduction::min ? minimum(a, selection) : maximum(a, selection);
        return r ? mk_real(sc, *r) : fail(sc, kEmptySelection);
    }
}

pointer random_fill(scheme* sc, pointer args) {
    const pointer a = arg(sc, args, 0);
    if (!read_a(sc, a)) return sc->F;
    std::vector<double>& values = scratch().a;
    Selection selection;
    if (const char* error = parse_selection(sc, arg(sc, args, 1), values.size(), selection)) return fail(sc, error);
    if (const char* error = check_destination(a, values.size())) return fail(sc, error);
    fill_random(values, selection);
    write_reals(sc, a, values);
    return sc->T;
}

// ---- rotation and sliding sums ---------------------------------------------------------------------------------

// The optional destination at argument 2: A itself when absent; nullptr (after the message) when unusable.
pointer destination(scheme* sc, pointer args, size_t n) {
    pointer dest = arg(sc, args, 2);
    if (dest == sc->NIL) dest = arg(sc, args, 0);
    const char* error = is_vector(dest) ? check_destination(dest, n) : kBadDestination;
    if (!error) return dest;
    fail(sc, error);
    return nullptr;
}

pointer rotate_procedure(scheme* sc, pointer args) {
    if (!read_a(sc, arg(sc, args, 0))) return sc->F;
    Scratch& s = scratch();
    const pointer by = arg(sc, args, 1);
    if (!is_integer(by)) return fail(sc, kBadRotation);
    const pointer dest = destination(sc, args, s.a.size());
    if (!dest) return sc->F;
    s.out.resize(s.a.size());
    rotate(s.a, ivalue(by), s.out);
    write_reals(sc, dest, s.out);
    return sc->T;
}

pointer sum_and_rotate(scheme* sc, pointer args) {
    if (!read_a(sc, arg(sc, args, 0))) return sc->F;
    Scratch& s = scratch();
    const pointer mask = arg(sc, args, 1);
    if (!is_vector(mask) || !read_integers(mask, s.integers) || s.integers.size() != s.a.size())
        return fail(sc, kBadMask);
    const pointer dest = destination(sc, args, s.a.size());
    if (!dest) return sc->F;
    s.out.resize(s.a.size());
    sliding_masked_sum(s.a, s.integers, s.out);
    write_reals(sc, dest, s.out);
    return sc->T;
}

pointer sum_and_rotate_indexed(scheme* sc, pointer args) {
    if (!read_a(sc, arg(sc, args, 0))) return sc->F;
    Scratch& s = scratch();
    const pointer indexes = arg(sc, args, 1);
    if (!is_vector(indexes) || !read_integers(indexes, s.integers)) return fail(sc, kBadIndexes);
    for (int64_t d : s.integers)
        if (d < 0) return fail(sc, kBadIndexes);
    const pointer dest = destination(sc, args, s.a.size());
    if (!dest) return sc->F;
    s.out.resize(s.a.size());
    sliding_indexed_sum(s.a, s.integers, s.out);
    write_reals(sc, dest, s.out);
    return sc->T;
}

// ---- matrices --------------------------------------------------------------------------------------------------

pointer matrix_product(scheme* sc, pointer args) {
    if (!read_a(sc, arg(sc, args, 0))) return sc->F;
    Scratch& s = scratch();
    const pointer b = arg(sc, args, 1), inner = arg(sc, args, 2);
    if (!is_vector(b) || !read_reals(b, s.b)) return fail(sc, "Arg B must be a vector of numbers");
    if (!is_integer(inner)) return fail(sc, kMatrix);
    bool transpose_a = false, transpose_b = false;
    pointer dest = sc->NIL;
    for (pointer o = rest(args, 3); is_pair(o); o = pair_cdr(o)) {
        const pointer x = pair_car(o);
        if (is_symbol(x)) {
            const std::string_view name = symname(x);
            transpose_a = transpose_a || name == "transpose_a";
            transpose_b = transpose_b || name == "transpose_b";
        } else if (is_vector(x)) {
            dest = x;
        }
    }
    const std::optional<MatrixShape> shape =
        matrix_shape(s.a.size(), s.b.size(), ivalue(inner), transpose_a, transpose_b);
    if (!shape) return fail(sc, kMatrix);
    if (dest != sc->NIL) {
        if (const char* error = check_destination(dest, shape->c_size())) return fail(sc, error);
    } else if (shape->c_size() > static_cast<size_t>(MAX_VECTOR_LENGTH)) {
        return fail(sc, kMatrixTooLarge);
    }
    s.out.resize(shape->c_size());
    matrix_multiply(*shape, s.a.data(), s.b.data(), s.out.data());
    if (dest == sc->NIL) return new_real_vector(sc, s.out);
    write_reals(sc, dest, s.out);
    return sc->T;
}

// ---- recycling -------------------------------------------------------------------------------------------------

pointer vector_recycle(scheme* sc, pointer args) {
    const pointer on = arg(sc, args, 0);
    NativeScheme::RECYCLE_CELLS.store(on == sc->T, std::memory_order_relaxed);
    return on == sc->NIL ? sc->F : on;
}

constexpr NativeProcedure MEMORY[] = {{"sys:vector-recycle", vector_recycle}};

constexpr NativeProcedure VECTOR_MATH[] = {
    {"math:matrix*", matrix_product},
    {"math:vector*", elementwise_procedure<Op::multiply>},
    {"math:vector/", elementwise_procedure<Op::divide>},
    {"math:vector+", elementwise_procedure<Op::add>},
    {"math:vector-", elementwise_procedure<Op::subtract>},
    {"math:vector=", elementwise_procedure<Op::assign>},
    {"math:vector==", elementwise_procedure<Op::equal>},
    {"math:vector>", elementwise_procedure<Op::greater>},
    {"math:vector<", elementwise_procedure<Op::less>},
    {"math:vector>=", elementwise_procedure<Op::greater_equal>},
    {"math:vector<=", elementwise_procedure<Op::less_equal>},
    {"math:vector^", elementwise_procedure<Op::power>},
    {"math:vector@", elementwise_procedure<Op::absolute_integer>},
    {"math:vector%", elementwise_procedure<Op::remainder>},
    {"math:vector-sum", reduce<Reduction::sum>},
    {"math:vector-min", reduce<Reduction::min>},
    {"math:vector-max", reduce<Reduction::max>},
    {"math:vector-rotate", rotate_procedure},
    {"math:vector-rand", random_fill},
    {"math:vector-sum-and-rotate", sum_and_rotate},
    {"math:vector-sum-and-rotate-i", sum_and_rotate_indexed},
};

}  // namespace

NativeTable memory_procedures() { return MEMORY; }
NativeTable vector_math_procedures() { return VECTOR_MATH; }

}  // namespace omb
