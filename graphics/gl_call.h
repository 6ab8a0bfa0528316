// How one member of the gl:/glu:/glut: family runs: its arguments are checked against the member's signature
// before GL is touched (the view first: "First argument must be an opengl canvas"), then the view's context is
// made current and locked for exactly the member's GL call, and given back on every path.
//
// Signature letters, one an argument after the view: i a number read as an integer (truncated toward zero; reals
// are taken, since sizes often come from window sizes, which are reals), r a number (the member narrows it to a
// float or keeps a double), x anything, s a string (Scheme's or an NSString), o an object cell (any class, maybe
// null; the member checks the class), v a vector of numbers or a data object. Letters after '|' are optional.
//
// Threads: any process thread; see CustomOpenGLView::Current.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "graphics/opengl_view.h"
#include "interpreter/scheme.h"

namespace omb {

struct Signature {
    const char* name;
    const char* types;
    const char* usage;  // the arguments after the view, as the error message shows them
};

class GLArgs {
public:
    static constexpr int MAX = 12;
    scheme* sc = nullptr;
    CustomOpenGLView* view = nullptr;
    const char* name = "";

    int count() const { return count_; }
    pointer cell(int i) const { return cells_[i]; }
    double real(int i) const { return rvalue(cells_[i]); }
    float f(int i) const { return static_cast<float>(rvalue(cells_[i])); }
    bool is_int(int i) const { return is_integer(cells_[i]) != 0; }
    // The number truncated toward zero, held within 64 bits (NaN reads as 0).
    int64_t integer(int i) const {
        if (is_integer(cells_[i])) return ivalue(cells_[i]);
        const double d = rvalue(cells_[i]);
        if (std::isnan(d)) return 0;
        if (d >= 9.2e18) return std::numeric_limits<int64_t>::max();
        if (d <= -9.2e18) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(d);
    }
    // GL's integer kinds: enumerations, masks and names wrap as C does; counts and coordinates saturate.
    unsigned e(int i) const { return static_cast<unsigned>(integer(i)); }
    int n(int i) const {
        const int64_t v = integer(i);
        return static_cast<int>(std::clamp<int64_t>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
    }
    Object* object(int i) const { return objc_value(cells_[i]); }

    bool read(scheme* s, pointer args, const Signature& signature);

private:
    pointer cells_[MAX] = {};
    int count_ = 0;
};

// Reports `what` for the member named in `a`, and gives #f to return.
pointer refuse(const GLArgs& a, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Checks, locks, calls `body` (void: the member returns #t; else what body returns), unlocks.
template <class Body>
pointer gl_call(scheme* sc, pointer args, const Signature& signature, Body&& body) {
    GLArgs a;
    if (!a.read(sc, args, signature)) return sc->F;
    CustomOpenGLView::Current current(*a.view);
    if (!current) return sc->F;
    if constexpr (std::is_void_v<std::invoke_result_t<Body&, GLArgs&>>) {
        body(a);
        return sc->T;
    } else {
        return body(a);
    }
}

// ---- values from vectors and data objects -----------------------------------------------------------------------
// Up to 16 floats for a parameter list (light, material, fog): one number, a vector's numbers, or a data object's
// bytes as floats; the rest are 0, so GL never reads past what was given.
struct ParameterValues {
    float values[16] = {};
};
// False, reported, when the cell is none of those.
bool read_parameters(const GLArgs& a, int i, ParameterValues& into);

// Floats for an evaluator's control points: a data object's bytes, or a vector's numbers narrowed.
struct FloatValues {
    const float* values = nullptr;
    size_t count = 0;
    std::vector<float> converted;
};
// False, reported, when the argument is neither.
bool read_floats(const GLArgs& a, int i, FloatValues& into);

// The data object at argument i (NSData or NSMutableData); null, reported, for anything else.
NSData* data_arg(const GLArgs& a, int i);

// The bytes of the string argument i (a Scheme string or an NSString).
const char* string_arg(const GLArgs& a, int i);

// The family's tables, file by file.
struct GLProcedure {
    const char* name;
    foreign_func procedure;
};
std::span<const GLProcedure> opengl_view_procedures();    // opengl_view_procedures.cpp
std::span<const GLProcedure> gl_state_procedures();       // gl_state_procedures.cpp
std::span<const GLProcedure> gl_pixel_procedures();       // gl_pixel_procedures.cpp
std::span<const GLProcedure> gl_array_procedures();       // gl_array_procedures.cpp
std::span<const GLProcedure> gl_shader_procedures();      // gl_shader_procedures.cpp
std::span<const GLProcedure> glu_procedures();            // glu_procedures.cpp
std::span<const GLProcedure> glut_shape_procedures();     // glut_shape_procedures.cpp

}  // namespace omb
