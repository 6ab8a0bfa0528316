// Shared pieces of the vector tests: an interpreter with the standard definitions and the vector procedures bound,
// a look at a vector's elements that tells reals from other numbers, and a check that a refused call changed
// nothing.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "native/native_scheme.h"
#include "tests/interpreter/interpreter_support.h"

namespace omb::test {

class VectorTest : public InterpTest {
protected:
    void SetUp() override {
        ASSERT_NE(in.eval("(load \"" OMBREL_SCHEME_DIR "/init.scm\")"), "#f");
        for (NativeTable table : {memory_procedures(), vector_math_procedures(), vector_data_procedures()})
            for (const NativeProcedure& p : table) define(p.name, mk_foreign_func(sc, p.procedure));
    }
    void TearDown() override { NativeScheme::RECYCLE_CELLS = false; }

    std::string ev(const std::string& text) { return in.eval(text); }
    void define(const char* name, pointer value) { scheme_define(sc, sc->global_env, mk_symbol(sc, name), value); }
    pointer global(const char* name) {
        return slot_value_in_env(find_slot_in_env(sc, sc->global_env, mk_symbol(sc, name), 1));
    }

    // The elements of the vector `text` evaluates to: reals as %g, anything else marked with # ("2 0.5 #3").
    std::string reals(const std::string& text) {
        ev("(define tested " + text + ")");
        pointer v = global("tested");
        if (!is_vector(v)) return "not a vector: " + in.print(v);
        std::string out;
        for (int i = 0; i < vector_length(v); ++i) {
            pointer e = vector_elem(v, i);
            char real[32];
            std::snprintf(real, sizeof real, "%g", is_real(e) ? rvalue(e) : 0.0);
            out += (i ? " " : "") + (is_real(e) ? std::string(real) : "#" + in.print(e));
        }
        return out;
    }

    // The call answers #f with `message` in the log, and the vectors named in `watched` stay as they were.
    void refused(const std::string& call, const std::string& message, std::vector<const char*> watched = {"a"}) {
        std::vector<std::string> before;
        for (const char* name : watched) before.push_back(reals(name));
        log.clear();
        EXPECT_EQ(ev(call), "#f") << call;
        EXPECT_TRUE(log.saw(log.errors, message, std::chrono::milliseconds(0))) << call << " should say: " << message;
        for (size_t i = 0; i < watched.size(); ++i)
            EXPECT_EQ(reals(watched[i]), before[i]) << call << " changed " << watched[i];
    }

    // Cells taken from the free list by evaluating `text`, with the collector held off so none come back.
    long cells_allocated(const std::string& text) {
        sc->gc_enabled = 0;
        const long free_before = sc->free_count;
        const int segments_before = sc->last_cell_seg;
        ev(text);
        const long taken = free_before - sc->free_count + (sc->last_cell_seg - segments_before) * long{CELL_SEGSIZE};
        sc->gc_enabled = 1;
        return taken;
    }
};

}  // namespace omb::test
