// The math: procedures and sys:vector-recycle on an interpreter of their own: results, every refusal leaving the
// vectors as they were, and recycling that reuses only the library's own cells.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "native/native_scheme.h"
#include "native/vector_math.h"
#include "tests/native/vector_support.h"

namespace omb {
namespace {

using namespace test;
using VectorMath = VectorTest;

TEST_F(VectorMath, ElementWiseOperationsWithScalarsVectorsAndDestinations) {
    EXPECT_EQ(ev("(define a (vector 1 2 3)) (math:vector+ a 1)"), "#t");
    EXPECT_EQ(reals("a"), "2 3 4");
    EXPECT_EQ(ev("(define d (make-vector 3 0)) (math:vector> #(1 5 3) #(2 2 2) d)"), "#t");
    EXPECT_EQ(reals("d"), "0 1 1");
    ev("(define a (vector 1 2 3 4)) (math:vector* a #(10 10) '(0 2 2))");
    EXPECT_EQ(reals("a"), "10 2 30 4");
    ev("(define a (vector -2.7 2.7 -1e300)) (math:vector@ a 0)");
    EXPECT_EQ(reals("a"), "2 2 2.14748e+09");
    EXPECT_EQ(vmath::apply(vmath::Op::absolute_integer, std::nan(""), 0), 0.0);
    // A slice after a destination: the destination gets all of A with the slice applied, A stays.
    ev("(define a (vector 1 2 3)) (define d (vector 0 0 0)) (math:vector- a 1 d '(2 2 -1))");
    EXPECT_EQ(reals("a"), "#1 #2 #3");
    EXPECT_EQ(reals("d"), "1 1 2");
    const std::pair<const char*, const char*> cases[] = {
        {"(math:vector/ a 4)", "0.25 0.5 1 -0.25"},  {"(math:vector= a #(9 8 7 6))", "9 8 7 6"},
        {"(math:vector== a 2)", "0 1 0 0"},          {"(math:vector< a #(2 2 2 2))", "1 0 0 1"},
        {"(math:vector>= a 2)", "0 1 1 0"},          {"(math:vector<= a 2)", "1 1 0 1"},
        {"(math:vector^ a 2)", "1 4 16 1"},          {"(math:vector% a 3)", "1 2 1 -1"},
        {"(math:vector+ a #(1/2 1 1 1 99))", "1.5 3 5 0"},  // a longer B is read as far as A goes
    };
    for (const auto& [call, after] : cases) {
        ev("(define a (vector 1 2 4 -1)) " + std::string(call));
        EXPECT_EQ(reals("a"), after) << call;
    }
}

TEST_F(VectorMath, RefusedElementWiseCallsChangeNothing) {
    ev("(define a (vector 1 2 3 4)) (define d (vector 0 0 0))");
    refused("(math:vector+ (vector 1 2) 1 '(0 2 2))", "Total slice range must not exceed the range of Vector A");
    refused("(math:vector+ a #(1 2 3))", "Vector B must be at least as long as Vector A");
    refused("(math:vector+ a 1 d)", "Vector is an invalid length", {"a", "d"});
    refused("(math:vector+ a 1 (vector 0 0 0 0 0))", "Vector is an invalid length");
    refused("(math:vector* a 2 '(0 2.5 1))", "Bad vector slice! - non integer value detected");
    refused("(math:vector* a 2 '(0 2))", "a slice is a list of three integers");
    refused("(math:vector* a 2 (let ((l (list 0 1 1))) (set-cdr! (cddr l) l) l))", "a list of three integers");
    refused("(math:vector== a 2 '(0 2 1))", "Cannot use slices with this opcode");
    refused("(math:vector* a #(1 2 3) '(0 2 1))", "Vector B must be the same size as the slice");
    // Slices that would reach before A, past it, or overflow on the way.
    for (const char* slice : {"(-1 2 1)", "(3 3 -2)", "(3 2 1)", "(0 -1 1)", "(1 3 4611686018427387904)"})
        refused("(math:vector+ a 1 '" + std::string(slice) + ")", "Total slice range must not exceed");
    refused("(math:vector+ (vector 1 'x) 1)", "Arg A must be a vector of numbers");
    refused("(math:vector+ a #(1 2 \"3\" 4))", "Arg B must be a number or a vector of numbers");
    refused("(math:vector+ a 1 5)", "Optional args must be a destination vector and/or a slice list");
    EXPECT_EQ(ev("(math:vector+ a 1 '(9 0 7))"), "#t") << "an empty slice selects nothing, wherever it starts";
}

TEST_F(VectorMath, ReductionsOverAllAMaskOrASlice) {
    ev("(define a (vector 4 -1 7 2))");
    EXPECT_EQ(reals("(vector (math:vector-sum a) (math:vector-min a) (math:vector-max a))"), "12 -1 7");
    EXPECT_EQ(reals("(vector (math:vector-sum a (list #(1 0 0.5 0))) (math:vector-max a (list #(1 1 0 0))))"),
              "11 4");
    EXPECT_EQ(reals("(vector (math:vector-sum a '(1 2 2)) (math:vector-min a '(3 2 -1)))"), "1 2");
    EXPECT_EQ(reals("(vector (math:vector-sum a (list #(0 0 0 0))))"), "0");
    refused("(math:vector-min a (list #(0 0 0 0)))", "No elements selected");
    refused("(math:vector-max #())", "No elements selected");
    refused("(math:vector-sum a (list #(1 1 1)))", "Mask must be a vector of numbers as long as Vector A");
    refused("(math:vector-sum a '(0 5 1))", "Total slice range must not exceed");
    refused("(math:vector-sum a #(1 1 1 1))", "Selection must be a list");
}

TEST_F(VectorMath, RandomFillTouchesOnlyTheSelection) {
    EXPECT_EQ(ev("(define a (vector 5 5 5 5)) (math:vector-rand a '(1 2 2))"), "#t");
    EXPECT_EQ(reals("(vector (vector-ref a 0) (vector-ref a 2))"), "5 5");
    EXPECT_EQ(ev("(and (<= 0 (vector-ref a 1) 1) (<= 0 (vector-ref a 3) 1))"), "#t");
    EXPECT_EQ(ev("(math:vector-rand a (list #(1 0 0 0))) (list (<= 0 (vector-ref a 0) 1) (vector-ref a 2))"),
              "(#t 5)");
    refused("(math:vector-rand a (list #(1 0)))", "Mask must be a vector of numbers as long as Vector A");
}

TEST_F(VectorMath, RotationAndSlidingSums) {
    ev("(define a (vector 1 2 3 4)) (math:vector-rotate a 1)");
    EXPECT_EQ(reals("a"), "2 3 4 1");
    ev("(define a (vector 1 2 3 4)) (math:vector-rotate a -1)");
    EXPECT_EQ(reals("a"), "4 1 2 3");
    ev("(define d (make-vector 4 0)) (math:vector-rotate #(1 2 3 4) -9 d)");
    EXPECT_EQ(reals("d"), "4 1 2 3");
    EXPECT_EQ(ev("(math:vector-rotate (vector) 3)"), "#t") << "an empty vector has nothing to rotate";
    ev("(define a (vector 1 2 3 4)) (math:vector-sum-and-rotate a #(1 1 0 0))");
    EXPECT_EQ(reals("a"), "3 5 7 5");
    ev("(define d (make-vector 4 0)) (math:vector-sum-and-rotate-i #(1 2 3 4) #(0 1 5) d)");
    EXPECT_EQ(reals("d"), "5 8 11 6");
    ev("(define a (vector 1 2 3 4)) (define d (vector 0 0))");
    refused("(math:vector-rotate a 1.5)", "Rotation must be an integer");
    refused("(math:vector-rotate a 1 d)", "Vector is an invalid length", {"a", "d"});
    refused("(math:vector-sum-and-rotate a #(1 1 0))", "Mask must be a vector of numbers as long as Vector A");
    refused("(math:vector-sum-and-rotate a #(1 1 0 0) d)", "Vector is an invalid length", {"a", "d"});
    refused("(math:vector-sum-and-rotate-i a #(0 -1))", "Indexes must be a vector of numbers, each zero or more");
    refused("(math:vector-sum-and-rotate-i a 1)", "Indexes must be a vector of numbers");
}

TEST_F(VectorMath, MatrixProducts) {
    EXPECT_EQ(reals("(math:matrix* #(1 2 3 4) #(5 6 7 8) 2)"), "19 22 43 50");
    // 2×3 · 3×2, and products from stored transposes.
    EXPECT_EQ(reals("(math:matrix* #(1 2 3 4 5 6) #(7 8 9 10 11 12) 3)"), "58 64 139 154");
    EXPECT_EQ(reals("(math:matrix* #(1 3 2 4) #(5 6 7 8) 2 'transpose_a)"), "19 22 43 50");
    EXPECT_EQ(reals("(math:matrix* #(1 2 3 4) #(5 7 6 8) 2 'transpose_b)"), "19 22 43 50");
    EXPECT_EQ(reals("(math:matrix* #(1 4 2 5 3 6) #(7 9 11 8 10 12) 2 'transpose_a 'transpose_b)"), "58 64 139 154");
    EXPECT_EQ(ev("(define d (make-vector 4 0)) (math:matrix* #(1 2 3 4) #(5 6 7 8) 2 'other d)"), "#t");
    EXPECT_EQ(reals("d"), "19 22 43 50");
    ev("(define a (vector 1 2 3 4 5 6)) (define d (vector 0 0 0))");
    refused("(math:matrix* a #(1 2 3 4) 4)", "Bad Matrix Dimensions");
    refused("(math:matrix* a #(1 2 3) 0)", "Bad Matrix Dimensions");
    refused("(math:matrix* a #(1 2 3) 1.5)", "Bad Matrix Dimensions");
    // Shapes whose operands do not hold what the product reads: B of 3 values where 3 × 3 are read, and so on.
    refused("(math:matrix* a #(1 2 3) 3 'transpose_b)", "Bad Matrix Dimensions");
    refused("(math:matrix* a #(1 2 3 4 5 6) 3 'transpose_a)", "Bad Matrix Dimensions");
    refused("(math:matrix* a #(1 2 3 4 5 6) 3 d)", "Vector is an invalid length", {"a", "d"});
    refused("(math:matrix* (make-vector 30000 1) (make-vector 30000 1) 1)", "larger than a vector can hold");
}

TEST_F(VectorMath, RecyclingReusesTheLibrarysOwnCellsOnly) {
    EXPECT_EQ(ev("(sys:vector-recycle #t)"), "#t");
    // A fill shares one cell among every element; each still gets its own value.
    ev("(define v (make-vector 3 0.0)) (math:vector= v #(1 2 3)) (define c (vector-ref v 1)) (math:vector+ v 1)");
    EXPECT_EQ(reals("v"), "2 3 4");
    EXPECT_EQ(ev("(eq? c (vector-ref v 1))"), "#t") << "the second operation wrote into the first one's cells";
    ev("(vector-set! v 2 (vector-ref v 0)) (math:vector= v #(7 8 9))");
    EXPECT_EQ(reals("v"), "7 8 9") << "one of our cells in two places is written once";
    // Numbers from elsewhere are replaced, not changed: the literal and the variable below keep their values.
    ev("(define (fresh) (vector 0.5 0.5)) (define u (fresh)) (math:vector+ u 1)");
    EXPECT_EQ(reals("u"), "1.5 1.5");
    EXPECT_EQ(reals("(fresh)"), "0.5 0.5");
    ev("(define x 2.5) (define u (vector x)) (math:vector+ u 1)");
    EXPECT_EQ(reals("(vector (vector-ref u 0) x)"), "3.5 2.5");

    // Once the cells are ours, the operations allocate nothing; the direct call keeps the evaluator's own
    // argument lists out of the count.
    ev("(define big (make-vector 4096 1)) (math:vector+ big 1) (define rot (make-vector 4096 0))"
       "(math:vector-rotate big 1 rot)");
    sc->gc_enabled = 0;
    pointer args = s_cons(sc, global("big"), s_cons(sc, mk_real(sc, 0.5), sc->NIL));
    protect_cell(sc, args);
    sc->gc_enabled = 1;
    const long free_before = sc->free_count;
    for (int i = 0; i < 10; ++i) vector_math_procedures()[3].procedure(sc, args);  // math:vector+
    EXPECT_EQ(sc->free_count, free_before);
    unprotect_cell(sc, args);
    EXPECT_EQ(reals("(vector (vector-ref big 4095))"), "7");
    EXPECT_LT(cells_allocated("(math:vector-rotate big 1 rot) (math:vector-sum-and-rotate big big rot)"), 40)
        << "only the evaluator's argument lists";

    EXPECT_EQ(ev("(sys:vector-recycle 'no)"), "no");
    EXPECT_EQ(ev("(define c (vector-ref v 0)) (math:vector+ v 1) (eq? c (vector-ref v 0))"), "#f");
    EXPECT_GE(cells_allocated("(math:vector+ big 1)"), 4096) << "without recycling every result is a new real";
}

}  // namespace
}  // namespace omb
