// The glu: members of the family: the camera helpers and error strings of libGLU.
#include <GL/gl.h>
#include <GL/glu.h>

#include "graphics/gl_call.h"

namespace omb {

namespace {

// The eye, centre and up vector are taken as floats and widened back, as the family always has.
pointer look_at(scheme* sc, pointer args) {
    return gl_call(sc, args, {"glu:look-at", "rrrrrrrrr", "eye-x eye-y eye-z centre-x centre-y centre-z up-x up-y up-z"},
                   [](GLArgs& a) {
                       gluLookAt(a.f(0), a.f(1), a.f(2), a.f(3), a.f(4), a.f(5), a.f(6), a.f(7), a.f(8));
                   });
}
pointer perspective(scheme* sc, pointer args) {
    return gl_call(sc, args, {"glu:perspective", "rrrr", "fovy aspect near far"},
                   [](GLArgs& a) { gluPerspective(a.real(0), a.real(1), a.real(2), a.real(3)); });
}
pointer error_string(scheme* sc, pointer args) {
    return gl_call(sc, args, {"glu:error-string", "i", "code"}, [](GLArgs& a) {
        const auto* text = reinterpret_cast<const char*>(gluErrorString(a.e(0)));
        return mk_string(a.sc, text ? text : "unknown error");
    });
}

constexpr GLProcedure PROCEDURES[] = {
    {"glu:look-at", look_at},
    {"glu:error-string", error_string},
    {"glu:perspective", perspective},
};

}  // namespace

std::span<const GLProcedure> glu_procedures() { return PROCEDURES; }

}  // namespace omb
