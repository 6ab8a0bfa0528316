// The evaluator's shortcuts give the answers and messages of the long way: shared small integers and characters,
// argument lists given back or bound in place, cached top-level slots, steps taken inside one cycle.
#include <gtest/gtest.h>

#include "interpreter_support.h"

namespace omb::test {
namespace {

// The bare interpreter: the standard Scheme file is not loaded, so what the cases need is defined here.
class FastPaths : public InterpTest {
protected:
    void SetUp() override { in.eval("(define (list . xs) xs)"); }
};

TEST_F(FastPaths, SharedIntegersAndCharactersAreNeverChangedInPlace) {
    // The edges of the shared range, and results on either side of them.
    EXPECT_EQ(in.eval("(list -513 -512 1023 1024 (+ 1023 1) (- -512 1) (* 2 512))"),
              "(-513 -512 1023 1024 1024 -513 1024)");
    EXPECT_EQ(in.eval("(list (char->integer (integer->char 255)) (integer->char 65) (string-ref \"xyz\" 2))"),
              "(255 #\\A #\\z)");
    // Printing a vector counts through its elements: the count must not be the shared 0, 1, 2 themselves.
    EXPECT_EQ(in.eval("(begin (display (vector 'a 'b 'c)) (display (vector 0 1 2)) (list 0 1 2 3))"),
              "(0 1 2 3)");
    in.start_output();
    scheme_load_string(sc, "(display (vector 7 8 9)) (display 0) (display 1)");
    EXPECT_EQ(in.output(), "#( 7 8 9)01");
}

TEST_F(FastPaths, ArgumentListsThatLiveOnAreNeverReused) {
    // A rest parameter keeps the list eval_args made; a list given to apply is the caller's own.
    EXPECT_EQ(in.eval("(define (keep . xs) xs) (define kept (keep 1 2 3))"
                      "(define mine (list 4 5 6)) (apply + mine) (apply - mine) (apply (lambda (a b c) c) mine)"
                      "(apply keep mine) (let loop ((i 0)) (if (< i 100000) (loop (+ i (car (cons 1 2))))))"
                      "(gc) (list kept mine)"),
              "((1 2 3) (4 5 6))");
    // A continuation taken while arguments are evaluated is re-entered with the arguments it had then.
    EXPECT_EQ(in.eval("(let ((k #f) (n 0))"
                      "  (let ((r (+ 100 (call-with-current-continuation (lambda (c) (set! k c) 0)) (* 2 3))))"
                      "    (set! n (+ n 1))"
                      "    (if (< n 4) (k n) (list r n))))"),
              "(109 4)");
    // Closures bind their frames in the argument cells: recursion, shadowing and captured frames stay apart.
    EXPECT_EQ(in.eval("(define (adder n) (lambda (x) (+ x n)))"
                      "(define add5 (adder 5)) (define add7 (adder 7))"
                      "(define (fib n) (if (< n 2) n (+ (fib (- n 1)) (fib (- n 2)))))"
                      "(list (add5 1) (add7 1) (fib 20) ((lambda (x y) (list y x)) 1 2))"),
              "(6 8 6765 (2 1))");
}

TEST_F(FastPaths, PrimitivesGiveTheMessagesOfTheLongWay) {
    // Count before type, whether the list came from a call or from apply.
    for (const char* call : {"(car \"x\" 1)", "(apply car '(\"x\" 1))"}) {
        SCOPED_TRACE(call);
        EXPECT_NE(in.eval(call).find("car: needs 1 argument(s)"), std::string::npos);
    }
    for (const char* call : {"(+ 1 \"a\")", "(apply + '(1 \"a\"))", "(+ 1 2 'x 4)"}) {
        SCOPED_TRACE(call);
        const std::string out = in.eval(call);
        EXPECT_NE(out.find("+: argument"), std::string::npos) << out;
        EXPECT_NE(out.find("must be: number"), std::string::npos) << out;
    }
    EXPECT_NE(in.eval("(+ 1 2 'x 4)").find("+: argument 3 must be: number"), std::string::npos);
    EXPECT_NE(in.eval("(< 1)").find("<: needs at least 2 argument(s)"), std::string::npos);
    EXPECT_NE(in.eval("(vector-ref (vector 1 2) 'a)").find("vector-ref: argument 2 must be: non-negative integer"),
              std::string::npos);
    // The general numeric road: overflow wraps, rationals and reals mix.
    EXPECT_EQ(in.eval("(list (+ 9223372036854775807 1) (- -9223372036854775807 2) (* 4611686018427387904 2))"),
              "(-9223372036854775808 9223372036854775807 -9223372036854775808)");
    EXPECT_EQ(in.eval("(list (quotient -9223372036854775808 -1) (modulo -7 2) (remainder -7 2) (modulo 7 -2))"),
              "(-9223372036854775808 1 -1 -1)");
    EXPECT_NE(in.eval("(modulo 5 0)").find("modulo: division by zero"), std::string::npos);
    EXPECT_EQ(in.eval("(list (+ 1/2 1/3) (- 1 1/2) (+ 1 0.5) (< 1/3 0.34 1) (= 2 4/2))"), "(5/6 1/2 1.5 #t #t)");
    // Calls on plain arguments that are answered without an argument list hand anything uncertain to the general
    // way: reals, rationals, wrong types, indexes out of range, unbound names.
    EXPECT_EQ(in.eval("(define v (vector 1 2)) (define s \"ab\") (define h 1/2) (define r 0.5)"
                      "(list (- 1 r) (+ h 1/4) (= 1 1.0) (< h r) (>= 2 2) (vector-ref v 1) (string-ref s 0)"
                      "      (car (cons 1 2)) (cdr (cons 1 2)) (null? v) (pair? v) (not v) (eq? v v))"),
              "(0.5 3/4 #t #f #t 2 #\\a 1 2 #f #f #f #t)");
    for (auto [call, message] : {std::pair{"(car 5)", "car: argument 1 must be: pair"},
                                 {"(cdr '())", "cdr: argument 1 must be: pair"},
                                 {"(- 'a 1)", "-: argument 1 must be: number"},
                                 {"(vector-ref v 2)", "vector-ref: out of bounds: 2"},
                                 {"(vector-ref v -1)", "vector-ref: argument 2 must be: non-negative integer"},
                                 {"(string-ref s 5)", "string-ref: out of bounds: 5"},
                                 {"(< 1 no-such-name)", "eval: unbound variable: no-such-name"},
                                 {"(car (cdr 5))", "cdr: argument 1 must be: pair"},
                                 {"(+ 1 (car '()))", "car: argument 1 must be: pair"}}) {
        SCOPED_TRACE(call);
        const std::string out = in.eval(call);
        EXPECT_NE(out.find(message), std::string::npos) << out;
    }
    // Tests of if and cond had at once, including a clause's value passed on by =>.
    EXPECT_EQ(in.eval("(list (if 1 2) (if #f 1) (if (- 1 1) 't 'f) (cond ((assq 'b '((a . 1) (b . 2))) => cdr) (else 'no))"
                      "      (cond (#f 1)) (cond ((+ 1 2))) (cond ((null? '(1)) 'e) ((car '(1)) 'first)))"),
              "(2 () t 2 () 3 first)");
    // Nested calls with values made on the way, through many collections: none is lost before it is used.
    EXPECT_EQ(in.eval("(define (build i acc)"
                      "  (if (= i 0) acc (build (- i 1) (cons (cons (+ i 100000) (car (cons (- i 100000) 0))) acc))))"
                      "(define (check l s) (if (null? l) s (check (cdr l) (+ s (- (car (car l)) (cdr (car l)))))))"
                      "(check (build 30000 '()) 0)"),
              "6000000000");
    // After an error in a primitive the instance goes on as before.
    EXPECT_EQ(in.eval("(define (safe) (+ 1 2)) (safe)"), "3");
}

TEST_F(FastPaths, TopLevelNamesFollowRedefinitionShadowingAndCollections) {
    EXPECT_EQ(in.eval("(define x 1) (define (get-x) x) (get-x)"), "1");
    EXPECT_EQ(in.eval("(define x 2) (set! x (+ x 1)) (get-x)"), "3");
    // A name first met at the top level, later bound locally: each sees its own.
    EXPECT_EQ(in.eval("(define y 10) (define (get-y) y) (get-y)"), "10");
    EXPECT_EQ(in.eval("(define (local y) (list y (get-y))) (local 1)"), "(1 10)");
    EXPECT_EQ(in.eval("(let ((y 20)) (list y (get-y)))"), "(20 10)");
    collect(sc);
    EXPECT_EQ(in.eval("(list (get-x) (get-y) (eval 'y (interaction-environment)))"), "(3 10 10)");
    // A primitive rebound at the top level is the new value at once.
    EXPECT_EQ(in.eval("(define old-car car) (define (car p) 'mine) (list (car '(1)) (old-car '(1)))"), "(mine 1)");
    EXPECT_EQ(in.eval("(define car old-car) (car '(1))"), "1");
    EXPECT_NE(in.eval("(never-defined-name 1)").find("eval: unbound variable: never-defined-name"),
              std::string::npos);
    // A call once found to name a closure, or nothing yet, follows its name's later values.
    EXPECT_EQ(in.eval("(define (sq x) (* x x)) (define (f n) (+ (sq n) 1)) (f 3)"), "10");
    EXPECT_EQ(in.eval("(define sq -) (f 3)"), "-2");
    EXPECT_EQ(in.eval("(define (sq x) x) (f 3)"), "4");
    EXPECT_NE(in.eval("(define (g n) (+ (later n) 1)) (g '(5))").find("eval: unbound variable: later"),
              std::string::npos);
    EXPECT_EQ(in.eval("(define later car) (g '(5))"), "6");
    // Names bound inside a body stay there; names made at run time are found like any other.
    EXPECT_EQ(in.eval("(define (h) (define zz 5) zz) (h)"), "5");
    EXPECT_NE(in.eval("zz").find("eval: unbound variable: zz"), std::string::npos);
    EXPECT_EQ(in.eval("(eval (list 'define (string->symbol \"made-at-run\") 7)) made-at-run"), "7");
    // A name's property list lives beside its binding.
    EXPECT_EQ(in.eval("(put 'sq 'colour 'red) (put 'fresh-name 'p 1)"
                      "(list (get 'sq 'colour) (sq 4) (get 'fresh-name 'p) (get 'sq 'none))"),
              "(red 4 1 ())");
    EXPECT_NE(in.eval("fresh-name").find("eval: unbound variable: fresh-name"), std::string::npos);
}

TEST_F(FastPaths, TailCallsTakeOverOnlyFramesNothingElseHolds) {
    // A loop step allocates nothing but its argument values (none here: small integers are shared).
    in.eval("(define (spin n) (if (= n 0) 'done (spin (- n 1)))) (spin 10)");
    collect(sc);
    const long free_before = sc->free_count;
    EXPECT_EQ(in.eval("(spin 1000)"), "done");
    EXPECT_LT(free_before - sc->free_count, 64) << "cells taken by a thousand steps";
    // Frames a closure, a continuation or current-environment holds keep their values.
    EXPECT_EQ(in.eval("(let loop ((i 0) (fs '()))"
                      "  (if (< i 3) (loop (+ i 1) (cons (lambda () i) fs)) (list ((car fs)) ((car (cdr fs))))))"),
              "(2 1)");
    EXPECT_EQ(in.eval("(define e #f)"
                      "(define (down x) (if (= x 0) (eval 'x e) (begin (if (= x 3) (set! e (current-environment)))"
                      "                                                (down (- x 1)))))"
                      "(down 5)"),
              "3");
    // The receiver closes over nothing of the loop's: only the continuation holds its frames.
    EXPECT_EQ(in.eval("(let ((ks '()) (seen '()))"
                      "  (define (keep k) (set! ks (cons k ks)))"
                      "  (define (count i)"
                      "    (if (< i 3)"
                      "        (begin (call-with-current-continuation keep)"
                      "               (set! seen (cons i seen))"
                      "               (count (+ i 1)))"
                      "        i))"
                      "  (count 0)"
                      "  (if (< (length seen) 5) ((car (cdr ks)) #f))"
                      "  seen)"),
              "(2 1 2 1 0)");
    // A body that defines, a rest parameter, or another closure's names: each gets a frame of its own.
    EXPECT_EQ(in.eval("(define (d n) (define m (* n 2)) (if (> n 2) m (d (+ n 1)))) (d 0)"), "6");
    EXPECT_EQ(in.eval("(define (r n . more) (if (null? more) n (r (+ n (car more))))) (r 1 2)"), "3");
    EXPECT_EQ(in.eval("(define (a x) (b x 1)) (define (b y z) (if (> y 3) (list y z) (a (+ y z)))) (a 0)"),
              "(4 1)");
}

TEST_F(FastPaths, DeeplyNestedCodeRunsOnTheDumpNotTheMachineStack) {
    std::string nested;
    constexpr int depth = 100000;
    for (int i = 0; i < depth; ++i) nested += "(+ 1 ";
    nested += "0";
    nested += std::string(depth, ')');
    EXPECT_EQ(in.eval(nested), "100000");
    std::string tests = "(define (t n) ";
    for (int i = 0; i < 20000; ++i) tests += "(if (< n 0) 'no ";
    tests += "'yes" + std::string(20000, ')') + ")";
    EXPECT_EQ(in.eval(tests + " (t 1)"), "yes");
}

}  // namespace
}  // namespace omb::test
