// Cells, vectors, the collector, ports as resources, environments and the checked accessors native code uses.
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

using test::Counted;
using test::Interp;
using test::LogCapture;
using test::TempFile;

// Takes every free cell, so a cell wrongly left on the free list gets overwritten where a test can see it.
void fill_free_cells(scheme* sc) {
    for (long n = sc->free_count; n > 0; --n) s_cons(sc, sc->F, sc->F);
}

void collect(scheme* sc) { gc(sc, sc->NIL, sc->NIL); }

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

// ---- vectors ---------------------------------------------------------------------------------------------------

TEST(Vectors, TakeAHeaderAndHalfACellPerElementAndTheLargestFitsOneSegment) {
    LogCapture log;
    Interp in;
    scheme* sc = in.sc;
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

// ---- the collector ---------------------------------------------------------------------------------------------

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
        for (int i = 0; i < 5; ++i) EXPECT_EQ(objc_value(vector_elem(v, i))->description(), "element " + std::to_string(i));
        EXPECT_STREQ(string_value(vector_elem(v, 5)), "kept");
        EXPECT_EQ(objc_value(c)->description(), "twice");
        unprotect_cell(sc, v);
        unprotect_cell(sc, c);
        collect(sc);
        EXPECT_EQ(elements, 5);
        EXPECT_EQ(twice, 1);
        collect(sc);
        unprotect_cell(sc, c);  // a stray release is harmless
        EXPECT_TRUE(sc->protected_cells->empty());
        // A cell still protected when the instance ends is released with it, not leaked.
        protect_cell(sc, mk_objc(sc, new Counted(&held_to_the_end)));
    }
    EXPECT_EQ(elements, 5);
    EXPECT_EQ(twice, 1);
    EXPECT_EQ(held_to_the_end, 1);
}

TEST(Collector, GrowsWhenBlockedOrWhenACollectionRecoversLittle) {
    int destroyed = 0;
    {
        LogCapture log;
        Interp in;
        scheme* sc = in.sc;
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
        collect(sc);
        EXPECT_EQ(destroyed, 1);
    }
    Interp in;
    scheme* sc = in.sc;
    int segments = sc->last_cell_seg;
    // Everything reachable but 100 cells: a collection that recovers so few adds a segment as well.
    sc->gc_enabled = 0;
    pointer kept = sc->NIL;
    while (sc->free_count > 100) kept = s_cons(sc, sc->NIL, kept);
    protect_cell(sc, kept);
    sc->gc_enabled = 1;
    while (sc->free_count > 0) s_cons(sc, sc->NIL, sc->NIL);
    s_cons(sc, sc->NIL, sc->NIL);
    EXPECT_EQ(sc->last_cell_seg, segments + 1);
    EXPECT_GE(sc->free_count, CELL_SEGSIZE);
    unprotect_cell(sc, kept);
}

// Vectors need runs of adjacent free cells; the sweep leaves the free list in address order so they stay findable.
TEST(Collector, SweepRestoresAddressOrderAndVectorsFindRoomInFragmentedMemory) {
    Interp in;
    scheme* sc = in.sc;
    // Memory a segment has not handed out yet counts as free without being on the list.
    auto untouched = [sc] {
        long n = 0;
        for (int i = 0; i <= sc->last_cell_seg; ++i) n += sc->cell_seg[i] + CELL_SEGSIZE - sc->seg_fresh[i];
        return n;
    };
    auto ascending = [sc, untouched] {
        long n = 0;
        for (pointer p = sc->free_cell, prev = nullptr; p != sc->NIL; prev = p, p = cdr(p), ++n)
            if (prev && p <= prev) return false;
        return n + untouched() == sc->free_count;
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

TEST(Collector, VerboseCollectionReportsToTheOutput) {
    Interp in;
    in.start_output();
    in.sc->gc_verbose = 1;
    collect(in.sc);
    EXPECT_EQ(in.output(), "gc...gc done: " + std::to_string(in.sc->free_count) + " cells were recovered.\n");
}

// Marking is iterative: a recursive marker overflows the native stack on a long list of distinct pairs or a deep
// car nesting, both built in one go as a large import does.
TEST(Collector, MillionElementListAndMillionLevelNestingSurvive) {
    Interp in;
    scheme* sc = in.sc;
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
    for (pointer p = list; p != sc->NIL; p = cdr(p), ++count) intact = intact && is_pair(car(p)) && car(car(p)) == sc->T;
    for (pointer p = nest; p != sc->NIL; p = car(p), ++levels) intact = intact && is_pair(p) && cdr(p) == sc->T;
    EXPECT_EQ(count, n);
    EXPECT_EQ(levels, n);
    EXPECT_TRUE(intact);
    unprotect_cell(sc, list);
    unprotect_cell(sc, nest);
    collect(sc);
    EXPECT_GT(sc->free_count, 3L * n);
}

// Running out of cells hands out the sink; nothing given to the interpreter meanwhile may leak.
int segments_left = 0;
void* limited_alloc(size_t n) {
    if (n == SEGMENT_BLOCK_BYTES) {
        if (segments_left == 0) return nullptr;
        --segments_left;
    }
    return std::malloc(n);
}

TEST(Collector, ExhaustionHandsOutTheSinkAndLeaksNothing) {
    segments_left = 2;
    EXPECT_EQ(scheme_init_new_custom_alloc(limited_alloc, std::free), nullptr);
    segments_left = 3;
    scheme* sc = scheme_init_new_custom_alloc(limited_alloc, std::free);
    ASSERT_NE(sc, nullptr);
    sc->gc_enabled = 0;
    while (sc->free_count > 0) s_cons(sc, sc->NIL, sc->NIL);
    EXPECT_EQ(s_cons(sc, sc->NIL, sc->NIL), sc->sink);
    EXPECT_TRUE(sc->no_memory);
    EXPECT_EQ(mk_integer(sc, 5), sc->sink);
    int destroyed = 0;
    EXPECT_EQ(mk_objc(sc, new Counted(&destroyed)), sc->sink);
    EXPECT_EQ(destroyed, 1);
    pointer s = mk_string(sc, "no room");
    EXPECT_EQ(s, sc->sink);
    EXPECT_EQ(mk_vector(sc, 3), sc->F);
    EXPECT_TRUE(sc->no_memory);
    scheme_deinit(sc);
    std::free(sc);
}

// A vector with no room at the heap's limit ends the evaluation: handing back #f let a loop that makes vectors
// try again for ever, each try a full collection.
TEST(Collector, VectorsWithNoRoomAtTheLimitEndInNoMemory) {
    segments_left = 8;
    scheme* sc = scheme_init_new_custom_alloc(limited_alloc, std::free);
    ASSERT_NE(sc, nullptr);
    char out[256] = {};
    scheme_set_output_port_string(sc, out, out + 255);
    scheme_load_string(sc, "(define (loop l) (loop (cons (make-vector 39998) l))) (loop '())");
    EXPECT_EQ(sc->retcode, -1);
    EXPECT_STREQ(out, "Error: No memory! \n");
    scheme_load_string(sc, "(vector-length (make-vector 39998))");
    EXPECT_EQ(sc->retcode, 0);
    EXPECT_EQ(ivalue(sc->value), 39998);
    scheme_deinit(sc);
    std::free(sc);
}

// A negative length (a failed read() passed on by native code) gives an empty string, never a negative length.
TEST(Strings, NegativeLengthGivesAnEmptyString) {
    Interp in;
    EXPECT_EQ(strlength(mk_counted_string(in.sc, "abc", -1)), 0);
    EXPECT_EQ(strlength(mk_empty_string(in.sc, -2, 'x')), 0);
}

// Strings hold their bytes (text and terminator) from allocation to collection. Garbage strings are collected as
// they pile up, and always before the budget is declared spent.
TEST(Strings, BytesAreCountedUntilCollectedAndOnlyLiveStringsSpendTheBudget) {
    Interp in;
    scheme* sc = in.sc;
    in.start_output();
    scheme_load_string(sc, "(define keep #f) (define p #f) (define (churn n size)"
                           "  (if (> n 0) (begin (make-string size) (churn (- n 1) size)) 'done))"
                           "(gc)");
    size_t base = scheme_string_bytes(sc);
    scheme_load_string(sc, "(set! keep (make-string 1000))");
    EXPECT_EQ(scheme_string_bytes(sc), base + 1001);
    // A promise forced to a string must not become a second owner of its text.
    scheme_load_string(sc, "(set! p (delay (make-string 99))) (eq? (force p) (force p))");
    EXPECT_EQ(sc->value, sc->T);
    scheme_load_string(sc, "(set! keep #f) (set! p #f) (gc)");
    EXPECT_EQ(scheme_string_bytes(sc), base);

    // 200 MB of garbage holds a few thousand cells, too few to bring a collection for cells' sake.
    scheme_load_string(sc, "(churn 200 1000000)");
    EXPECT_EQ(sc->retcode, 0);
    EXPECT_LT(scheme_string_bytes(sc), base + STRING_COLLECT_FLOOR + 2000000);

    scheme_set_string_limit(sc, base + (1 << 20));
    scheme_load_string(sc, "(churn 100 100000)");  // ten times the budget, in turns
    EXPECT_EQ(sc->retcode, 0);
    EXPECT_LE(scheme_string_bytes(sc), base + (1 << 20));
    scheme_load_string(sc, "(set! keep (make-string 2000000))");
    EXPECT_EQ(sc->retcode, -1);
    EXPECT_EQ(in.output(), "Error: No memory! \n");
}

// ---- ports as resources ----------------------------------------------------------------------------------------

TEST(Ports, UnreachableFilePortsCloseTheirStreams) {
    TempFile input, output;
    Interp in;
    scheme* sc = in.sc;
    pointer p = port_from_filename(sc, input.path.c_str(), port_input);
    ASSERT_NE(p, sc->NIL);
    int fd = fileno(portvalue(p)->rep.stdio.file);
    ASSERT_TRUE(fd_open(fd));
    pointer out = port_from_filename(sc, output.path.c_str(), port_output);
    ASSERT_NE(out, sc->NIL);
    std::fputs("flushed on close", portvalue(out)->rep.stdio.file);
    collect(sc);
    EXPECT_FALSE(fd_open(fd));
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(output.contents(), "flushed on close");
    EXPECT_EQ(port_from_filename(sc, "/nonexistent/dir/file", port_input), sc->NIL);
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
        EXPECT_EQ(in.print(in.read()), "(a . b)");
        EXPECT_EQ(in.print(in.read()), "0.5");
        EXPECT_EQ(in.print(in.read()), "#\\(");
        EXPECT_EQ(in.print(in.read()), "x");
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

TEST(Ports, CurrentStringPortsSurviveCollection) {
    Interp in;
    scheme* sc = in.sc;
    in.feed("(still here)");
    in.start_output();
    for (int i = 0; i < 200000; ++i) s_cons(sc, sc->NIL, sc->NIL);  // several collections
    collect(sc);
    pointer x = in.read();
    putstr(sc, "out");
    EXPECT_EQ(in.output(), "out");
    EXPECT_EQ(in.print(x), "(still here)");
}

// ---- environments and accessors -------------------------------------------------------------------------------------

TEST(Environments, FramesSlotsAndShadowing) {
    Interp in;
    scheme* sc = in.sc;
    pointer global = sc->global_env;
    pointer x = mk_symbol(sc, "x");
    scheme_define(sc, global, x, mk_integer(sc, 1));
    pointer global_slot = find_slot_in_env(sc, global, x, 0);
    ASSERT_NE(global_slot, sc->NIL);
    scheme_define(sc, global, x, mk_integer(sc, 2));
    EXPECT_EQ(find_slot_in_env(sc, global, x, 0), global_slot);  // redefining reuses the slot
    EXPECT_EQ(ivalue(slot_value_in_env(global_slot)), 2);
    EXPECT_EQ(sc->builtin_names->count("x"), 1u);
    EXPECT_EQ(sc->builtin_names->count("car"), 1u);
    EXPECT_EQ(slot_value_in_env(find_slot_in_env(sc, global, mk_symbol(sc, "else"), 0)), sc->T);

    new_frame_in_env(sc, global);
    pointer inner = sc->envir;
    ASSERT_TRUE(is_environment(inner));
    EXPECT_EQ(find_slot_in_env(sc, inner, x, 0), sc->NIL);  // this frame only
    EXPECT_EQ(find_slot_in_env(sc, inner, x, 1), global_slot);
    new_slot_in_env(sc, x, mk_integer(sc, 3));
    pointer shadow = find_slot_in_env(sc, inner, mk_symbol(sc, "X"), 1);
    ASSERT_NE(shadow, global_slot);
    EXPECT_EQ(ivalue(slot_value_in_env(shadow)), 3);
    set_slot_in_env(sc, shadow, mk_integer(sc, 4));
    collect(sc);
    EXPECT_EQ(ivalue(slot_value_in_env(find_slot_in_env(sc, inner, x, 1))), 4);
    EXPECT_EQ(ivalue(slot_value_in_env(global_slot)), 2);
    EXPECT_EQ(find_slot_in_env(sc, inner, mk_symbol(sc, "unbound"), 1), sc->NIL);

    // Many globals, each found again in its hashed bucket after a collection.
    for (int i = 0; i < 3000; ++i) {
        pointer sym = mk_symbol(sc, ("G" + std::to_string(i)).c_str());
        scheme_define(sc, global, sym, mk_integer(sc, i));
    }
    collect(sc);
    for (int i = 0; i < 3000; ++i) {
        pointer slot = find_slot_in_env(sc, inner, mk_symbol(sc, ("g" + std::to_string(i)).c_str()), 1);
        ASSERT_NE(slot, sc->NIL) << i;
        EXPECT_EQ(ivalue(slot_value_in_env(slot)), i);
    }
}

TEST(CheckedAccessors, WrongTypesRaiseIncorrectSchemeObjWithTheirReason) {
    Interp in;
    scheme* sc = in.sc;
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
