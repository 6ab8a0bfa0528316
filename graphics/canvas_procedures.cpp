#include "graphics/canvas_procedures.h"

#include <cmath>

#include "graphics/bitmap_image.h"
#include "graphics/draw_pipeline.h"
#include "graphics/graphic_engine.h"
#include "graphics/graphic_view.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

constexpr const char* BAD_CANVAS = "Bad Canvas: Invalid View Index";
constexpr const char* BAD_RECT = "open graphic expects a list of 4 values (x y w h)";
constexpr double DEFAULT_X = 935, DEFAULT_Y = 100, DEFAULT_SIDE = 600;

pointer arg(scheme* sc, pointer args, int i) {
    for (; i > 0 && is_pair(args); --i) args = pair_cdr(args);
    return is_pair(args) ? pair_car(args) : sc->NIL;
}

bool has_arg(pointer args, int i) {
    for (; i > 0 && is_pair(args); --i) args = pair_cdr(args);
    return is_pair(args);
}

GraphicView* canvas_arg(scheme* sc, pointer args) {
    GraphicView* view = canvas_of(arg(sc, args, 0));
    if (!view) CPPBridge::error("%s", BAD_CANVAS);
    return view;
}

bool finite_number(pointer p) { return is_number(p) && std::isfinite(rvalue(p)); }

// x, y, width, height from the first four elements of a list.
bool read_rect(pointer list, CanvasRect& into) {
    double v[4];
    for (double& d : v) {
        if (!is_pair(list) || !finite_number(pair_car(list))) return false;
        d = rvalue(pair_car(list));
        list = pair_cdr(list);
    }
    into = {v[0], v[1], v[2], v[3]};
    return true;
}

int screen_arg(scheme* sc, pointer args, int i) {
    pointer p = arg(sc, args, i);
    return is_integer(p) ? static_cast<int>(ivalue(p)) : 0;
}

pointer wrap(scheme* sc, Ref<Object> object) { return mk_objc(sc, object.release()); }

pointer truth(scheme* sc, bool ok) { return ok ? sc->T : sc->F; }

// ---- making, opening, shaping ------------------------------------------------------------------------------------

pointer make_canvas(scheme* sc, pointer args) {
    CanvasRect frame{DEFAULT_X, DEFAULT_Y, DEFAULT_SIDE, DEFAULT_SIDE};
    bool fullscreen = false;
    int screen = 0;
    pointer first = arg(sc, args, 0);
    if (args == sc->NIL) {
    } else if (first == sc->T) {
        fullscreen = true;
        screen = screen_arg(sc, args, 1);
    } else if (is_pair(first)) {
        if (!read_rect(first, frame)) {
            CPPBridge::error("%s", BAD_RECT);
            return sc->F;
        }
    } else if (is_number(first)) {
        if (!finite_number(arg(sc, args, 1))) {
            CPPBridge::error("gfx:make-canvas expects a width and a height");
            return sc->F;
        }
        frame.width = rvalue(first);
        frame.height = rvalue(arg(sc, args, 1));
    } else {
        return mk_objc(sc, nullptr);
    }
    auto view = make_object<GraphicView>();
    if (!view->open(frame, fullscreen, screen)) return sc->F;
    return wrap(sc, std::move(view));
}

pointer open_canvas(scheme* sc, pointer args) {
    GraphicView* view = canvas_arg(sc, args);
    if (!view) return sc->F;
    if (!has_arg(args, 1)) return sc->T;
    pointer how = arg(sc, args, 1);
    if (how == sc->T) return truth(sc, view->open({}, true, screen_arg(sc, args, 2)));
    CanvasRect frame;
    if (!read_rect(how, frame)) {
        CPPBridge::error("%s", BAD_RECT);
        return sc->F;
    }
    return truth(sc, view->open(frame, false, 0));
}

pointer close_canvas(scheme* sc, pointer args) {
    GraphicView* view = canvas_arg(sc, args);
    if (!view) return sc->F;
    view->close();
    return sc->T;
}

pointer set_canvas_size(scheme* sc, pointer args) {
    GraphicView* view = canvas_arg(sc, args);
    if (!view) return sc->F;
    pointer w = arg(sc, args, 1), h = arg(sc, args, 2);
    if (!finite_number(w) || !finite_number(h)) {
        CPPBridge::error("gfx:set-canvas-size expects a canvas, a width and a height");
        return sc->F;
    }
    if (!GraphicView::valid_size(rvalue(w), rvalue(h))) return sc->F;  // and the canvas stays as it was
    view->close();
    return truth(sc, view->open({view->x(), view->y(), rvalue(w), rvalue(h)}, false, 0));
}

pointer lock_canvas_size(scheme* sc, pointer args) {
    GraphicView* view = canvas_arg(sc, args);
    if (!view) return sc->F;
    view->lock_size();
    return sc->T;
}

pointer get_canvas_size(scheme* sc, pointer args) {
    GraphicView* view = canvas_arg(sc, args);
    if (!view) return sc->F;
    return s_cons(sc, mk_real(sc, view->width()), mk_real(sc, view->height()));
}

pointer get_canvas_bounds(scheme* sc, pointer args) {
    GraphicView* view = canvas_arg(sc, args);
    if (!view) return sc->F;
    pointer list = sc->NIL;
    for (double v : {view->height(), view->width(), view->y(), view->x()}) list = s_cons(sc, mk_real(sc, v), list);
    return list;
}

// ---- mouse ---------------------------------------------------------------------------------------------------------

pointer register_mouse(scheme* sc, pointer args) {
    GraphicView* view = canvas_arg(sc, args);
    if (!view) return sc->F;
    view->add_scheme(sc);
    return sc->T;
}

pointer deregister_mouse(scheme* sc, pointer args) {
    GraphicView* view = canvas_arg(sc, args);
    if (!view) return sc->F;
    view->remove_scheme(sc);
    return sc->T;
}

pointer mouse_position(scheme* sc, pointer args) {
    std::pair<double, double> at = GraphicEngine::screen_pointer();
    if (args != sc->NIL) {
        GraphicView* view = canvas_arg(sc, args);
        if (!view) return sc->F;
        at = view->pointer();
    }
    return s_cons(sc, mk_real(sc, at.first), mk_real(sc, at.second));
}

// ---- capture -------------------------------------------------------------------------------------------------------

// The canvas and the path of a capture procedure; null (reported) when either is wrong.
GraphicView* canvas_and_path(scheme* sc, pointer args, const char* name, std::string& path) {
    GraphicView* view = canvas_arg(sc, args);
    if (!view) return nullptr;
    pointer p = arg(sc, args, 1);
    if (!is_string(p) || !*string_value(p)) {
        CPPBridge::error("%s expects a canvas and a file path", name);
        return nullptr;
    }
    path = string_value(p);
    return view;
}

pointer capture_canvas(scheme* sc, pointer args) {
    std::string path;
    GraphicView* view = canvas_and_path(sc, args, "gfx:capture-canvas", path);
    return truth(sc, view && view->capture_png(path));
}

pointer image_from_canvas(scheme* sc, pointer args) {
    GraphicView* view = canvas_arg(sc, args);
    if (!view) return sc->F;
    cairo_surface_t* surface = view->surface();
    if (!surface) return sc->F;
    return wrap(sc, make_object<BitmapImage>(surface));
}

pointer start_pdf_capture(scheme* sc, pointer args) {
    std::string path;
    GraphicView* view = canvas_and_path(sc, args, "gfx:start-pdf-capture", path);
    return truth(sc, view && view->start_pdf(path));
}

pointer stop_pdf_capture(scheme* sc, pointer args) {
    GraphicView* view = canvas_arg(sc, args);
    return truth(sc, view && view->stop_pdf());
}

// ---- switches and shared images ----------------------------------------------------------------------------------

pointer set_alias(scheme* sc, pointer args) {
    pointer a = arg(sc, args, 0);
    if (!is_number(a)) {
        CPPBridge::error("gfx:set-alias expects an integer");
        return sc->F;
    }
    GraphicEngine::alias = rvalue(a) != 0;
    return a;
}

pointer debug_graphics(scheme* sc, pointer args) {
    pointer a = arg(sc, args, 0);
    GraphicEngine::DEBUG_GRAPHICS = a == sc->T;
    return a;
}

pointer get_offscreen(scheme* sc, pointer) {
    Ref<BitmapImage> image = GraphicEngine::offscreen();
    return image ? wrap(sc, std::move(image)) : sc->F;
}

pointer get_code_image(scheme* sc, pointer) { return wrap(sc, GraphicEngine::code_image()); }

constexpr CanvasProcedure PROCEDURES[] = {
    {"gfx:make-canvas", make_canvas},
    {"gfx:open-canvas", open_canvas},
    {"gfx:close-canvas", close_canvas},
    {"gfx:set-canvas-size", set_canvas_size},
    {"gfx:lock-canvas-size", lock_canvas_size},
    {"gfx:get-canvas-size", get_canvas_size},
    {"gfx:get-canvas-bounds", get_canvas_bounds},
    {"io:register-mouse-events", register_mouse},
    {"io:deregister-mouse-events", deregister_mouse},
    {"io:get-mouse-position", mouse_position},
    {"gfx:capture-canvas", capture_canvas},
    {"gfx:get-image-from-canvas", image_from_canvas},
    {"gl:get-image-from-opengl", image_from_canvas},
    {"gfx:start-pdf-capture", start_pdf_capture},
    {"gfx:stop-pdf-capture", stop_pdf_capture},
    {"gfx:set-alias", set_alias},
    {"gfx:debug-graphics", debug_graphics},
    {"gfx:get-offscreen", get_offscreen},
    {"gfx:get-code-image", get_code_image},
};

}  // namespace

std::span<const CanvasProcedure> canvas_procedures() { return PROCEDURES; }

pointer canvas_window_size(scheme* sc, pointer args) { return get_canvas_size(sc, args); }

pointer canvas_window_bounds(scheme* sc, pointer args) { return get_canvas_bounds(sc, args); }

pointer canvas_window_to_front(scheme* sc, pointer args) {
    GraphicView* view = canvas_of(arg(sc, args, 0));
    if (!view) {
        CPPBridge::error("First argument must be a canvas");
        return sc->F;
    }
    view->to_front();
    return sc->T;
}

pointer main_screen_size(scheme* sc, pointer) {
    return s_cons(sc, mk_real(sc, GraphicView::HEADLESS_SCREEN_WIDTH), mk_real(sc, GraphicView::HEADLESS_SCREEN_HEIGHT));
}

}  // namespace omb
