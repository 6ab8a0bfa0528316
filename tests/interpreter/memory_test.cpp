// Cells, vectors, the collector, running out of memory, ports as resources, environments and the checked
// accessors native code uses.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

#include "interpreter_support.h"
#include "platform/exception.h"

namespace omb {
namespace {

using test::collect;
using test::Counted;
using test::Interp;
using test::LogCapture;
using test::TempFile;
using Memory = test::InterpTest;

// Takes every free cell, so a cell wrongly left on the free list gets overwritten where a test can see it.
void fill_free_cells(scheme* sc) {
    for (long n = sc->free_count; n > 0; --n) s_cons(sc, sc->F, sc->F);
}


bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST_F(Memory, VectorsTakeAHeaderAndHalfACellPerElementAndTheLargestFitsOneSegment) {
    for (auto [length, cells] : {std::pair{0, 1}, {1, 2}, {2, 2}, {3, 3}, {10, 6}}) {
        long before = sc->free_count;
        pointer v = mk_vector(sc, length);
        EXPECT_EQ(before - sc->free_count, cells) << length << " elements";
        EXPECT_TRUE(is_vector(v) && vector_length(v) == length);
    }
    pointer v = mk_vector(sc, 39998);
    ASSERT_NE(v, sc->F);
    protect_cell(sc, v);
    set_vector_elem(v, 39997, mk_integer(sc, 7));
    collect(sc);
    EXPECT_EQ(vector_length(v), 39998);
    EXPECT_EQ(ivalue(vector_elem(v, 39997)), 7);
    EXPECT_TRUE(vector_elem(v, 0) == sc->NIL && vector_elem(v, 39996) == sc->NIL);

    EXPECT_EQ(mk_vector(sc, 39999), sc->F);
    EXPECT_FALSE(sc->no_memory);
    log.flush();
    ASSERT_EQ(log.errors.size(), 1u);
    EXPECT_EQ(log.errors[0], ":ERROR: Vector size is too large for current memory architecture\n");
    unprotect_cell(sc, v);
}

TEST(Collector, ProtectedCellsAndVectorElementsSurviveUntilTheLastHolderLetsGo) {
    int elements = 0, twice = 0, held_to_the_end = 0;
    {
        Interp in;
        scheme* sc = in.sc;
        pointer v = mk_vector(sc, 6);
        protect_cell(sc, v);
        for (int i = 0; i < 5; ++i)
            set_vector_elem(v, i, mk_objc(sc, new Counted(&elements, "element " + std::to_string(i))));
        set_vector_elem(v, 5, mk_string(sc, "kept"));
        pointer c = mk_objc(sc, new Counted(&twice, "twice"));
        protect_cell(sc, c);
        protect_cell(sc, c);
        collect(sc);
        unprotect_cell(sc, c);  // one holder left
        collect(sc);
        fill_free_cells(sc);
        EXPECT_EQ(elements + twice, 0);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(objc_value(vector_elem(v, i))->description(), "element " + std::to_string(i));
        EXPECT_STREQ(string_value(vector_elem(v, 5)), "kept");
        EXPECT_EQ(objc_value(c)->description(), "twice");
        unprotect_cell(sc, v);
        unprotect_cell(sc, c);
        collect(sc);
        EXPECT_EQ(elements + twice, 6);
        unprotect_cell(sc, c);  // a stray release is harmless
        EXPECT_TRUE(sc->protected_cells->empty());
        // A cell still protected when the instance ends is released with it, not leaked.
        protect_cell(sc, mk_objc(sc, new Counted(&held_to_the_end)));
    }
    EXPECT_EQ(elements, 5);  // none released twice
    EXPECT_EQ(twice, 1);
    EXPECT_EQ(held_to_the_end, 1);
}

TEST_F(Memory, CollectorGrowsWhenBlockedOrWhenACollectionRecoversLittle) {
    mk_objc(sc, new Counted(&destroyed));  // garbage from the start
    sc->gc_enabled = 0;
    while (sc->free_count > 0) s_cons(sc, sc->NIL, sc->NIL);
    int segments = sc->last_cell_seg;
    s_cons(sc, sc->NIL, sc->NIL);
    EXPECT_EQ(sc->last_cell_seg, segments + 1);
    EXPECT_EQ(sc->free_count, CELL_SEGSIZE - 1);
    log.flush();
    ASSERT_FALSE(log.notes.empty());
    EXPECT_EQ(log.notes.back(), "Allocated: 1 cell segements for a total of " + std::to_string(segments + 2) +
                                    ".  Free cells = " + std::to_string(CELL_SEGSIZE) + "\n");
    while (sc->free_count > 0) s_cons(sc, sc->NIL, sc->NIL);
    EXPECT_NE(mk_vector(sc, 100), sc->F);
    EXPECT_EQ(sc->last_cell_seg, segments + 2);
    EXPECT_EQ(destroyed, 0);
    sc->gc_enabled = 1;
    in.start_output();
    sc->gc_verbose = 1;
    collect(sc);
    sc->gc_verbose = 0;
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(in.output(), "gc...gc done: " + std::to_string(sc->free_count) + " cells were recovered.\n");

    // Everything reachable but 100 cells: a collection that recovers so few grows the heap to three times what
    // it keeps, so growing data is not collected once a segment.
    segments = sc->last_cell_seg;
    const long live = static_cast<long>(segments + 1) * CELL_SEGSIZE - 100;
    sc->gc_enabled = 0;
    pointer kept = sc->NIL;
    while (sc->free_count > 100) kept = s_cons(sc, sc->NIL, kept);
    protect_cell(sc, kept);
    sc->gc_enabled = 1;
    while (sc->free_count > 0) s_cons(sc, sc->NIL, sc->NIL);
    s_cons(sc, sc->NIL, sc->NIL);
    EXPECT_GE(static_cast<long>(sc->last_cell_seg + 1) * CELL_SEGSIZE, 3 * live);
    EXPECT_GE(sc->free_count, 2 * live - CELL_SEGSIZE);
    unprotect_cell(sc, kept);
}

// Vectors need runs of adjacent free cells; the sweep leaves the free list in address order so they stay findable.
TEST_F(Memory, CollectorSweepRestoresAddressOrderAndVectorsFindRoomInFragmentedMemory) {
    // Memory a segment has not handed out yet counts as free without being on the list.
    auto ascending = [this] {
        long n = 0;
        for (int i = 0; i <= sc->last_cell_seg; ++i) n += sc->cell_seg[i] + CELL_SEGSIZE - sc->seg_fresh[i];
        for (pointer p = sc->free_cell, prev = nullptr; p != sc->NIL; prev = p, p = cdr(p), ++n)
            if (prev && p <= prev) return false;
        return n == sc->free_count;
    };
    ASSERT_EQ(alloc_cellseg(sc, 4), 4);
    collect(sc);
    EXPECT_TRUE(ascending());

    // Keep every other cell: no two free cells are adjacent any more.
    sc->gc_enabled = 0;
    pointer kept = sc->NIL;
    while (sc->free_count > 0) {
        s_cons(sc, sc->NIL, sc->NIL);
        if (sc->free_count > 0) kept = s_cons(sc, sc->NIL, kept);
    }
    protect_cell(sc, kept);
    sc->gc_enabled = 1;
    collect(sc);
    EXPECT_TRUE(ascending());
    int segments = sc->last_cell_seg;
    EXPECT_NE(mk_vector(sc, 2), sc->F);
    EXPECT_GT(sc->last_cell_seg, segments);
    EXPECT_NE(mk_vector(sc, 39998), sc->F);
    collect(sc);
    EXPECT_TRUE(ascending());
    unprotect_cell(sc, kept);
}

// Marking is iterative: a recursive marker overflows the native stack on a long list of distinct pairs or a deep
// car nesting, both built in one go as a large import does.
TEST_F(Memory, CollectorKeepsAMillionElementListAndAMillionLevelNesting) {
    const int n = 1000000;
    sc->gc_enabled = 0;
    pointer list = sc->NIL, nest = sc->NIL;
    for (int i = 0; i < n; ++i) {
        list = s_cons(sc, s_cons(sc, sc->T, sc->NIL), list);
        nest = s_cons(sc, nest, sc->T);
    }
    sc->gc_enabled = 1;
    protect_cell(sc, list);
    protect_cell(sc, nest);
    collect(sc);
    fill_free_cells(sc);
    int count = 0, levels = 0;
    bool intact = true;
    for (pointer p = list; p != sc->NIL; p = cdr(p), ++count)
        intact = intact && is_pair(car(p)) && car(car(p)) == sc->T;
    for (pointer p = nest; p != sc->NIL; p = car(p), ++levels) intact = intact && is_pair(p) && cdr(p) == sc->T;
    EXPECT_EQ(count, n);
    EXPECT_EQ(levels, n);
    EXPECT_TRUE(intact);
    unprotect_cell(sc, list);
    unprotect_cell(sc, nest);
    collect(sc);
    EXPECT_GT(sc->free_count, 3L * n);
}

// Refuses cell segments once `segments_left` have been handed out: a small heap fills in milliseconds.
int segments_left = 0;
void* limited_alloc(size_t n) {
    if (n == SEGMENT_BLOCK_BYTES) {
        if (segments_left == 0) return nullptr;
        --segments_left;
    }
    return std::malloc(n);
}

// Cells run out when the allocator refuses a segment (a heap of eight fills in milliseconds) and when the largest
// heap thrashes (only the full heap, at the cap on segments, gets there: a second and 350 MB); the string budget
// and room for a vector run out too. Every time the evaluation ends as an error whose report follows the output
// printed before it, and the next one finds the memory free again. A vector with no room used to give #f, so a
// loop making vectors tried again for ever, each try a full collection; here #f would fail at once.
TEST(Exhaustion, EveryRunawayEndsInTheNoMemoryReportAndTheInstanceRecovers) {
    LogCapture log;
    segments_left = 2;
    EXPECT_EQ(scheme_init_new_custom_alloc(limited_alloc, std::free), nullptr) << "too small to start";
    segments_left = 8;
    Interp small(scheme_init_new_custom_alloc(limited_alloc, std::free)), full;
    ASSERT_NE(small.sc, nullptr);
    scheme_set_string_limit(full.sc, scheme_string_bytes(full.sc) + (1 << 20));
    const std::pair<Interp*, const char*> runaways[] = {
        {&small, "(define (f l) (f (cons 1 l))) (f '())"},
        {&small, "(define (g l) (vector-length (car l)) (g (cons (make-vector 39998) l))) (g (cons (vector) '()))"},
        {&full, "(define (deep n) (if (= n 0) 0 (+ 1 (deep (- n 1))))) (deep 10000000)"},
        {&full, "(define (bomb s) (bomb (string-append s s))) (bomb \"x\")"},
    };
    for (auto [in, runaway] : runaways) {
        SCOPED_TRACE(runaway);
        log.errors.clear();
        EXPECT_EQ(in->eval(std::string("(display \"before\") ") + runaway), "beforeError: No memory! \n");
        EXPECT_TRUE(log.saw(log.errors, "No memory!"));
        EXPECT_EQ(in->eval("(+ (vector-length (make-vector 39998)) (string-length (make-string 1000)))"), "40998");
        EXPECT_FALSE(in->sc->no_memory);
    }

    // With the collector held off, every constructor hands out the inert sink, and nothing given meanwhile leaks.
    scheme* sc = small.sc;
    sc->gc_enabled = 0;
    while (sc->free_count > 0) s_cons(sc, sc->NIL, sc->NIL);
    EXPECT_EQ(s_cons(sc, sc->NIL, sc->NIL), sc->sink);
    EXPECT_TRUE(sc->no_memory);
    EXPECT_EQ(mk_integer(sc, int64_t{1} << 40), sc->sink);
    EXPECT_EQ(ivalue(mk_integer(sc, 5)), 5) << "small integers are shared and need no cell";
    int destroyed = 0;
    EXPECT_EQ(mk_objc(sc, new Counted(&destroyed)), sc->sink);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(mk_string(sc, "no room"), sc->sink);
    EXPECT_EQ(mk_vector(sc, 3), sc->F);
}

// Strings hold their bytes (text and terminator) from allocation to collection. Garbage strings are collected as
// they pile up, and always before the budget is declared spent.
TEST_F(Memory, StringBytesAreCountedUntilCollectedAndOnlyLiveStringsSpendTheBudget) {
    // A negative length (a failed read() passed on by native code) gives an empty string.
    EXPECT_EQ(strlength(mk_counted_string(sc, "abc", -1)), 0);
    EXPECT_EQ(strlength(mk_empty_string(sc, -2, 'x')), 0);
    in.eval("(define keep #f) (define p #f) (define (churn n size)"
            "  (if (> n 0) (begin (make-string size) (churn (- n 1) size)) 'done))"
            "(gc)");
    size_t base = scheme_string_bytes(sc);
    in.eval("(set! keep (make-string 1000))");
    EXPECT_EQ(scheme_string_bytes(sc), base + 1001);
    // A promise forced to a string must not become a second owner of its text.
    EXPECT_EQ(in.eval("(set! p (delay (make-string 99))) (eq? (force p) (force p))"), "#t");
    in.eval("(set! keep #f) (set! p #f) (gc)");
    EXPECT_EQ(scheme_string_bytes(sc), base);

    // 200 MB of garbage holds a few thousand cells, too few to bring a collection for cells' sake.
    EXPECT_EQ(in.eval("(churn 200 1000000)"), "done");
    EXPECT_LT(scheme_string_bytes(sc), base + STRING_COLLECT_FLOOR + 2000000);

    scheme_set_string_limit(sc, base + (1 << 20));
    EXPECT_EQ(in.eval("(churn 100 100000)"), "done");  // ten times the budget, in turns
    EXPECT_LE(scheme_string_bytes(sc), base + (1 << 20));
    EXPECT_EQ(in.eval("(set! keep (make-string 2000000))"), "Error: No memory! \n");
}

// A collection closes the streams of file ports nobody reaches (flushing the output first) and keeps the current
// string ports, which nothing but the instance refers to.
TEST_F(Memory, CollectionsCloseUnreachableFilePortsAndKeepTheCurrentOnes) {
    TempFile input, output;
    in.feed("(still here)");
    in.start_output();
    pointer p = port_from_filename(sc, input.path.c_str(), port_input);
    ASSERT_NE(p, sc->NIL);
    int fd = fileno(portvalue(p)->rep.stdio.file);
    ASSERT_TRUE(fd_open(fd));
    pointer out = port_from_filename(sc, output.path.c_str(), port_output);
    ASSERT_NE(out, sc->NIL);
    std::fputs("flushed on close", portvalue(out)->rep.stdio.file);
    for (int i = 0; i < 200000; ++i) s_cons(sc, sc->NIL, sc->NIL);  // several collections
    collect(sc);
    EXPECT_FALSE(fd_open(fd));
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(output.contents(), "flushed on close");
    EXPECT_EQ(port_from_filename(sc, "/nonexistent/dir/file", port_input), sc->NIL);
    pointer x = in.read();
    putstr(sc, "out");
    EXPECT_EQ(in.output(), "out");
    EXPECT_EQ(in.print(x), "(still here)");
}

// Reading needs two characters put back ("." then a digit, "#\\" then a delimiter); the stream stays the owner's.
TEST(Ports, LentStreamsReadWithTwoCharactersPutBackAndStayOpen) {
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::fputs("(a . b) .5 #\\( x", f);
    std::rewind(f);
    {
        Interp in;
        scheme_set_input_port_file(in.sc, f);
        for (const char* datum : {"(a . b)", "0.5", "#\\(", "x"}) EXPECT_EQ(in.print(in.read()), datum);
        EXPECT_EQ(in.read(), in.sc->EOF_OBJ);
        scheme_set_output_port_file(in.sc, f);
        in.feed("");
        in.start_output();
        collect(in.sc);  // the file port cells are garbage now
        EXPECT_TRUE(fd_open(fileno(f)));
    }
    EXPECT_GE(std::fputs("still mine", f), 0);
    EXPECT_EQ(std::fclose(f), 0);
}

// What the evaluator does with these the Scheme suite shows; here is what native code relies on besides.
TEST_F(Memory, EnvironmentRedefinitionKeepsTheSlotAndAnInnerFrameShadows) {
    pointer global = sc->global_env, x = mk_symbol(sc, "x");
    scheme_define(sc, global, x, mk_integer(sc, 1));
    pointer global_slot = find_slot_in_env(sc, global, x, 0);
    ASSERT_NE(global_slot, sc->NIL);
    scheme_define(sc, global, x, mk_integer(sc, 2));
    EXPECT_EQ(find_slot_in_env(sc, global, x, 0), global_slot);
    EXPECT_EQ(ivalue(slot_value_in_env(global_slot)), 2);
    EXPECT_EQ(sc->builtin_names->count("x"), 1u);
    EXPECT_EQ(sc->builtin_names->count("car"), 1u);

    new_frame_in_env(sc, global);
    pointer inner = sc->envir;
    ASSERT_TRUE(is_environment(inner));
    EXPECT_EQ(find_slot_in_env(sc, inner, x, 0), sc->NIL);  // this frame only
    EXPECT_EQ(find_slot_in_env(sc, inner, x, 1), global_slot);
    new_slot_in_env(sc, x, mk_integer(sc, 3));
    pointer shadow = find_slot_in_env(sc, inner, mk_symbol(sc, "X"), 1);
    ASSERT_NE(shadow, global_slot);
    set_slot_in_env(sc, shadow, mk_integer(sc, 4));
    collect(sc);
    EXPECT_EQ(ivalue(slot_value_in_env(find_slot_in_env(sc, inner, x, 1))), 4);
    EXPECT_EQ(ivalue(slot_value_in_env(global_slot)), 2);
}

TEST_F(Memory, CheckedAccessorsRaiseIncorrectSchemeObjWithTheirReason) {
    pointer n = mk_integer(sc, 1);
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[&] { pair_car(n); }, "Attempting to access the car of a primitive"},
        {[&] { pair_cdr(n); }, "Attempting to access the cdr of a primitive"},
        {[&] { set_car(n, n); }, "Attempting to set the car of a primitive"},
        {[&] { set_cdr(n, n); }, "Attempting to set the cdr of a primitive"},
        {[&] { symname(n); }, "Attempting to return a string from non-symbol obj"},
        {[&] { string_value(n); }, "Attempting to return a string from a non-string obj"},
        {[&] { charvalue(n); }, "Attempting to return a character from a non-character obj"},
        {[&] { objc_value(n); }, "Attempting to return an objc from a non-objc obj"},
        {[&] { cptr_value(n); }, "Attempting to return a cptr from a non-cptr obj"},
    };
    for (const auto& [call, reason] : cases) {
        try {
            call();
            ADD_FAILURE() << "no exception: " << reason;
        } catch (const PlatformException& e) {
            EXPECT_EQ(e.name(), "IncorrectSchemeOBJ");
            EXPECT_EQ(e.reason(), reason);
        }
    }
}

}  // namespace
}  // namespace omb
