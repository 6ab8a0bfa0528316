#include "graphics/draw_pipeline.h"

#include <cmath>
#include <exception>

#include "graphics/current_context.h"
#include "graphics/graphic_engine.h"
#include "graphics/late_drawing.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

bool read_colour(scheme*, pointer p, Paint& into) {
    double c[4];
    for (double& v : c) {
        if (!is_pair(p) || !is_number(pair_car(p))) return false;
        v = rvalue(pair_car(p));
        if (!std::isfinite(v)) return false;
        p = pair_cdr(p);
    }
    into = {Paint::colour, c[0], c[1], c[2], c[3]};
    return true;
}

bool read_paint(scheme* sc, pointer p, Paint& into) {
    if (p == sc->NIL) {
        into = {};
        return true;
    }
    if (is_symbol(p)) {
        into = {Paint::erase};
        return true;
    }
    return read_colour(sc, p, into);
}

void push_paint(const Paint& paint, std::vector<double>& numbers) {
    numbers.insert(numbers.end(), {double(paint.kind), paint.r, paint.g, paint.b, paint.a});
}

Paint paint_at(const TaskArguments& args, size_t i) {
    return {static_cast<Paint::Kind>(args.integer(i)), args.number(i + 1), args.number(i + 2), args.number(i + 3),
            args.number(i + 4)};
}

GraphicView* canvas_of(pointer p) { return is_objc(p) ? dynamic_cast<GraphicView*>(objc_value(p)) : nullptr; }

bool apply_paint(cairo_t* cr, const Paint& paint) {
    switch (paint.kind) {
    case Paint::none:
        return false;
    case Paint::erase:
        // Removing an opaque source: what the mask covers becomes transparent, edges in proportion. (Cairo's own
        // clear operator leaves opaque black under a stroke on image surfaces.)
        cairo_set_operator(cr, CAIRO_OPERATOR_DEST_OUT);
        cairo_set_source_rgba(cr, 0, 0, 0, 1);
        return true;
    case Paint::colour:
        cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
        cairo_set_source_rgba(cr, paint.r, paint.g, paint.b, paint.a);
        return true;
    }
    return false;
}

bool run_drawing(GraphicView& view, std::optional<CanvasRect> dirty, bool into_pdf,
                 const std::function<void(cairo_t*)>& fn) {
    const bool aliased = GraphicEngine::alias.load();
    const bool drawn = view.draw([&](cairo_t* cr) {
        if (!aliased) cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
        {
            CurrentContext current(cr);
            fn(cr);
        }
        // The same drawing again into the PDF capture, under the same lock, so the file and the bitmap agree.
        if (cairo_t* pdf = view.pdf_context(); pdf && into_pdf) {
            cairo_save(pdf);
            if (!aliased) cairo_set_antialias(pdf, CAIRO_ANTIALIAS_NONE);
            CurrentContext current(pdf);
            fn(pdf);
            cairo_restore(pdf);
        }
    });
    if (drawn && dirty) view.redraw_in_bounds(*dirty);
    else if (drawn) view.redraw();
    return drawn;
}

bool CanvasTarget::read(scheme* sc, pointer args, TaskArguments& into) const {
    GraphicView* view = is_pair(args) ? canvas_of(pair_car(args)) : nullptr;
    if (!view) {
        CPPBridge::error("Bad Canvas: %s needs a canvas: %s", name_, printed(sc, args).c_str());
        return false;
    }
    into.objects.push_back(Ref<Object>::retain(view));
    return reader_(sc, pair_cdr(args), into);
}

void CanvasTarget::execute(TaskI* task) {
    const TaskArguments& args = task_arguments(task);
    auto* view = args.objects.empty() ? nullptr : dynamic_cast<GraphicView*>(args.objects.front().get());
    if (!view) {
        CPPBridge::error("Bad Canvas");
        return;
    }
    try {
        time_drawing(name_, [&] { runner_(*view, args); });
    } catch (const std::exception& e) {
        CPPBridge::error("%s: %s", name_, e.what());
    }
}

void bind_canvas_target(SchemeInterface* process, const char* name, CanvasTarget::Reader reader,
                        CanvasTarget::Runner runner) {
    process->addGlobalCptr(name, keep_target(std::make_unique<CanvasTarget>(name, reader, runner)));
}

}  // namespace omb
