// The cell renderer behind eval replies, printed output and error reports: every kind of cell, and data that would
// never end (circular) or would overflow a recursive walk (deep).
#include <unistd.h>

#include <sstream>
#include <string>

#include "interpreter/cell_renderer.h"
#include "interpreter_support.h"

namespace omb {
namespace {

using test::Counted;

std::string render(scheme* sc, pointer x, bool extended = false) {
    std::ostringstream os;
    printSchemeCell(sc, os, x, extended);
    return os.str();
}

std::string address(const void* p) {
    std::ostringstream os;
    os << p;
    return os.str();
}

using Renderer = test::InterpTest;

TEST_F(Renderer, AtomsListsAndRealsWithSixSignificantDigits) {
    const std::pair<const char*, const char*> cases[] = {
        {"\"say \\\"hi\\\"\\n\"", "\"say \"hi\"\n\""},  // no escapes
        {"Sym", "sym"},   {"#\\A", "65"} /* characters as their codes */, {"()", "NIL"},   {"#t", "#t"},
        {"#f", "#f"},     {"42", "42"},          {"-1/2", "1/-2"},          {"(1 2 3)", "(1 2 3)"},
        {"(1 . 2)", "(1 . 2)"},                  {"(1 2 . 3)", "(1 2 . 3)"}, {"(1 () (a \"b\"))", "(1 NIL (a \"b\"))"},
        {"'x", "(quote x)"},                     {"#(1 (2) #())", "#(1 (2) #())"},
        {"2.0", "2"},     {"0.1", "0.1"},        {"0.3333333333333333", "0.333333"},
        {"1234567.0", "1.23457e+06"},            {"1e21", "1e+21"},
    };
    for (const auto& [text, rendered] : cases) EXPECT_EQ(render(sc, in.read(text)), rendered) << text;
    EXPECT_EQ(render(sc, sc->inport), "#<PORT>");
    std::ostringstream body;
    printSchemeCons(sc, body, in.read("(1 (2) . 3)"), false);
    EXPECT_EQ(body.str(), "1 (2) . 3");

    // Cells no datum should be: none crashes the renderer.
    EXPECT_EQ(render(sc, nullptr), "-ERROR BAD POINTER-");
    cell bad{}, freed{};  // a freed cell is what a swept one looks like
    bad._flag = 20;       // no such type
    EXPECT_EQ(render(sc, &bad), "");
    EXPECT_EQ(render(sc, &freed), "UNKOWN (GC'd?)");
    EXPECT_EQ(render(sc, sc->EOF_OBJ), "#<EOF>");
    log.flush();
    EXPECT_EQ(log.errors, std::vector<std::string>{":ERROR: Bad cell type - not printing\n"});
}

TEST_F(Renderer, VectorsAboveAThousandElementsAreSummarised) {
    EXPECT_EQ(render(sc, mk_vector(sc, 1001)), "#( -- 1001 elements -- )");
    pointer v = mk_vector(sc, 1000);
    protect_cell(sc, v);
    std::string expected = "#(";
    for (int i = 0; i < 1000; ++i) {
        set_vector_elem(v, i, mk_integer(sc, i));
        expected += (i ? " " : "") + std::to_string(i);
    }
    EXPECT_EQ(render(sc, v), expected + ")");
    unprotect_cell(sc, v);
}

TEST_F(Renderer, ProceduresEnvironmentsAndNativeReferences) {
    pointer car_proc = test::global(sc, "car");
    EXPECT_EQ(render(sc, car_proc), "#<PROC>");
    std::string extended_proc = render(sc, car_proc, true);
    EXPECT_EQ(extended_proc.rfind("#<PROC><<<", 0), 0u) << extended_proc;
    EXPECT_EQ(extended_proc.substr(extended_proc.size() - 3), ">>>");

    pointer ff = mk_foreign_func(sc, [](scheme* s, pointer) { return s->T; });
    EXPECT_EQ(render(sc, ff), "#<FOREIGN>");
    EXPECT_EQ(render(sc, ff, true).rfind("#<FOREIGN><<<", 0), 0u);

    std::string env = "#<ENVIRONMENT " + address(sc->global_env) + ">";
    EXPECT_EQ(render(sc, sc->global_env), env);
    EXPECT_EQ(env.rfind("#<ENVIRONMENT 0x", 0), 0u);

    pointer code = in.read("((x) x)");
    protect_cell(sc, code);
    pointer closure = mk_closure(sc, code, sc->global_env);
    unprotect_cell(sc, code);
    EXPECT_EQ(render(sc, closure), "#<CLOSURE " + address(closure) + ">");
    EXPECT_EQ(render(sc, closure, true), "#<CLOSURE " + address(closure) + "><<<((x) x) . " + env + ">>>");
    // The extended form reaches closures inside lists; the short form does not.
    pointer list = s_cons(sc, closure, sc->NIL);
    EXPECT_EQ(render(sc, list), "(#<CLOSURE " + address(closure) + ">)");
    EXPECT_NE(render(sc, list, true).find("<<<((x) x)"), std::string::npos);

    pointer k = s_cons(sc, sc->NIL, sc->NIL);
    k->_flag = T_CONTINUATION;
    EXPECT_EQ(render(sc, k), "#<CONTINUATION>");
    EXPECT_EQ(render(sc, mk_cptr(sc, reinterpret_cast<void*>(0x1234))), "#<CPTR: 0x1234>");
    EXPECT_EQ(render(sc, mk_objc(sc, new Counted(&destroyed, "a synth voice"))), "#<OBJC: a synth voice>");
}

// A circular list must give a bounded reply, not hang the process that renders it; a deep one must not overflow
// the native stack.
TEST_F(Renderer, CircularListsEndInEllipsisAndAMillionLevelsRender) {
    alarm(120);
    pointer a = in.read("(1 2 3)");
    cdr_ref(cddr(a)) = a;
    std::string out = render(sc, a);
    alarm(0);
    EXPECT_EQ(out.rfind("(1 2 3 1 2 3", 0), 0u);
    EXPECT_EQ(out.substr(out.size() - 4), " ...");

    pointer self = s_cons(sc, sc->NIL, sc->NIL);
    car_ref(self) = self;
    EXPECT_EQ(render(sc, self).substr(0, 3), "(((");

    const int depth = 1000000;
    sc->gc_enabled = 0;
    pointer x = sc->NIL;
    for (int i = 0; i < depth; ++i) x = s_cons(sc, x, sc->NIL);
    sc->gc_enabled = 1;
    const std::string deep = render(sc, x);
    ASSERT_EQ(deep.size(), 2u * depth + 3);  // the innermost pair is (NIL)
    EXPECT_EQ(deep.substr(depth - 2, 6), "((NIL)");
    EXPECT_EQ(deep.substr(deep.size() - 3), ")))");
}

}  // namespace
}  // namespace omb
