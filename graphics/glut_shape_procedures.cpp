// The glut: shape members of the family, drawn by our own code (graphics/glut_shapes.h): views render offscreen,
// where GLUT itself cannot be initialised.
#include "graphics/gl_call.h"
#include "graphics/glut_shapes.h"

namespace omb {

namespace {

pointer solid_teapot(scheme* sc, pointer args) {
    return gl_call(sc, args, {"glut:solid-teapot", "r", "size"}, [](GLArgs& a) { draw_teapot(a.real(0), true); });
}
pointer wire_teapot(scheme* sc, pointer args) {
    return gl_call(sc, args, {"glut:wire-teapot", "r", "size"}, [](GLArgs& a) { draw_teapot(a.real(0), false); });
}
pointer solid_cube(scheme* sc, pointer args) {
    return gl_call(sc, args, {"glut:solid-cube", "r", "size"}, [](GLArgs& a) { draw_cube(a.real(0), true); });
}
pointer wire_cube(scheme* sc, pointer args) {
    return gl_call(sc, args, {"glut:wire-cube", "r", "size"}, [](GLArgs& a) { draw_cube(a.real(0), false); });
}

pointer sphere(scheme* sc, pointer args, const char* name, bool solid) {
    return gl_call(sc, args, {name, "rii", "radius slices stacks"}, [solid](GLArgs& a) -> pointer {
        const int64_t slices = a.integer(1), stacks = a.integer(2);
        if (slices < 1 || stacks < 1 || slices > SPHERE_DIVISIONS_MAX || stacks > SPHERE_DIVISIONS_MAX)
            return refuse(a, "slices and stacks must be 1 to %d", SPHERE_DIVISIONS_MAX);
        draw_sphere(a.real(0), static_cast<int>(slices), static_cast<int>(stacks), solid);
        return a.sc->T;
    });
}
pointer solid_sphere(scheme* sc, pointer args) { return sphere(sc, args, "glut:solid-sphere", true); }
pointer wire_sphere(scheme* sc, pointer args) { return sphere(sc, args, "glut:wire-sphere", false); }

constexpr GLProcedure PROCEDURES[] = {
    {"glut:solid-teapot", solid_teapot}, {"glut:solid-cube", solid_cube}, {"glut:solid-sphere", solid_sphere},
    {"glut:wire-teapot", wire_teapot},   {"glut:wire-cube", wire_cube},   {"glut:wire-sphere", wire_sphere},
};

}  // namespace

std::span<const GLProcedure> glut_shape_procedures() { return PROCEDURES; }

}  // namespace omb
