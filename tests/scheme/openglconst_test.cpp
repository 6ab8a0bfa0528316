// openglconst.scm against the C headers it is generated from: values agree (plain, hexadecimal, unsigned, negative,
// from each of the three headers), and the file is nothing but definitions of distinct *gl...* integers.
#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glu.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

#include "tests/interpreter/interpreter_support.h"

namespace omb {
namespace {

using test::global;
using test::Interp;

std::string file_text() {
    std::ifstream in(std::string(OMBREL_SCHEME_DIR) + "/openglconst.scm");
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(OpenGLConstants, LoadWithTheValuesOfTheHeaders) {
    Interp in;
    const std::string text = file_text();
    ASSERT_FALSE(text.empty());
    in.eval(text);
    ASSERT_EQ(in.sc->retcode, 0) << in.output();
    const struct {
        const char* name;
        int64_t value;
    } expected[] = {
        {"*gl-color-buffer-bit*", GL_COLOR_BUFFER_BIT},  // hexadecimal in gl.h
        {"*gl-triangles*", GL_TRIANGLES},
        {"*gl-light0*", GL_LIGHT0},
        {"*gl-map2-vertex-3*", GL_MAP2_VERTEX_3},
        {"*gl-all-attrib-bits*", GL_ALL_ATTRIB_BITS},  // the widest of 32 bits: stays positive
        {"*gl-fragment-shader*", GL_FRAGMENT_SHADER},  // glext.h
        {"*gl-invalid-index*", GL_INVALID_INDEX},      // written with a suffix
        {"*gl-next-buffer-nv*", GL_NEXT_BUFFER_NV},    // negative
        {"*gl-false*", GL_FALSE},
        {"*glu-tess-winding-odd*", GLU_TESS_WINDING_ODD},
        {"*glu-version*", GLU_VERSION},
        {"*glu-true*", GLU_TRUE},
    };
    for (const auto& [name, value] : expected) {
        pointer v = global(in.sc, name);
        ASSERT_NE(v, nullptr) << name;
        ASSERT_TRUE(is_integer(v)) << name;
        EXPECT_EQ(ivalue(v), value) << name;
    }
    // Feature-test macros and values too wide for the interpreter's integers stay out.
    EXPECT_EQ(global(in.sc, "*gl-version-1-1*"), nullptr);
    EXPECT_EQ(global(in.sc, "*gl-arb-multitexture*"), nullptr);
    EXPECT_EQ(global(in.sc, "*gl-timeout-ignored*"), nullptr);
    EXPECT_EQ(global(in.sc, "*glu-tess-max-coord*"), nullptr);
}

TEST(OpenGLConstants, DefineOnlyDistinctStarredGlIntegers) {
    Interp in;
    const std::string text = file_text();
    in.feed(text);
    const std::regex name_form("\\*glu?-[a-z0-9-]+\\*");
    std::set<std::string> names;
    size_t forms = 0;
    for (pointer form = in.read(); form != in.sc->EOF_OBJ; form = in.read(), ++forms) {
        ASSERT_EQ(in.sc->retcode, 0) << "after form " << forms;
        ASSERT_TRUE(is_pair(form) && list_length(in.sc, form) == 3) << in.print(form);
        pointer head = pair_car(form), name = pair_car(pair_cdr(form)), value = pair_car(pair_cdr(pair_cdr(form)));
        ASSERT_TRUE(is_symbol(head) && std::string(symname(head)) == "define") << in.print(form);
        ASSERT_TRUE(is_symbol(name) && std::regex_match(symname(name), name_form)) << in.print(form);
        ASSERT_TRUE(is_integer(value)) << in.print(form);
        EXPECT_TRUE(names.insert(symname(name)).second) << "defined twice: " << symname(name);
    }
    // Every line that starts a definition was read as one, and there are a few thousand of them.
    size_t lines = 0;
    for (size_t at = text.find("\n(define "); at != std::string::npos; at = text.find("\n(define ", at + 1)) ++lines;
    EXPECT_EQ(forms, lines);
    EXPECT_GT(forms, 3000u);
}

}  // namespace
}  // namespace omb
