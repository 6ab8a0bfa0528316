#include "graphics/canvas_targets.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include "graphics/draw_pipeline.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

// ---- *gfx:clear-canvas* ----------------------------------------------------------------------------------------

bool read_clear(scheme* sc, pointer rest, TaskArguments& into) {
    Paint paint;
    pointer colour = is_pair(rest) ? pair_car(rest) : sc->NIL;
    if (colour != sc->NIL && !read_colour(sc, colour, paint)) {
        CPPBridge::error("*gfx:clear-canvas* takes a canvas and, optionally, a colour (r g b a): %s",
                         printed(sc, rest).c_str());
        return false;
    }
    push_paint(paint, into.numbers);
    return true;
}

void run_clear(GraphicView& view, const TaskArguments& args) {
    const Paint paint = paint_at(args, 0);
    const double w = view.width(), h = view.height();
    // The PDF capture keeps everything drawn, clears included: only drawing tasks go into it.
    run_drawing(view, std::nullopt, false, [&](cairo_t* cr) {
        apply_paint(cr, paint.kind == Paint::colour ? paint : Paint{Paint::erase});
        cairo_rectangle(cr, 0, 0, w, h);
        cairo_fill(cr);
    });
}

// ---- *gfx:refresh-canvas* --------------------------------------------------------------------------------------

bool read_nothing(scheme*, pointer, TaskArguments&) { return true; }

void run_refresh(GraphicView& view, const TaskArguments&) { view.redraw(); }

// ---- *draw-line* -------------------------------------------------------------------------------------------------

bool read_line(scheme* sc, pointer rest, TaskArguments& into) {
    pointer p = rest;
    for (int i = 0; i < 4; ++i, p = pair_cdr(p)) {
        if (!is_pair(p) || !is_number(pair_car(p)) || !std::isfinite(rvalue(pair_car(p)))) {
            CPPBridge::error("*draw-line* takes a canvas, x1 y1 x2 y2 and a colour (r g b a): %s",
                             printed(sc, rest).c_str());
            return false;
        }
        into.numbers.push_back(rvalue(pair_car(p)));
    }
    Paint paint;
    if (!is_pair(p) || !read_paint(sc, pair_car(p), paint)) {
        CPPBridge::error("*draw-line* takes a canvas, x1 y1 x2 y2 and a colour (r g b a): %s",
                         printed(sc, rest).c_str());
        return false;
    }
    push_paint(paint, into.numbers);
    return true;
}

void run_line(GraphicView& view, const TaskArguments& args) {
    const double x1 = args.number(0), y1 = args.number(1), x2 = args.number(2), y2 = args.number(3);
    const Paint paint = paint_at(args, 4);
    if (paint.kind == Paint::none) return;
    constexpr double width = 1.0;
    // The rectangle the end points span, grown by half the line's width so a level line is recomposited too.
    const CanvasRect dirty{std::min(x1, x2) - width / 2, std::min(y1, y2) - width / 2,
                           std::abs(x2 - x1) + width, std::abs(y2 - y1) + width};
    run_drawing(view, dirty, true, [&](cairo_t* cr) {
        apply_paint(cr, paint);
        cairo_set_line_width(cr, width);
        cairo_move_to(cr, x1, y1);
        cairo_line_to(cr, x2, y2);
        cairo_stroke(cr);
    });
}

}  // namespace

void bind_canvas_targets(SchemeInterface* process) {
    bind_canvas_target(process, "*gfx:clear-canvas*", read_clear, run_clear);
    bind_canvas_target(process, "*gfx:refresh-canvas*", read_nothing, run_refresh);
    bind_canvas_target(process, "*draw-line*", read_line, run_line);
}

}  // namespace omb
