#include "numbers.h"

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdlib>

namespace omb {

const num num_zero = num_from_integer(0);
const num num_one = num_from_integer(1);

namespace {

// The kind table indexed by the sum of the operands' kinds.
constexpr int MY_ARR[8] = {NUM_INTEGER, NUM_REAL, NUM_REAL, NUM_RATIONAL, NUM_REAL, -1, NUM_RATIONAL, 0};

int64_t ratio_n(const num& a) { return a.num_type == NUM_RATIONAL ? a.value.ratvalue.n : a.value.ivalue; }
int64_t ratio_d(const num& a) { return a.num_type == NUM_RATIONAL ? a.value.ratvalue.d : 1; }

}  // namespace

double num_rvalue(const num& n) {
    switch (n.num_type) {
    case NUM_INTEGER: return static_cast<double>(n.value.ivalue);
    case NUM_RATIONAL: return static_cast<double>(n.value.ratvalue.n) / static_cast<double>(n.value.ratvalue.d);
    default: return n.value.rvalue;
    }
}

int64_t num_ivalue(const num& n) {
    switch (n.num_type) {
    case NUM_INTEGER: return n.value.ivalue;
    case NUM_RATIONAL: return wdiv(n.value.ratvalue.n, n.value.ratvalue.d);
    default: {
        // Out-of-range doubles saturate rather than invoke undefined conversion.
        double r = std::trunc(n.value.rvalue);
        if (std::isnan(r)) return 0;
        if (r >= 9223372036854775807.0) return INT64_MAX;
        if (r <= -9223372036854775808.0) return INT64_MIN;
        return static_cast<int64_t>(r);
    }
    }
}

bool num_is_integer(const num& n) { return n.num_type == NUM_INTEGER; }

int num_result_kind(const num& a, const num& b) {
    unsigned sum = static_cast<unsigned>(a.num_type + b.num_type);
    return sum < 8 ? MY_ARR[sum] : NUM_REAL;
}

num num_add(const num& a, const num& b) {
    switch (num_result_kind(a, b)) {
    case NUM_INTEGER: return num_from_integer(wadd(a.value.ivalue, b.value.ivalue));
    case NUM_RATIONAL:
        return num_from_ratio(wadd(wmul(ratio_n(a), ratio_d(b)), wmul(ratio_n(b), ratio_d(a))),
                              wmul(ratio_d(a), ratio_d(b)));
    default: return num_from_real(num_rvalue(a) + num_rvalue(b));
    }
}

num num_sub(const num& a, const num& b) {
    switch (num_result_kind(a, b)) {
    case NUM_INTEGER: return num_from_integer(wsub(a.value.ivalue, b.value.ivalue));
    case NUM_RATIONAL:
        return num_from_ratio(wsub(wmul(ratio_n(a), ratio_d(b)), wmul(ratio_n(b), ratio_d(a))),
                              wmul(ratio_d(a), ratio_d(b)));
    default: return num_from_real(num_rvalue(a) - num_rvalue(b));
    }
}

num num_mul(const num& a, const num& b) {
    switch (num_result_kind(a, b)) {
    case NUM_INTEGER: return num_from_integer(wmul(a.value.ivalue, b.value.ivalue));
    case NUM_RATIONAL:
        return num_from_ratio(wmul(ratio_n(a), ratio_n(b)), wmul(ratio_d(a), ratio_d(b)));
    default: return num_from_real(num_rvalue(a) * num_rvalue(b));
    }
}

num num_div(const num& a, const num& b) {
    switch (num_result_kind(a, b)) {
    case NUM_INTEGER:
        if (wrem(a.value.ivalue, b.value.ivalue) == 0 && b.value.ivalue != 0)
            return num_from_integer(wdiv(a.value.ivalue, b.value.ivalue));
        return num_from_ratio(a.value.ivalue, b.value.ivalue);
    case NUM_RATIONAL:
        return num_from_ratio(wmul(ratio_n(a), ratio_d(b)), wmul(ratio_d(a), ratio_n(b)));
    default: return num_from_real(num_rvalue(a) / num_rvalue(b));
    }
}

num num_quotient(const num& a, const num& b) { return num_from_integer(wdiv(num_ivalue(a), num_ivalue(b))); }

num num_remainder(const num& a, const num& b) { return num_from_integer(wrem(num_ivalue(a), num_ivalue(b))); }

num num_modulo(const num& a, const num& b) {
    switch (num_result_kind(a, b)) {
    case NUM_REAL: return num_from_real(std::fmod(num_rvalue(a), num_rvalue(b)));
    case NUM_RATIONAL: {
        num q = num_div(a, b);
        int64_t r = wrem(ratio_n(q), ratio_d(q));
        if (b.num_type == NUM_INTEGER) return num_from_ratio(wmul(b.value.ivalue, r), ratio_d(q));
        return num_from_ratio(wmul(b.value.ratvalue.n, r), wmul(b.value.ratvalue.d, ratio_d(q)));
    }
    default: return num_from_integer(wmodulo(a.value.ivalue, b.value.ivalue));
    }
}

bool num_is_zero_divisor(const num& d) {
    double v = num_rvalue(d);
    return v > -DBL_MIN && v < DBL_MIN;
}

bool num_is_zero_integer(const num& d) { return num_ivalue(d) == 0; }

bool num_eq(const num& a, const num& b) {
    switch (num_result_kind(a, b)) {
    case NUM_INTEGER: return a.value.ivalue == b.value.ivalue;
    case NUM_RATIONAL:
        if (a.num_type == NUM_INTEGER) return b.value.ratvalue.n == wmul(b.value.ratvalue.d, a.value.ivalue);
        if (b.num_type == NUM_INTEGER) return a.value.ratvalue.n == wmul(a.value.ratvalue.d, b.value.ivalue);
        return a.value.ratvalue.n == b.value.ratvalue.n && a.value.ratvalue.d == b.value.ratvalue.d;
    default: return num_rvalue(a) == num_rvalue(b);
    }
}

namespace {
bool both_integers(const num& a, const num& b) { return a.num_type == NUM_INTEGER && b.num_type == NUM_INTEGER; }
}  // namespace

bool num_lt(const num& a, const num& b) {
    return both_integers(a, b) ? a.value.ivalue < b.value.ivalue : num_rvalue(a) < num_rvalue(b);
}
bool num_gt(const num& a, const num& b) {
    return both_integers(a, b) ? a.value.ivalue > b.value.ivalue : num_rvalue(a) > num_rvalue(b);
}
bool num_le(const num& a, const num& b) {
    return both_integers(a, b) ? a.value.ivalue <= b.value.ivalue : num_rvalue(a) <= num_rvalue(b);
}
bool num_ge(const num& a, const num& b) {
    return both_integers(a, b) ? a.value.ivalue >= b.value.ivalue : num_rvalue(a) >= num_rvalue(b);
}

num reduce_num(const num& x) {
    if (x.num_type != NUM_RATIONAL) return x;
    int64_t n = x.value.ratvalue.n, d = x.value.ratvalue.d;
    if (n == 0) return num_from_integer(0);
    // Only overflow can bring a zero denominator here: an infinite real is the honest answer, a trap is not.
    if (d == 0) return num_from_real(static_cast<double>(n) / 0.0);
    int64_t a = n < d ? d : n;
    int64_t b = n < d ? n : d;
    int64_t g = b;
    for (;;) {
        int64_t r = wrem(a, b);
        if (r == 0) break;
        a = b;
        b = r;
        g = r;
    }
    return num_from_ratio(wdiv(n, g), wdiv(d, g));
}

double round_per_scheme(double x) {
    double fl = std::floor(x), ce = std::ceil(x);
    double dfl = x - fl, dce = ce - x;
    if (dfl > dce) return ce;
    if (dfl < dce) return fl;
    return std::fmod(fl, 2.0) != 0.0 ? ce : fl;  // a tie goes to the even neighbour
}

double truncate_per_scheme(double x) { return x > 0 ? std::floor(x) : std::ceil(x); }

bool parse_number(const char* q, num* out) {
    const char* p = q;
    bool dot = false, slash = false, exponent = false;
    char c = *p++;
    if (c == '+' || c == '-') {
        if (*p == '.') {
            dot = true;
            ++p;
            if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
        } else if (!std::isdigit(static_cast<unsigned char>(*p))) {
            return false;
        }
    } else if (c == '.') {
        dot = true;
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    } else if (!std::isdigit(static_cast<unsigned char>(c))) {
        return false;
    }
    const char* slash_at = nullptr;
    for (; (c = *p) != 0; ++p) {
        if (std::isdigit(static_cast<unsigned char>(c))) continue;
        if (c == '.') {
            if (dot || slash || exponent) return false;
            dot = true;
        } else if (c == '/') {
            // Mixing a fraction with a decimal point or exponent is not a number.
            if (slash || dot || exponent) return false;
            slash = true;
            slash_at = p;
        } else if ((c == 'e' || c == 'E') && !exponent && !slash) {
            char s = p[1];
            if (s == '+' || s == '-') {
                if (!std::isdigit(static_cast<unsigned char>(p[2]))) return false;
                ++p;
            } else if (!std::isdigit(static_cast<unsigned char>(s))) {
                return false;
            }
            exponent = true;
            ++p;  // the exponent's sign or first digit is consumed with the e
        } else {
            return false;
        }
    }
    if (dot || exponent) {
        *out = num_from_real(std::strtod(q, nullptr));
        return true;
    }
    if (slash) {
        // An empty or zero denominator is not a number: the token stays a symbol, so nothing divides by zero.
        if (!std::isdigit(static_cast<unsigned char>(slash_at[1]))) return false;
        int64_t d = std::strtoll(slash_at + 1, nullptr, 10);
        if (d == 0) return false;
        int64_t n = std::strtoll(q, nullptr, 10);
        *out = n == 0 ? num_from_integer(0) : reduce_num(num_from_ratio(n, d));
        return true;
    }
    *out = num_from_integer(std::strtoll(q, nullptr, 10));
    return true;
}

int format_number(const num& n, char* buf, size_t size) {
    int len;
    switch (n.num_type) {
    case NUM_INTEGER: len = std::snprintf(buf, size, "%" PRId64, n.value.ivalue); break;
    case NUM_RATIONAL:
        len = std::snprintf(buf, size, "%" PRId64 "/%" PRId64, n.value.ratvalue.n, n.value.ratvalue.d);
        break;
    default: len = std::snprintf(buf, size, "%.10g", n.value.rvalue); break;
    }
    return len < 0 ? 0 : (static_cast<size_t>(len) >= size ? static_cast<int>(size) - 1 : len);
}

}  // namespace omb
