// The numeric tower: exact 64-bit integers, rationals of two 64-bit integers, and doubles.
//
// Integer and rational arithmetic wraps in two's complement like the machine, never traps: a performer's
// arithmetic must not be able to stop the process.
#pragma once

#include "scheme.h"

namespace omb {

inline num num_from_integer(int64_t i) { num n{}; n.num_type = NUM_INTEGER; n.value.ivalue = i; return n; }
inline num num_from_real(double r) { num n{}; n.num_type = NUM_REAL; n.value.rvalue = r; return n; }
inline num num_from_ratio(int64_t a, int64_t b) {
    num n{}; n.num_type = NUM_RATIONAL; n.value.ratvalue.n = a; n.value.ratvalue.d = b; return n;
}

// Two's-complement integer arithmetic without undefined behaviour: what every integer operation here uses.
inline int64_t wadd(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b)); }
inline int64_t wsub(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b)); }
inline int64_t wmul(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b)); }
// Truncated division; INT64_MIN / -1 wraps and a zero divisor (reachable only through overflow) yields 0.
inline int64_t wdiv(int64_t a, int64_t b) {
    if (b == 0) return 0;
    if (b == -1) return wsub(0, a);
    return a / b;
}
inline int64_t wrem(int64_t a, int64_t b) {
    if (b == 0 || b == -1) return 0;
    return a % b;
}
// The remainder with the divisor's sign.
inline int64_t wmodulo(int64_t a, int64_t b) {
    const int64_t r = wrem(a, b);
    return (r < 0 && b > 0) || (r > 0 && b < 0) ? wadd(r, b) : r;  // r moves toward b's sign by |b|
}

extern const num num_zero;
extern const num num_one;

double num_rvalue(const num& n);   // as a double
int64_t num_ivalue(const num& n);  // truncated toward zero
bool num_is_integer(const num& n);
// The result kind of combining a and b: integer, real or rational.
int num_result_kind(const num& a, const num& b);

// One step of a fold; rational results stay unreduced until `reduce_num`.
num num_add(const num& a, const num& b);
num num_sub(const num& a, const num& b);
num num_mul(const num& a, const num& b);
num num_div(const num& a, const num& b);
num num_quotient(const num& a, const num& b);   // integer division truncated toward zero
num num_remainder(const num& a, const num& b);  // sign of the dividend
num num_modulo(const num& a, const num& b);     // sign of the divisor for integers
// True when a divisor is (numerically) zero: |x| below the smallest normal double, every exact zero included.
bool num_is_zero_divisor(const num& d);
bool num_is_zero_integer(const num& d);

bool num_eq(const num& a, const num& b);
bool num_lt(const num& a, const num& b);
bool num_gt(const num& a, const num& b);
bool num_le(const num& a, const num& b);
bool num_ge(const num& a, const num& b);

// Rational reduction by the interpreter's gcd rule: 0 becomes the integer 0, the sign stays where it falls.
num reduce_num(const num& n);

// Rounding family on doubles (results are reals).
double round_per_scheme(double x);
double truncate_per_scheme(double x);

// Parses a token as a number; false when the token is a symbol. Handles integers, reals, rationals.
bool parse_number(const char* text, num* out);
// Formats a number as the printer shows it ("%lli", "%lli/%lli", "%.10g"); returns the length.
int format_number(const num& n, char* buf, size_t size);

}  // namespace omb
