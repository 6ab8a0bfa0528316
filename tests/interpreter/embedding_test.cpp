// The interpreter as a native program drives it: creating instances, loading text, calling procedures,
// foreign functions, the error path as the owner sees it, and the tables native code reads.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <initializer_list>
#include <set>
#include <string>

#include "interpreter/process_switches.h"
#include "interpreter_support.h"
#include "platform/exception.h"

namespace omb {
namespace {

using test::Interp;
using test::LogCapture;
using test::TempFile;

pointer global(scheme* sc, const char* name) {
    pointer slot = find_slot_in_env(sc, sc->global_env, mk_symbol(sc, name), 0);
    return slot == sc->NIL ? nullptr : slot_value_in_env(slot);
}

// A fresh list of integers, built with the collector held off so no element is lost on the way.
pointer ints(scheme* sc, std::initializer_list<int64_t> values) {
    int saved = sc->gc_enabled;
    sc->gc_enabled = 0;
    pointer head = sc->NIL, tail = sc->NIL;
    for (int64_t v : values) {
        pointer c = s_cons(sc, mk_integer(sc, v), sc->NIL);
        if (tail == sc->NIL) head = c;
        else set_cdr(tail, c);
        tail = c;
    }
    sc->gc_enabled = saved;
    return head;
}

bool logged(const LogCapture& log, const std::string& part) {
    return std::ranges::any_of(log.errors, [&](const std::string& e) { return e.find(part) != std::string::npos; });
}

void define_foreign(scheme* sc, const char* name, foreign_func f) {
    scheme_define(sc, sc->global_env, mk_symbol(sc, name), mk_foreign_func(sc, f));
}

// ---- creating and destroying -----------------------------------------------------------------------------------

std::set<void*> live_blocks;
void* counting_alloc(size_t n) {
    void* p = std::malloc(n);
    if (p) live_blocks.insert(p);
    return p;
}
void counting_free(void* p) {
    if (p) {
        EXPECT_EQ(live_blocks.erase(p), 1u) << "freed a block it did not allocate";
    }
    std::free(p);
}

TEST(Lifecycle, CustomAllocatorGetsBackEveryBlockButTheRecord) {
    live_blocks.clear();
    scheme* sc = scheme_init_new_custom_alloc(counting_alloc, counting_free);
    ASSERT_NE(sc, nullptr);
    // Work that grows every owned buffer: cell segments, the dump, strings and a port record.
    scheme_load_string(sc,
                       "(define (deep n) (if (= n 0) 0 (+ 1 (deep (- n 1)))))"
                       "(define (build n acc) (if (= n 0) acc (build (- n 1) (cons n acc))))"
                       "(define s (make-string 300 #\\a))"
                       "(define p (open-input-string s))"
                       "(define l (build 200000 '()))"
                       "(deep 30000)");
    EXPECT_EQ(sc->retcode, 0);
    ASSERT_TRUE(is_integer(sc->value));
    EXPECT_EQ(ivalue(sc->value), 30000);
    EXPECT_GT(sc->last_cell_seg, 2);
    scheme_deinit(sc);
    EXPECT_EQ(live_blocks.size(), 1u);
    EXPECT_EQ(live_blocks.count(sc), 1u);  // the record stays the caller's
    counting_free(sc);
    EXPECT_TRUE(live_blocks.empty());
}

TEST(Lifecycle, InitOnCallerMemory) {
    scheme* sc = ombrel_scheme_init_new();
    ASSERT_TRUE(sc && scheme_init(sc) && sc->vptr == &vtbl);
    sc->vptr->load_string(sc, "(* 6 7)");  // through the table native code is given
    EXPECT_EQ(ivalue(sc->value), 42);
    scheme_deinit(sc);
    std::free(sc);
}

// ---- loading text ----------------------------------------------------------------------------------------------

// A load runs its data in turn; an error ends it, the rest of the text unrun. The owner tells a text without a
// datum by the count of data read. A text that ends inside a datum runs the complete data before it and then
// fails, instead of ending in silence with the last evaluation's value.
TEST(LoadString, RunsItsDataCountsThemAndAnUnfinishedDatumIsAnError) {
    LogCapture log;
    Interp in;
    scheme* sc = in.sc;
    const std::string inside = "syntax error: end of input inside a list";
    struct Case {
        const char* text;
        long data;
        int64_t x;          // after the load
        std::string error;  // empty: no error
    } cases[] = {
        {"", 0, 0, ""},
        {"  ; only a comment\n #! and a script line\n\t", 0, 0, ""},
        {"(define x 5) x", 2, 5, ""},
        {"(set! x no-such-name) (set! x 8)", 1, 5, "eval: unbound variable: no-such-name"},
        {"( ; a comment before the end\n)", 1, 5, ""},
        {"(set! x 6) (define (f x) (+ x 1)", 1, 6, inside},
        {"(set! x 7) '", 1, 7, "syntax error: end of input after a quote"},
        {"(set! x 8) \"never closed", 1, 8, "Error reading string"},
        {"(set! x 9) #(1 2", 1, 9, inside},
        {"(a . b", 0, 9, inside},
        {"(a ; comment", 0, 9, inside},
    };
    scheme_load_string(sc, "(define x 0)");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        in.start_output();
        scheme_load_string(sc, c.text);
        EXPECT_EQ(sc->loaded_data, c.data);
        if (c.error.empty()) {
            EXPECT_EQ(sc->retcode, 0);
            EXPECT_EQ(in.output(), "");
            EXPECT_TRUE(c.data > 0 || sc->value == sc->NIL) << "kept the previous load's value";
        } else {
            EXPECT_EQ(sc->retcode, -1);
            EXPECT_EQ(in.output(), "Error: " + c.error + " \n");
        }
        scheme_load_string(sc, "x");
        EXPECT_EQ(ivalue(sc->value), c.x);
    }
    log.flush();
    EXPECT_TRUE(logged(log, inside));
    EXPECT_TRUE(logged(log, "eval: unbound variable: no-such-name"));
}

int open_descriptors() {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd) n += fcntl(fd, F_GETFD) != -1;
    return n;
}

// Data never run on from one file into the one that loaded it, only the loading text's data are counted, and
// the caller's stream stays open.
TEST(LoadFile, NestedLoadsAndFilesThatEndInsideADatum) {
    Interp in;
    scheme* sc = in.sc;
    in.start_output();
    TempFile inner("(define a 1) (define b 2)\n(define c 3)\nc");
    scheme_load_string(sc, ("(load \"" + inner.path + "\") (+ a b c)").c_str());
    EXPECT_EQ(sc->retcode, 0);
    EXPECT_EQ(ivalue(sc->value), 6);
    EXPECT_EQ(sc->loaded_data, 2);

    TempFile unfinished("(define d 4)\n(define (g y) y\n");
    const std::string report = "Error: syntax error: end of input inside a list \n";
    int descriptors = open_descriptors();
    scheme_load_string(sc, ("(load \"" + unfinished.path + "\") (define d 5)").c_str());
    EXPECT_EQ(sc->retcode, -1);
    EXPECT_EQ(in.output(), report);
    EXPECT_EQ(open_descriptors(), descriptors);  // the failed load's file is closed

    FILE* f = std::fopen(unfinished.path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    in.start_output();
    scheme_load_string(sc, "(set! d 0)");
    scheme_load_file(sc, f);
    EXPECT_EQ(std::fclose(f), 0);
    EXPECT_EQ(sc->retcode, -1);
    EXPECT_EQ(sc->loaded_data, 1);
    EXPECT_EQ(in.output(), report);
    scheme_load_string(sc, "d");
    EXPECT_EQ(ivalue(sc->value), 4);
}

// ---- foreign functions -----------------------------------------------------------------------------------------

int echo_calls = 0;
pointer echo(scheme*, pointer args) { ++echo_calls; return args; }

// Builds (0 1 ... n-1) front to back, forcing collections on the way; only protection keeps the head alive.
pointer build_list(scheme* sc, pointer args) {
    int64_t n = ivalue(pair_car(args));
    pointer head = s_cons(sc, mk_integer(sc, 0), sc->NIL);
    protect_cell(sc, head);
    pointer tail = head;
    for (int64_t i = 1; i < n; ++i) {
        pointer c = s_cons(sc, mk_integer(sc, i), sc->NIL);
        set_cdr(tail, c);
        tail = c;
        if (i % 4096 == 0) gc(sc, sc->NIL, sc->NIL);
    }
    unprotect_cell(sc, head);
    return head;
}

pointer car_of_first(scheme*, pointer args) { return pair_car(pair_car(args)); }

TEST(ForeignFunctions, GetEvaluatedArgumentsAndAWrongTypeAccessEndsTheEvaluation) {
    LogCapture log;
    Interp in;
    scheme* sc = in.sc;
    define_foreign(sc, "echo", echo);
    define_foreign(sc, "car-of", car_of_first);
    echo_calls = 0;
    scheme_load_string(sc, "(echo)");
    EXPECT_EQ(sc->value, sc->NIL);
    scheme_load_string(sc, "(echo (+ 1 2) 'b \"c\")");
    EXPECT_EQ(sc->retcode, 0);
    EXPECT_EQ(echo_calls, 2);
    EXPECT_EQ(in.print(sc->value), "(3 b \"c\")");

    // The checked accessor's reason reaches the log, and the rest of the text is not run.
    scheme_load_string(sc, "(define after 1) (car-of 5) (set! after 2)");
    log.flush();
    ASSERT_EQ(log.errors.size(), 1u);
    EXPECT_EQ(log.errors[0], ":ERROR: Attempting to access the car of a primitive\n");
    scheme_load_string(sc, "(vector after (car-of '(9 8)))");
    EXPECT_EQ(sc->retcode, 0);
    EXPECT_EQ(in.print(sc->value), "#( 1 9)");
}

TEST(ForeignFunctions, ProtectedPartialListSurvivesCollections) {
    Interp in;
    scheme* sc = in.sc;
    define_foreign(sc, "build-list", build_list);
    const int64_t n = 60000;
    scheme_load_string(sc, "(define l (build-list 60000)) (gc) (cons 'x (cons 'y '())) l");
    EXPECT_EQ(sc->retcode, 0);
    EXPECT_EQ(list_length(sc, sc->value), n);
    int64_t expected = 0;
    for (pointer p = sc->value; is_pair(p) && expected < n; p = pair_cdr(p), ++expected)
        if (!is_integer(pair_car(p)) || ivalue(pair_car(p)) != expected) break;
    EXPECT_EQ(expected, n) << "element " << expected << " was overwritten";
    EXPECT_TRUE(sc->protected_cells->empty());
}

// ---- calling procedures ----------------------------------------------------------------------------------------

TEST(Calling, ClosuresPrimitivesAndGlobalsByName) {
    LogCapture log;
    Interp in;
    scheme* sc = in.sc;
    in.start_output();
    scheme_load_string(sc, "(define (add2 a b) (+ a b)) (define (answer) 42)");
    pointer add2 = global(sc, "add2");
    ASSERT_TRUE(add2 && is_closure(add2));

    scheme_call(sc, add2, ints(sc, {1}));
    EXPECT_EQ(sc->retcode, -1);
    EXPECT_EQ(sc->last_called, add2);
    EXPECT_EQ(in.output(), "Error: not enough arguments \n");
    log.flush();
    EXPECT_TRUE(logged(log, "not enough arguments"));

    scheme_call(sc, add2, ints(sc, {1, 2}));
    EXPECT_EQ(sc->retcode, 0);
    EXPECT_EQ(ivalue(sc->value), 3);

    pointer car_proc = global(sc, "car");
    ASSERT_TRUE(car_proc && is_proc(car_proc));
    pointer arg = ints(sc, {7, 8});
    protect_cell(sc, arg);
    scheme_call(sc, car_proc, s_cons(sc, arg, sc->NIL));
    unprotect_cell(sc, arg);
    EXPECT_EQ(sc->retcode, 0);
    EXPECT_EQ(ivalue(sc->value), 7);
    EXPECT_EQ(sc->last_called, car_proc);

    sc->value = sc->NIL;
    scheme_apply0(sc, "answer");
    EXPECT_EQ(sc->retcode, 0);
    EXPECT_EQ(ivalue(sc->value), 42);
}

// ---- *error-hook* ----------------------------------------------------------------------------------------------

TEST(ErrorHook, ContinuesWithItsValueAndAHookThatErrorsFallsThrough) {
    LogCapture log;
    Interp in;
    scheme* sc = in.sc;
    in.start_output();
    scheme_load_string(sc, "(define (*error-hook* msg sym) (vector msg sym)) (define r (vector 1 no-such))");
    EXPECT_EQ(sc->retcode, 0);
    EXPECT_EQ(in.output(), "");  // handled: no error line
    log.flush();
    EXPECT_TRUE(logged(log, "eval: unbound variable: no-such"));  // but still reported
    scheme_load_string(sc, "r");
    EXPECT_EQ(in.print(sc->value), "#( 1 #( \"eval: unbound variable:\" no-such))");

    log.errors.clear();
    in.start_output();
    scheme_load_string(sc, "(define hook-calls 0)"
                           "(define (*error-hook* msg sym)"
                           "  (set! hook-calls (+ hook-calls 1))"
                           "  (if (> hook-calls 5) 'looping (car sym)))");  // fails rather than hangs
    scheme_load_string(sc, "(vector no-such)");
    EXPECT_EQ(sc->retcode, -1);
    EXPECT_EQ(in.output(), "Error: car: argument 1 must be: pair \n");
    log.flush();
    EXPECT_EQ(log.errors.size(), 2u);
    scheme_load_string(sc, "hook-calls");
    EXPECT_EQ(ivalue(sc->value), 1);
}

// ---- extended error logging ------------------------------------------------------------------------------------

struct ExtendedLogging {
    ExtendedLogging() { EXTENDED_ERROR_LOGGING = true; }
    ~ExtendedLogging() { EXTENDED_ERROR_LOGGING = false; }
};

TEST(ExtendedLogging, NamesTheFunctionsInvolved) {
    LogCapture log;
    Interp in;
    scheme* sc = in.sc;
    // The owner's text may be gone by the time a later call fails (the executer frees it after the load); the
    // dump must show what was evaluated, not read whatever now lies in that memory.
    std::string text = "(define (walk l) (+ 1 (walk (cdr l))))";
    scheme_load_string(sc, text.c_str());
    text.assign(text.size(), 'x');
    pointer walk = global(sc, "walk");
    ASSERT_TRUE(walk && is_closure(walk));
    {
        ExtendedLogging on;
        pointer arg = ints(sc, {1, 2});
        protect_cell(sc, arg);
        scheme_call(sc, walk, s_cons(sc, arg, sc->NIL));
        unprotect_cell(sc, arg);
    }
    EXPECT_EQ(sc->retcode, -1);
    log.flush();
    ASSERT_EQ(log.errors.size(), 2u);
    EXPECT_NE(log.errors[0].find("cdr: argument 1 must be: pair"), std::string::npos) << log.errors[0];
    const std::string& stack = log.errors[1];
    EXPECT_NE(stack.find("Last function called by ombrel: walk"), std::string::npos) << stack;
    EXPECT_NE(stack.find(" walk : "), std::string::npos) << "no frame names walk:\n" << stack;
    EXPECT_NE(stack.find("Last eval string from ombrel:(define (walk l)"), std::string::npos) << stack;

    // Switched off, an error is reported once.
    scheme_load_string(sc, "(walk '())");
    log.flush();
    EXPECT_EQ(log.errors.size(), 3u);
}

// ---- error reports ---------------------------------------------------------------------------------------------

// The owner's reply to a failed evaluation is its output port, 255 bytes as the process keeps it, and it is reset
// only after an error: the report must come whole whatever was printed before it.
class ErrorReports : public ::testing::Test {
protected:
    ErrorReports() { reset(); }
    void reset() {
        std::fill(std::begin(buffer), std::end(buffer), 0);
        scheme_set_output_port_string(sc, buffer, buffer + 255);
    }
    std::string reply() const { return std::string(buffer, strnlen(buffer, sizeof buffer)); }

    LogCapture log;
    Interp in;
    scheme* sc = in.sc;
    char buffer[256];
};

TEST_F(ErrorReports, EarlierOutputGivesWayAndALongReportKeepsItsBeginning) {
    scheme_load_string(sc, "(display (make-string 300 #\\a))");
    EXPECT_EQ(sc->retcode, 0);
    EXPECT_EQ(reply(), std::string(255, 'a'));  // ordinary output into a full port is dropped

    const std::string report = "Error: car: argument 1 must be: pair \n";
    scheme_load_string(sc, "(car '())");
    EXPECT_EQ(sc->retcode, -1);
    EXPECT_EQ(reply(), std::string(255 - report.size(), 'a') + report);

    reset();
    scheme_load_string(sc, "(display \"early\") (error \"short:\" \"s\" #\\a '(quote b) (vector 1 '()))");
    EXPECT_EQ(reply(), "earlyError: short: \"s\" #\\a 'b #( 1 ()) \n");

    reset();
    scheme_load_string(sc, "(display \"early\") (error (make-string 300 #\\m) 1)");
    EXPECT_EQ(reply(), "Error: " + std::string(248, 'm'));
}

TEST_F(ErrorReports, CircularIrritantsAreCutLikeTheCellRenderersOutput) {
    alarm(120);  // an endless report fails here instead of hanging the suite
    scheme_load_string(sc, "(define l (cons 1 (cons 2 (cons 3 '())))) (set-cdr! (cdr (cdr l)) l)");
    ASSERT_EQ(sc->retcode, 0);
    for (auto [text, message] : {std::pair{"(error \"bad\" l)", "bad"},
                                 {"(length l)", "length: not a list:"},
                                 {"(apply + l)", "apply: last argument must be a list:"}}) {
        SCOPED_TRACE(text);
        reset();
        scheme_load_string(sc, text);
        EXPECT_EQ(sc->retcode, -1);
        EXPECT_EQ(reply().rfind(std::string("Error: ") + message + " (1 2 3 1 2 3 1", 0), 0u) << reply();
        EXPECT_EQ(reply().size(), 255u);
    }
    log.flush();
    ASSERT_FALSE(log.errors.empty());
    const std::string& logged_report = log.errors.back();
    EXPECT_LT(logged_report.size(), 16u << 20);
    EXPECT_NE(logged_report.find(" ...\n"), std::string::npos);

    // Into a file the report is as long as the bound allows, and the irritants after a cut one still come.
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    scheme_set_output_port_file(sc, f);
    scheme_load_string(sc, "(error \"bad\" l 'next)");
    alarm(0);
    long size = std::ftell(f);
    EXPECT_LT(size, 16L << 20);
    std::string end(64, 0);
    std::fseek(f, size - 64, SEEK_SET);
    ASSERT_EQ(std::fread(end.data(), 1, 64, f), 64u);
    EXPECT_TRUE(end.ends_with(" ... next \n")) << end;
    std::fclose(f);
}

// ---- exhaustion ------------------------------------------------------------------------------------------------

// Cells, the dump and the string budget each run out; every time the evaluation ends as an error whose report
// follows the output printed before it, and the next one finds the memory free again. The cells fill the whole
// heap: about 15 s, with or without the sanitizers.
TEST(Exhaustion, EveryRunawayEndsInTheNoMemoryReportAndTheInstanceRecovers) {
    LogCapture log;
    Interp in;
    scheme* sc = in.sc;
    scheme_set_string_limit(sc, scheme_string_bytes(sc) + (1 << 20));
    for (const char* runaway : {"(define (f l) (f (cons 1 l))) (f '())",
                                "(define (deep n) (if (= n 0) 0 (+ 1 (deep (- n 1))))) (deep 10000000)",
                                "(define (bomb s) (bomb (string-append s s))) (bomb \"x\")"}) {
        SCOPED_TRACE(runaway);
        in.start_output();
        log.errors.clear();
        scheme_load_string(sc, (std::string("(display \"before\") ") + runaway).c_str());
        EXPECT_EQ(sc->retcode, -1);
        EXPECT_EQ(in.output(), "beforeError: No memory! \n");
        log.flush();
        EXPECT_TRUE(logged(log, "No memory!"));
        scheme_load_string(sc, "(define v (make-vector 30000 'x))"
                               "(+ (vector-length v) (string-length (make-string 1000)))");
        EXPECT_FALSE(sc->no_memory);
        EXPECT_EQ(sc->retcode, 0);
        ASSERT_TRUE(is_integer(sc->value));
        EXPECT_EQ(ivalue(sc->value), 31000);
    }
}

// ---- instances side by side ------------------------------------------------------------------------------------

TEST(Instances, LoadsAndCollectionsInterleaveWithoutCrossTalk) {
    Interp a, b;
    a.start_output();
    b.start_output();
    const char* build = "(define (build n acc) (if (= n 0) acc (build (- n 1) (cons n acc))))";
    scheme_load_string(a.sc, build);
    scheme_load_string(b.sc, build);
    scheme_load_string(a.sc, "(define only-a 'a) (define shared 'from-a)");
    scheme_load_string(b.sc, "(define shared 'from-b) only-a");
    EXPECT_EQ(b.sc->retcode, -1);
    EXPECT_EQ(b.output(), "Error: eval: unbound variable: only-a \n");
    EXPECT_EQ(a.output(), "");
    pointer spelled = mk_symbol(a.sc, "Spelled-In-A");  // each instance has its own symbol table
    EXPECT_EQ(oblist_find_by_name(b.sc, "Spelled-In-A"), b.sc->NIL);
    EXPECT_NE(mk_symbol(b.sc, "spelled-in-a"), spelled);

    for (int round = 0; round < 3; ++round) {
        scheme_load_string(a.sc, "(define la (build 70000 '())) (gc)");
        scheme_load_string(b.sc, "(define lb (build 50000 '()))");
        scheme_load_string(a.sc, "(length la)");
        scheme_load_string(b.sc, "(gc) (length lb)");
        EXPECT_EQ(ivalue(a.sc->value), 70000);
        EXPECT_EQ(ivalue(b.sc->value), 50000);
    }
    scheme_load_string(a.sc, "(vector shared (car la))");
    scheme_load_string(b.sc, "(vector shared (car lb))");
    EXPECT_EQ(a.print(a.sc->value), "#( from-a 1)");
    EXPECT_EQ(b.print(b.sc->value), "#( from-b 1)");
}

// ---- tables for native code ------------------------------------------------------------------------------------

TEST(InterfaceTable, BuildsAndReadsValues) {
    Interp in;
    scheme* sc = in.sc;
    const scheme_interface* v = sc->vptr;
    ASSERT_EQ(v, &vtbl);
    sc->gc_enabled = 0;
    pointer list = v->cons(sc, v->mk_integer(sc, 10), v->cons(sc, v->mk_integer(sc, 20), sc->NIL));
    pointer vec = v->mk_vector(sc, 4);
    sc->gc_enabled = 1;
    ASSERT_TRUE(v->is_pair(list) && v->is_pair(v->pair_cdr(list)));
    EXPECT_EQ(v->ivalue(v->pair_car(list)), 10);
    EXPECT_EQ(v->ivalue(v->pair_car(v->pair_cdr(list))), 20);
    EXPECT_EQ(v->vector_length(vec), 4);
}

TEST(NameTables, SignaturesAndDefiningNames) {
    Interp in;
    scheme* sc = in.sc;
    scheme_load_string(sc, "(define (f a b) a) (define g (lambda (x) x))");
    ASSERT_EQ(sc->retcode, 0);
    EXPECT_EQ(sc->name_signatures->at("f"), "(f a b)");
    EXPECT_EQ(sc->name_signatures->at("g"), "(g lambda (x) x)");
    pointer f = global(sc, "f"), g = global(sc, "g");
    ASSERT_TRUE(f && g && is_closure(f) && is_closure(g));
    EXPECT_EQ(sc->value_names->at(closure_code(f)), mk_symbol(sc, "f"));
    EXPECT_EQ(sc->value_names->at(closure_code(g)), mk_symbol(sc, "g"));

    // A redefinition replaces the signature; the names survive collections.
    scheme_load_string(sc, "(define (f a b c) c) (gc)");
    EXPECT_EQ(sc->name_signatures->at("f"), "(f a b c)");
    EXPECT_EQ(sc->value_names->at(closure_code(global(sc, "f"))), mk_symbol(sc, "f"));
    EXPECT_EQ(sc->value_names->at(closure_code(g)), mk_symbol(sc, "g"));
}

}  // namespace
}  // namespace omb
