// "gl:make-opengl", "gl:open-opengl", "gl:close-opengl", "gl:update-backing-image" and "glut:swap-buffers".
#include <GL/gl.h>

#include <vector>

#include "graphics/gl_call.h"
#include "platform/log_bridge.h"

namespace omb {

namespace {

constexpr double DEFAULT_X = 935, DEFAULT_Y = 100;

pointer make_opengl(scheme* sc, pointer args) {
    std::vector<int64_t> attributes;
    pointer how = is_pair(args) ? pair_car(args) : sc->NIL;
    if (args == sc->NIL) {
        CPPBridge::log("Without Multisampling");
        attributes.assign(std::begin(pixel_attributes::PLAIN), std::end(pixel_attributes::PLAIN));
    } else if (how == sc->T) {
        CPPBridge::log("With Multisampling");
        attributes.assign(std::begin(pixel_attributes::MULTISAMPLE), std::end(pixel_attributes::MULTISAMPLE));
    } else if (is_vector(how)) {
        CPPBridge::log("Custom OpenGL Context");
        for (int64_t i = 0; i < vector_length(how); ++i) {
            pointer code = vector_elem(how, static_cast<int>(i));
            if (!is_integer(code)) {
                CPPBridge::error("Bad arguments for make-opengl: element %lld of the attributes is not an integer",
                                 static_cast<long long>(i));
                return sc->F;
            }
            attributes.push_back(ivalue(code));
        }
    } else {
        CPPBridge::error("Bad arguments for make-opengl");
        return sc->F;
    }
    const std::optional<PixelFormat> format = pixel_attributes::parse(attributes);
    if (!format) {
        CPPBridge::error("Bad pixel format for OpenGL context:  Did you remember to place a 0 as the last element?\n");
        return mk_objc(sc, nullptr);
    }
    return mk_objc(sc, make_object<CustomOpenGLView>(*format).release());
}

CustomOpenGLView* view_arg(scheme* sc, pointer args) {
    CustomOpenGLView* view = is_pair(args) ? opengl_view_of(pair_car(args)) : nullptr;
    if (!view) CPPBridge::error("First argument must be an opengl canvas");
    (void)sc;
    return view;
}

bool finite_number(pointer p) { return is_number(p) && std::isfinite(rvalue(p)); }

// A list of exactly four finite numbers.
bool four_numbers(pointer list, CanvasRect& into) {
    double v[4];
    for (double& d : v) {
        if (!is_pair(list) || !finite_number(pair_car(list))) return false;
        d = rvalue(pair_car(list));
        list = pair_cdr(list);
    }
    if (is_pair(list)) return false;
    into = {v[0], v[1], v[2], v[3]};
    return true;
}

pointer open_opengl(scheme* sc, pointer args) {
    CustomOpenGLView* view = view_arg(sc, args);
    if (!view) return sc->F;
    pointer rest = pair_cdr(args);
    if (!is_pair(rest)) return sc->T;
    pointer how = pair_car(rest);
    pointer after = is_pair(pair_cdr(rest)) ? pair_car(pair_cdr(rest)) : sc->NIL;
    if (how == sc->T) return view->open_view({}, true, is_integer(after) ? static_cast<int>(ivalue(after)) : 0) ? sc->T : sc->F;
    CanvasRect frame;
    if (four_numbers(how, frame)) return view->open_view(frame, false, 0) ? sc->T : sc->F;
    if (finite_number(how) && finite_number(after))
        return view->open_view({DEFAULT_X, DEFAULT_Y, rvalue(how), rvalue(after)}, false, 0) ? sc->T : sc->F;
    return sc->T;
}

pointer close_opengl(scheme* sc, pointer args) {
    CustomOpenGLView* view = view_arg(sc, args);
    if (!view) return sc->F;
    view->close_view();
    return sc->T;
}

pointer update_backing_image(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:update-backing-image", "", "nothing"},
                   [](GLArgs& a) { a.view->update_backing_image(); });
}

// Views are not windows of their own: the frame is finished, a multisampled one resolved, and copied out for the
// window and for "gl:get-image-from-opengl".
pointer swap_buffers(scheme* sc, pointer args) {
    return gl_call(sc, args, {"glut:swap-buffers", "", "nothing"}, [](GLArgs& a) {
        glFlush();
        a.view->update_backing_image();
    });
}

constexpr GLProcedure PROCEDURES[] = {
    {"gl:make-opengl", make_opengl},
    {"gl:open-opengl", open_opengl},
    {"gl:close-opengl", close_opengl},
    {"gl:update-backing-image", update_backing_image},
    {"glut:swap-buffers", swap_buffers},
};

}  // namespace

std::span<const GLProcedure> opengl_view_procedures() { return PROCEDURES; }

}  // namespace omb
