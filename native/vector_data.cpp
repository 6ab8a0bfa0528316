#include "native/vector_data.h"

#include <atomic>
#include <cfloat>
#include <cstring>
#include <limits>
#include <optional>

// The inline element accessors: the copies in and out are the whole cost of a vector operation on a buffer, and
// a call per element would double it.
#include "interpreter/scheme_private.h"
#include "native/native_scheme.h"
#include "platform/log_bridge.h"
#include "platform/objects/foundation.h"

namespace omb {

namespace {

// A flag bit on number cells that this library made to hold a result in a vector. Only such cells are
// overwritten in place when recycling: a number that came from anywhere else (a literal of the program, a
// variable's value) may be shared, and changing it would change code or data far from the vector.
// Constructors and the collector rewrite the whole flag word, so the bit never outlives the cell's use as ours.
constexpr uint32_t kResultCell = T_RESULT_CELL;
static_assert((kResultCell & (T_MASKTYPE | T_SYNTAX | T_IMMUTABLE | T_ATOM | MARK)) == 0);

bool is_result_cell(pointer c) {
    return (c->_flag & (T_MASKTYPE | T_IMMUTABLE | kResultCell)) == (T_NUMBER | kResultCell);
}

// Each write into a vector stamps the cells it writes with a number of its own, in the word number cells leave
// unused, so a cell that appears twice in the vector (make-vector with a fill) is seen the second time and that
// place gets a cell of its own. A stamp left from long ago that happens to match only costs a new cell.
std::atomic<uint32_t> write_stamps{0};

void set_real(pointer c, double value, uint32_t stamp) {
    c->_object._number.num_type = NUM_REAL;
    c->_object._number.value.rvalue = value;
    c->_hash = stamp;
}

// Element i becomes a new result cell; false when memory is exhausted (the evaluation is ending then).
bool store_new_real(scheme* sc, pointer vec, int i, double value, uint32_t stamp) {
    pointer x = mk_real(sc, value);
    if (x == sc->sink) return false;
    x->_flag |= kResultCell;
    x->_hash = stamp;
    set_elem_of(vec, i, x);
    return true;
}

bool is_number_cell(pointer e) { return (e->_flag & T_MASKTYPE) == T_NUMBER; }

// rvalue without the call for the two common kinds.
double real_of(pointer e) {
    const num& n = e->_object._number;
    if (n.num_type == NUM_REAL) return n.value.rvalue;
    if (n.num_type == NUM_INTEGER) return static_cast<double>(n.value.ivalue);
    return rvalue(e);
}

pointer fail(scheme* sc, const char* message) {
    CPPBridge::error("%s", message);
    return sc->F;
}

pointer first_arg(scheme* sc, pointer args) { return is_pair(args) ? pair_car(args) : sc->NIL; }

// ---- flattening ------------------------------------------------------------------------------------------------

// Vectors visited beyond the values written: enough for any real nesting, while a structure that shares inner
// vectors many times over (or contains itself) is refused quickly rather than walked for ever.
constexpr size_t kSpareVisits = 65536;

constexpr const char* kTooManyValues = "The vector holds more values than its destination";
constexpr const char* kNotRectangular = "Nested vectors must be rectangular: every row as long as the first";

template <typename T, typename Convert>
struct Flattener {
    std::span<T> out;
    Convert convert;
    size_t at = 0;
    size_t visits_left = out.size() + kSpareVisits;

    const char* walk(pointer vec, int depth) {
        if (depth > kMaxNesting || visits_left-- == 0) return "Vectors are nested too deeply to convert";
        const int n = static_cast<int>(vector_length(vec));
        for (int i = 0; i < n; ++i) {
            pointer e = vector_elem(vec, i);
            if (is_vector(e)) {
                if (const char* error = walk(e, depth + 1)) return error;
            } else if (!is_number_cell(e)) {
                return "Vector elements must be numbers or vectors of numbers";
            } else if (at == out.size()) {
                return kTooManyValues;
            } else {
                out[at++] = convert(e);
            }
        }
        return nullptr;
    }
};

template <typename T, typename Convert>
Flattened flatten(pointer vec, std::span<T> out, Convert convert) {
    if (!is_vector(vec)) return {0, "Arg must be a vector of floating point values"};
    Flattener<T, Convert> f{out, convert};
    const char* error = f.walk(vec, 0);
    return {f.at, error};
}

// Out-of-range doubles become infinities explicitly; the plain conversion is not defined for them.
float narrow(double d) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    if (d > FLT_MAX) return inf;
    if (d < -FLT_MAX) return -inf;
    return static_cast<float>(d);
}

// ---- the objc: conversions ---------------------------------------------------------------------------------------

// The value count of a rectangular nesting: the product of the lengths along the chain of first elements.
// Nothing when the chain is too deep or the count passes the most a data object is made with.
constexpr size_t kMaxDataValues = size_t{1} << 26;

std::optional<size_t> rectangular_count(pointer vec) {
    size_t count = 1;
    for (int depth = 0; depth <= kMaxNesting; ++depth) {
        const auto n = static_cast<size_t>(vector_length(vec));
        if (n == 0) return 0;
        if (__builtin_mul_overflow(count, n, &count) || count > kMaxDataValues) return {};
        vec = vector_elem(vec, 0);
        if (!is_vector(vec)) return count;
    }
    return {};
}

template <typename T, Flattened (*Make)(scheme*, pointer, std::span<T>)>
pointer vector_to_data(scheme* sc, pointer args) {
    pointer vec = first_arg(sc, args);
    if (!is_vector(vec)) return fail(sc, "Arg must be a vector of floating point values");
    const std::optional<size_t> count = rectangular_count(vec);
    if (!count) return fail(sc, "Vector is too large or nested too deeply to convert");
    // The data object takes this buffer over; the values are written straight into it.
    std::vector<uint8_t> bytes(*count * sizeof(T));
    const Flattened written = Make(sc, vec, std::span<T>(reinterpret_cast<T*>(bytes.data()), *count));
    // Fewer values than the first chain promises, or more, means the rows differ in length.
    if (written.error == kTooManyValues || (written && written.written != *count)) return fail(sc, kNotRectangular);
    if (!written) return fail(sc, written.error);
    return mk_objc(sc, make_object<NSData>(std::move(bytes)).release());
}

constexpr size_t kMaxVectorFromData = 5000;

pointer data_to_vector(scheme* sc, pointer args) {
    pointer arg = first_arg(sc, args);
    const auto* data = is_objc(arg) ? dynamic_cast<const NSData*>(objc_value(arg)) : nullptr;
    if (!data) return fail(sc, "Arg must be an NSData object containing floating point values");
    const size_t count = data->length() / sizeof(float);
    if (count > kMaxVectorFromData) return fail(sc, "Ombrel does not support vector sizes greater than 5000 elements");
    thread_local std::vector<double> values;
    values.resize(count);
    for (size_t i = 0; i < count; ++i) {
        float f;
        std::memcpy(&f, data->bytes().data() + i * sizeof f, sizeof f);
        values[i] = f;
    }
    return new_real_vector(sc, values);
}

constexpr NativeProcedure VECTOR_DATA[] = {
    {"objc:nsdata->vector", data_to_vector},
    {"objc:vector->nsdata-float", vector_to_data<float, makeFloatVector>},
    {"objc:vector->nsdata-int", vector_to_data<int32_t, makeIntVector>},
    {"objc:vector->nsdata-uint8", vector_to_data<uint8_t, makeUInt8Vector>},
};

}  // namespace

bool read_reals(pointer vec, std::vector<double>& out) {
    const int n = static_cast<int>(vector_length(vec));
    out.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        pointer e = elem_of(vec, i);
        if (!is_number_cell(e)) return false;
        out[static_cast<size_t>(i)] = real_of(e);
    }
    return true;
}

bool read_integers(pointer vec, std::vector<int64_t>& out) {
    const int n = static_cast<int>(vector_length(vec));
    out.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        pointer e = elem_of(vec, i);
        if (!is_number_cell(e)) return false;
        out[static_cast<size_t>(i)] = ivalue(e);
    }
    return true;
}

void write_reals(scheme* sc, pointer vec, std::span<const double> values) {
    const int n = static_cast<int>(values.size());
    const bool recycle = NativeScheme::RECYCLE_CELLS.load(std::memory_order_relaxed);
    const uint32_t stamp = write_stamps.fetch_add(1, std::memory_order_relaxed) + 1;
    for (int i = 0; i < n; ++i) {
        const double value = values[static_cast<size_t>(i)];
        pointer c = elem_of(vec, i);
        if (recycle && is_result_cell(c) && c->_hash != stamp)
            set_real(c, value, stamp);
        else if (!store_new_real(sc, vec, i, value, stamp))
            return;
    }
}

pointer new_real_vector(scheme* sc, std::span<const double> values) {
    pointer vec = mk_vector(sc, static_cast<int>(values.size()));
    if (!is_vector(vec)) return sc->F;
    // Filling it allocates, and nothing else holds it yet.
    protect_cell(sc, vec);
    write_reals(sc, vec, values);
    unprotect_cell(sc, vec);
    return vec;
}

Flattened makeIntVector(scheme*, pointer vec, std::span<int32_t> out) {
    return flatten(vec, out, [](pointer e) { return static_cast<int32_t>(ivalue(e)); });
}

Flattened makeUInt8Vector(scheme*, pointer vec, std::span<uint8_t> out) {
    return flatten(vec, out, [](pointer e) { return static_cast<uint8_t>(ivalue(e)); });
}

Flattened makeFloatVector(scheme*, pointer vec, std::span<float> out) {
    return flatten(vec, out, [](pointer e) { return narrow(real_of(e)); });
}

NativeTable vector_data_procedures() { return VECTOR_DATA; }

}  // namespace omb
