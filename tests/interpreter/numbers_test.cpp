// The numeric tower: result kinds, rational reduction, the integer division family, comparison, rounding, the
// textual forms, and arithmetic that overflows without ever trapping.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

#include "interpreter/numbers.h"
#include "interpreter_support.h"

namespace omb {
namespace {

num I(int64_t i) { return num_from_integer(i); }
num R(double r) { return num_from_real(r); }
num Q(int64_t n, int64_t d) { return num_from_ratio(n, d); }
const int64_t MIN = std::numeric_limits<int64_t>::min(), MAX = std::numeric_limits<int64_t>::max();

std::string text(const num& n) {
    char buf[64];
    format_number(n, buf, sizeof buf);
    return buf;
}

// Kind and value in one string ("i:2", "q:1/2", "r:0.5"), so a table row checks both.
std::string shown(const num& n) {
    return (n.num_type == NUM_INTEGER ? "i:" : n.num_type == NUM_REAL ? "r:" : "q:") + text(n);
}

TEST(Numbers, ResultKindsReductionAndDivision) {
    EXPECT_EQ(num_result_kind(I(1), I(2)), NUM_INTEGER);
    for (auto [a, b] : {std::pair{I(1), R(2)}, {R(1), R(2)}, {R(1), Q(1, 2)}})
        EXPECT_EQ(num_result_kind(a, b), NUM_REAL) << text(a) << " " << text(b);
    for (auto [a, b] : {std::pair{I(1), Q(1, 2)}, {Q(1, 2), I(1)}, {Q(1, 3), Q(1, 2)}})
        EXPECT_EQ(num_result_kind(a, b), NUM_RATIONAL) << text(a) << " " << text(b);

    // Reduced as the interpreter does before making a cell: rationals stay rational, the sign stays where it falls.
    const std::pair<num, const char*> cases[] = {
        {num_add(I(1), Q(1, 2)), "q:3/2"},  {num_add(Q(1, 2), R(0.25)), "r:0.75"}, {num_mul(I(6), I(7)), "i:42"},
        {num_mul(I(2), Q(1, 4)), "q:1/2"},  {num_sub(Q(1, 3), Q(1, 6)), "q:1/6"},  {num_sub(Q(1, 3), Q(1, 3)), "i:0"},
        {num_add(Q(1, 2), Q(1, 2)), "q:1/1"},  // exact musical time: half a beat plus half a beat
        {Q(4, 2), "q:2/1"}, {Q(-1, 2), "q:1/-2"}, {Q(3, -6), "q:1/-2"}, {Q(6, 4), "q:3/2"}, {Q(-4, -6), "q:2/3"},
        {num_div(I(6), I(3)), "i:2"},       {num_div(I(1), I(3)), "q:1/3"},        {num_div(R(1), I(4)), "r:0.25"},
        {num_div(I(2), Q(1, 2)), "q:4/1"},  {num_div(Q(1, 2), I(2)), "q:1/4"},     {num_div(Q(1, 2), Q(1, 3)), "q:3/2"},
        {num_modulo(R(7.5), I(2)), "r:1.5"}, {num_modulo(R(-7.5), I(2)), "r:-1.5"},  // fmod: the dividend's sign
        {num_modulo(Q(7, 2), I(2)), "q:3/2"}, {num_modulo(I(5), Q(3, 2)), "q:1/2"},
        {num_quotient(Q(7, 2), I(2)), "i:1"},
    };
    for (const auto& [n, want] : cases) EXPECT_EQ(shown(reduce_num(n)), want);

    test::Interp in;
    EXPECT_EQ(in.print(mk_rational(in.sc, 2, 4)), "1/2");
    EXPECT_TRUE(is_integer(mk_number(in.sc, Q(0, 7))));
}

TEST(Numbers, ZeroDivisorsQuotientRemainderAndModulo) {
    for (num zero : {I(0), R(0.0), R(-0.0), R(1e-320), R(-1e-320), R(DBL_MIN / 2)})
        EXPECT_TRUE(num_is_zero_divisor(zero)) << text(zero);
    for (num nonzero : {I(1), I(-1), R(DBL_MIN), R(-DBL_MIN), R(1e-300), Q(1, 1000000000)})
        EXPECT_FALSE(num_is_zero_divisor(nonzero)) << text(nonzero);
    EXPECT_TRUE(num_is_zero_integer(I(0)));
    EXPECT_TRUE(num_is_zero_integer(R(0.5)));  // as an integer it truncates to 0
    EXPECT_FALSE(num_is_zero_integer(I(3)));

    struct Case {
        int64_t a, b, quotient, remainder, modulo;
    } cases[] = {{-7, 2, -3, -1, 1}, {7, -2, -3, 1, -1}, {-7, -2, 3, -1, -1}, {7, 2, 3, 1, 1}, {6, -3, -2, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.a) + " " + std::to_string(c.b));
        EXPECT_EQ(shown(num_quotient(I(c.a), I(c.b))), "i:" + std::to_string(c.quotient));
        EXPECT_EQ(shown(num_remainder(I(c.a), I(c.b))), "i:" + std::to_string(c.remainder));
        EXPECT_EQ(shown(num_modulo(I(c.a), I(c.b))), "i:" + std::to_string(c.modulo));
    }
}

TEST(Numbers, ComparisonsAcrossKindsRoundingAndConversion) {
    EXPECT_TRUE(num_eq(Q(1, 2), R(0.5)) && num_eq(I(2), reduce_num(Q(4, 2))) && num_eq(reduce_num(Q(4, 2)), I(2)));
    EXPECT_TRUE(num_eq(reduce_num(Q(-1, 2)), reduce_num(Q(2, -4))) && num_eq(I(2), R(2.0)));
    EXPECT_FALSE(num_eq(I(2), Q(1, 2)));
    EXPECT_TRUE(num_lt(Q(1, 3), R(0.34)) && num_gt(R(0.34), Q(1, 3)));
    EXPECT_TRUE(num_le(I(2), Q(5, 2)) && num_ge(Q(5, 2), Q(5, 2)));
    // Large integers compare exactly, not through doubles that cannot tell them apart.
    EXPECT_TRUE(num_lt(I(MAX - 1), I(MAX)) && num_gt(I(MAX), I(MAX - 1)));
    EXPECT_FALSE(num_eq(I(MAX - 1), I(MAX)) || num_le(I(MAX), I(MAX - 1)));

    // Rounding ties go to even; truncation goes toward zero.
    for (auto [x, rounded] : {std::pair{2.5, 2.0}, {3.5, 4.0}, {-2.5, -2.0}, {-3.5, -4.0}, {2.4, 2.0}, {-2.6, -3.0},
                              {0.5, 0.0}})
        EXPECT_EQ(round_per_scheme(x), rounded) << x;
    EXPECT_EQ(truncate_per_scheme(-1.5), -1.0);
    EXPECT_EQ(truncate_per_scheme(1.5), 1.0);
    EXPECT_EQ(num_ivalue(Q(7, 2)), 3);
    EXPECT_EQ(num_ivalue(reduce_num(Q(-7, 2))), -3);
    EXPECT_EQ(num_ivalue(R(-2.9)), -2);
    EXPECT_DOUBLE_EQ(num_rvalue(Q(1, 4)), 0.25);
    // Doubles beyond the integer range saturate instead of converting undefinedly.
    EXPECT_EQ(num_ivalue(R(1e300)), MAX);
    EXPECT_EQ(num_ivalue(R(-1e300)), MIN);
    EXPECT_EQ(num_ivalue(R(std::nan(""))), 0);
}

TEST(Numbers, PrintedFormsAndTokensReadAsNumbersOrSymbols) {
    for (auto [n, printed] : {std::pair{R(2.0), "2"}, {R(0.1), "0.1"}, {R(1e21), "1e+21"},
                              {R(1.0 / 3.0), "0.3333333333"}, {I(MIN), "-9223372036854775808"}, {Q(1, -2), "1/-2"}})
        EXPECT_EQ(text(n), printed);
    char small[4];
    EXPECT_EQ(format_number(I(123456), small, sizeof small), 3);
    EXPECT_STREQ(small, "123");

    struct Case {
        const char* token;
        const char* read;
    } cases[] = {
        {"42", "i:42"},     {"-7", "i:-7"},       {"+5", "i:5"},      {"1.5", "r:1.5"},   {"0/5", "i:0"},
        {".5", "r:0.5"},    {"-.5", "r:-0.5"},    {"1e3", "r:1000"},  {"2E-2", "r:0.02"}, {"1/2", "q:1/2"},
        {"4/2", "q:2/1"},   {"-1/2", "q:1/-2"},   {"1/0", "symbol"},  {"1/", "symbol"},   {"1/-2", "symbol"},
        {"+", "symbol"},    {"-", "symbol"},      {"...", "symbol"},  {"1.2.3", "symbol"}, {"1/2/3", "symbol"},
        {"1e", "symbol"},   {"1e+", "symbol"},    {"1e5x", "symbol"}, {"-abc", "symbol"}, {"1.5/2", "symbol"},
        {"12abc", "symbol"}, {"", "symbol"},
    };
    for (const Case& c : cases) {
        num n;
        EXPECT_EQ(parse_number(c.token, &n) ? shown(n) : "symbol", c.read) << "token " << c.token;
    }
}

// Integer and rational arithmetic wraps like the machine; nothing a performer computes may trap or divide by zero.
TEST(Numbers, OverflowWrapsAndNeverTraps) {
    EXPECT_EQ(num_add(I(MAX), I(1)).value.ivalue, MIN);
    EXPECT_EQ(num_sub(I(MIN), I(1)).value.ivalue, MAX);
    EXPECT_EQ(num_mul(I(MIN), I(-1)).value.ivalue, MIN);
    EXPECT_EQ(shown(num_div(I(MIN), I(-1))), "i:-9223372036854775808");
    EXPECT_EQ(num_quotient(I(MIN), I(-1)).value.ivalue, MIN);
    EXPECT_EQ(num_remainder(I(MIN), I(-1)).value.ivalue, 0);
    EXPECT_EQ(num_modulo(I(MIN), I(-1)).value.ivalue, 0);
    EXPECT_EQ(text(reduce_num(Q(MIN, -1))), "-9223372036854775808/1");

    // 2^-32 * 2^-32 wraps the denominator to 0; the result must not be a rational over zero.
    const int64_t two32 = int64_t{1} << 32;
    for (num wrapped : {num_mul(Q(1, two32), Q(1, two32)), num_add(Q(1, two32), Q(1, two32)),
                        num_div(Q(1, two32), Q(two32, 1))}) {
        num r = reduce_num(wrapped);
        EXPECT_FALSE(r.num_type == NUM_RATIONAL && r.value.ratvalue.d == 0) << text(r);
        (void)num_ivalue(r);
        (void)num_modulo(wrapped, I(3));
    }
    test::Interp in;
    pointer x = mk_number(in.sc, num_mul(Q(1, two32), Q(1, two32)));
    EXPECT_FALSE(is_rational(x) && nvalue(x).value.ratvalue.d == 0);
}

}  // namespace
}  // namespace omb
