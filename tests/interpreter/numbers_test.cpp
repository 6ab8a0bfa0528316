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

std::string text(const num& n) {
    char buf[64];
    format_number(n, buf, sizeof buf);
    return buf;
}

// The number a token reads as, printed; "symbol" when the token is not a number.
std::string parsed(const char* token) {
    num n;
    return parse_number(token, &n) ? text(n) : "symbol";
}

TEST(Numbers, ResultKindFollowsTheCombinationTable) {
    EXPECT_EQ(num_result_kind(I(1), I(2)), NUM_INTEGER);
    EXPECT_EQ(num_result_kind(I(1), R(2)), NUM_REAL);
    EXPECT_EQ(num_result_kind(R(1), R(2)), NUM_REAL);
    EXPECT_EQ(num_result_kind(I(1), Q(1, 2)), NUM_RATIONAL);
    EXPECT_EQ(num_result_kind(Q(1, 2), I(1)), NUM_RATIONAL);
    EXPECT_EQ(num_result_kind(R(1), Q(1, 2)), NUM_REAL);
    EXPECT_EQ(num_result_kind(Q(1, 3), Q(1, 2)), NUM_RATIONAL);

    num sum = num_add(I(1), Q(1, 2));
    EXPECT_EQ(sum.num_type, NUM_RATIONAL);
    EXPECT_EQ(text(reduce_num(sum)), "3/2");
    EXPECT_EQ(num_add(Q(1, 2), R(0.25)).num_type, NUM_REAL);
    EXPECT_DOUBLE_EQ(num_add(Q(1, 2), R(0.25)).value.rvalue, 0.75);
    EXPECT_EQ(text(num_mul(I(6), I(7))), "42");
    EXPECT_EQ(text(reduce_num(num_mul(I(2), Q(1, 4)))), "1/2");
    EXPECT_EQ(text(reduce_num(num_sub(Q(1, 3), Q(1, 6)))), "1/6");
}

TEST(Numbers, ReductionKeepsRationalsRationalAndTheSignWhereItFalls) {
    // Exact musical time: half a beat plus half a beat stays a rational.
    num one = reduce_num(num_add(Q(1, 2), Q(1, 2)));
    EXPECT_EQ(one.num_type, NUM_RATIONAL);
    EXPECT_EQ(text(one), "1/1");
    EXPECT_EQ(text(reduce_num(Q(4, 2))), "2/1");
    EXPECT_EQ(text(reduce_num(Q(-1, 2))), "1/-2");
    EXPECT_EQ(text(reduce_num(Q(3, -6))), "1/-2");
    EXPECT_EQ(text(reduce_num(Q(6, 4))), "3/2");
    EXPECT_EQ(text(reduce_num(Q(-4, -6))), "2/3");
    num zero = reduce_num(num_sub(Q(1, 3), Q(1, 3)));
    EXPECT_EQ(zero.num_type, NUM_INTEGER);
    EXPECT_EQ(zero.value.ivalue, 0);

    test::Interp in;
    EXPECT_EQ(in.print(mk_rational(in.sc, 2, 4)), "1/2");
    EXPECT_EQ(in.print(mk_number(in.sc, Q(0, 7))), "0");
    EXPECT_TRUE(is_integer(mk_number(in.sc, Q(0, 7))));
}

TEST(Numbers, DivisionGivesIntegersWhereExactAndDetectsZeroDivisors) {
    num six_thirds = num_div(I(6), I(3));
    EXPECT_EQ(six_thirds.num_type, NUM_INTEGER);
    EXPECT_EQ(six_thirds.value.ivalue, 2);
    EXPECT_EQ(text(reduce_num(num_div(I(1), I(3)))), "1/3");
    EXPECT_EQ(num_div(R(1), I(3)).num_type, NUM_REAL);
    EXPECT_EQ(text(reduce_num(num_div(I(2), Q(1, 2)))), "4/1");
    EXPECT_EQ(text(reduce_num(num_div(Q(1, 2), I(2)))), "1/4");
    EXPECT_EQ(text(reduce_num(num_div(Q(1, 2), Q(1, 3)))), "3/2");

    for (num zero : {I(0), R(0.0), R(-0.0), R(1e-320), R(-1e-320), R(DBL_MIN / 2)})
        EXPECT_TRUE(num_is_zero_divisor(zero)) << text(zero);
    for (num nonzero : {I(1), I(-1), R(DBL_MIN), R(-DBL_MIN), R(1e-300), Q(1, 1000000000)})
        EXPECT_FALSE(num_is_zero_divisor(nonzero)) << text(nonzero);
    EXPECT_TRUE(num_is_zero_integer(I(0)));
    EXPECT_TRUE(num_is_zero_integer(R(0.5)));  // as an integer it truncates to 0
    EXPECT_FALSE(num_is_zero_integer(I(3)));
}

TEST(Numbers, QuotientRemainderAndModuloSigns) {
    struct Case {
        int64_t a, b, quotient, remainder, modulo;
    } cases[] = {
        {-7, 2, -3, -1, 1}, {7, -2, -3, 1, -1}, {-7, -2, 3, -1, -1}, {7, 2, 3, 1, 1}, {6, -3, -2, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.a) + " " + std::to_string(c.b));
        EXPECT_EQ(num_quotient(I(c.a), I(c.b)).value.ivalue, c.quotient);
        EXPECT_EQ(num_remainder(I(c.a), I(c.b)).value.ivalue, c.remainder);
        num m = num_modulo(I(c.a), I(c.b));
        EXPECT_EQ(m.num_type, NUM_INTEGER);
        EXPECT_EQ(m.value.ivalue, c.modulo);
    }
    num real = num_modulo(R(7.5), I(2));
    EXPECT_EQ(real.num_type, NUM_REAL);
    EXPECT_DOUBLE_EQ(real.value.rvalue, 1.5);
    EXPECT_DOUBLE_EQ(num_modulo(R(-7.5), I(2)).value.rvalue, -1.5);  // fmod keeps the dividend's sign
    EXPECT_EQ(text(reduce_num(num_modulo(Q(7, 2), I(2)))), "3/2");
    EXPECT_EQ(text(reduce_num(num_modulo(I(5), Q(3, 2)))), "1/2");
    EXPECT_EQ(num_quotient(Q(7, 2), I(2)).num_type, NUM_INTEGER);
}

TEST(Numbers, ComparisonsAcrossKinds) {
    EXPECT_TRUE(num_eq(Q(1, 2), R(0.5)));
    EXPECT_TRUE(num_eq(I(2), reduce_num(Q(4, 2))));
    EXPECT_TRUE(num_eq(reduce_num(Q(4, 2)), I(2)));
    EXPECT_FALSE(num_eq(I(2), Q(1, 2)));
    EXPECT_TRUE(num_eq(reduce_num(Q(-1, 2)), reduce_num(Q(2, -4))));
    EXPECT_TRUE(num_eq(I(2), R(2.0)));
    EXPECT_TRUE(num_lt(Q(1, 3), R(0.34)));
    EXPECT_TRUE(num_gt(R(0.34), Q(1, 3)));
    EXPECT_TRUE(num_le(I(2), Q(5, 2)));
    EXPECT_TRUE(num_ge(Q(5, 2), Q(5, 2)));
    // Large integers compare exactly, not through doubles that cannot tell them apart.
    const int64_t big = std::numeric_limits<int64_t>::max();
    EXPECT_TRUE(num_lt(I(big - 1), I(big)));
    EXPECT_FALSE(num_eq(I(big - 1), I(big)));
    EXPECT_TRUE(num_gt(I(big), I(big - 1)));
    EXPECT_FALSE(num_le(I(big), I(big - 1)));
}

TEST(Numbers, RoundingTiesGoToEvenAndTruncationTowardZero) {
    EXPECT_EQ(round_per_scheme(2.5), 2.0);
    EXPECT_EQ(round_per_scheme(3.5), 4.0);
    EXPECT_EQ(round_per_scheme(-2.5), -2.0);
    EXPECT_EQ(round_per_scheme(-3.5), -4.0);
    EXPECT_EQ(round_per_scheme(2.4), 2.0);
    EXPECT_EQ(round_per_scheme(-2.6), -3.0);
    EXPECT_EQ(round_per_scheme(0.5), 0.0);
    EXPECT_EQ(truncate_per_scheme(-1.5), -1.0);
    EXPECT_EQ(truncate_per_scheme(1.5), 1.0);
    EXPECT_EQ(num_ivalue(Q(7, 2)), 3);
    EXPECT_EQ(num_ivalue(reduce_num(Q(-7, 2))), -3);
    EXPECT_EQ(num_ivalue(R(-2.9)), -2);
    EXPECT_DOUBLE_EQ(num_rvalue(Q(1, 4)), 0.25);
    // Doubles beyond the integer range saturate instead of converting undefinedly.
    EXPECT_EQ(num_ivalue(R(1e300)), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(num_ivalue(R(-1e300)), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(num_ivalue(R(std::nan(""))), 0);
}

TEST(Numbers, PrintedForms) {
    EXPECT_EQ(text(R(2.0)), "2");
    EXPECT_EQ(text(R(0.1)), "0.1");
    EXPECT_EQ(text(R(1e21)), "1e+21");
    EXPECT_EQ(text(R(1.0 / 3.0)), "0.3333333333");
    EXPECT_EQ(text(I(std::numeric_limits<int64_t>::min())), "-9223372036854775808");
    EXPECT_EQ(text(Q(1, -2)), "1/-2");
    char small[4];
    EXPECT_EQ(format_number(I(123456), small, sizeof small), 3);
    EXPECT_STREQ(small, "123");
}

TEST(Numbers, TokensReadAsNumbersOrSymbols) {
    struct Case {
        const char* token;
        const char* printed;
    } cases[] = {
        {"42", "42"},        {"-7", "-7"},          {"+5", "5"},        {"1.5", "1.5"},     {".5", "0.5"},
        {"-.5", "-0.5"},     {"1e3", "1000"},       {"2E-2", "0.02"},   {"1/2", "1/2"},     {"4/2", "2/1"},
        {"-1/2", "1/-2"},    {"0/5", "0"},          {"1/0", "symbol"},  {"1/", "symbol"},   {"1/-2", "symbol"},
        {"+", "symbol"},     {"-", "symbol"},       {"...", "symbol"},  {"1.2.3", "symbol"}, {"1/2/3", "symbol"},
        {"1e", "symbol"},    {"1e+", "symbol"},     {"1e5x", "symbol"}, {"-abc", "symbol"}, {"1.5/2", "symbol"},
        {"12abc", "symbol"}, {"", "symbol"},
    };
    for (const Case& c : cases) EXPECT_EQ(parsed(c.token), c.printed) << "token " << c.token;
    num n;
    ASSERT_TRUE(parse_number("0/5", &n));
    EXPECT_EQ(n.num_type, NUM_INTEGER);
    ASSERT_TRUE(parse_number("4/2", &n));
    EXPECT_EQ(n.num_type, NUM_RATIONAL);
}

// Integer and rational arithmetic wraps like the machine; nothing a performer computes may trap or divide by zero.
TEST(Numbers, OverflowWrapsAndNeverTraps) {
    const int64_t min = std::numeric_limits<int64_t>::min();
    const int64_t max = std::numeric_limits<int64_t>::max();
    EXPECT_EQ(num_add(I(max), I(1)).value.ivalue, min);
    EXPECT_EQ(num_sub(I(min), I(1)).value.ivalue, max);
    EXPECT_EQ(num_mul(I(min), I(-1)).value.ivalue, min);
    num q = num_div(I(min), I(-1));
    EXPECT_EQ(q.num_type, NUM_INTEGER);
    EXPECT_EQ(q.value.ivalue, min);
    EXPECT_EQ(num_quotient(I(min), I(-1)).value.ivalue, min);
    EXPECT_EQ(num_remainder(I(min), I(-1)).value.ivalue, 0);
    EXPECT_EQ(num_modulo(I(min), I(-1)).value.ivalue, 0);
    EXPECT_EQ(text(reduce_num(Q(min, -1))), "-9223372036854775808/1");

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
