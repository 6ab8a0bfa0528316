#include "graphics/path_targets.h"

#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include "graphics/bezier_path.h"
#include "graphics/current_context.h"
#include "graphics/draw_pipeline.h"
#include "graphics/my_path.h"
#include "graphics/path_procedures.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

constexpr double PI = 3.14159265358979323846;

bool finite_number(pointer p) { return is_number(p) && std::isfinite(rvalue(p)); }

// ---- *gfx:draw-path* ---------------------------------------------------------------------------------------------

bool read_draw_path(scheme* sc, pointer rest, TaskArguments& into) {
    BezierPath* path = path_of(is_pair(rest) ? pair_car(rest) : sc->NIL, "Illegal Path In draw-path. Incorrect Type");
    if (!path) return false;
    into.objects.push_back(Ref<Object>::retain(path));
    pointer p = pair_cdr(rest);
    for (int i = 0; i < 2; ++i, p = pair_cdr(p)) {
        Paint paint;
        if (!is_pair(p) || !read_paint(sc, pair_car(p), paint)) {
            CPPBridge::error("*gfx:draw-path* takes a stroke and a fill: NIL, a symbol or a colour (r g b a): %s",
                             printed(sc, rest).c_str());
            return false;
        }
        push_paint(paint, into.numbers);
    }
    double width = 1.0;
    if (is_pair(p)) {
        if (!finite_number(pair_car(p)) || rvalue(pair_car(p)) < 0) {
            CPPBridge::error("*gfx:draw-path* takes a line width of 0 or more: %s", printed(sc, rest).c_str());
            return false;
        }
        width = rvalue(pair_car(p));
    }
    into.numbers.push_back(width);
    return true;
}

void run_draw_path(GraphicView& view, const TaskArguments& args) {
    auto* path = args.objects.size() > 1 ? dynamic_cast<BezierPath*>(args.objects[1].get()) : nullptr;
    if (!path) {
        CPPBridge::error("Null Path");
        return;
    }
    const Paint stroke = paint_at(args, 0), fill = paint_at(args, 5);
    const double width = args.number(10);
    path->set_line_width(width);
    CanvasRect dirty = path->bounds();
    dirty = {dirty.x - width / 2, dirty.y - width / 2, dirty.width + width, dirty.height + width};
    run_drawing(view, dirty, true, [&](cairo_t* cr) {
        CurrentContext current(cr);
        path->apply(cr);
        if (apply_paint(cr, stroke)) cairo_stroke_preserve(cr);
        if (apply_paint(cr, fill)) cairo_fill_preserve(cr);
        cairo_new_path(cr);
    });
}

// ---- transforms --------------------------------------------------------------------------------------------------

// A target whose task arguments are a path and `count` numbers.
class PathTarget : public ArgumentTarget {
public:
    using Runner = void (*)(BezierPath& path, const TaskArguments& args);
    PathTarget(const char* name, int count, Runner runner) : name_(name), count_(count), runner_(runner) {}

    bool read(scheme* sc, pointer args, TaskArguments& into) const override {
        BezierPath* path = path_of(is_pair(args) ? pair_car(args) : sc->NIL, "Illegal Path. Incorrect Type");
        if (!path) return false;
        into.objects.push_back(Ref<Object>::retain(path));
        pointer p = pair_cdr(args);
        for (int i = 0; i < count_; ++i, p = pair_cdr(p)) {
            if (!is_pair(p) || !finite_number(pair_car(p))) {
                CPPBridge::error("%s takes a path and %d numbers: %s", name_, count_, printed(sc, args).c_str());
                return false;
            }
            into.numbers.push_back(rvalue(pair_car(p)));
        }
        return true;
    }

    void execute(TaskI* task) override {
        const TaskArguments& args = task_arguments(task);
        auto* path = args.objects.empty() ? nullptr : dynamic_cast<BezierPath*>(args.objects.front().get());
        if (!path) {
            CPPBridge::error("Null Path");
            return;
        }
        runner_(*path, args);
    }

private:
    const char* name_;
    int count_;
    Runner runner_;
};

void run_move(BezierPath& path, const TaskArguments& a) { path.translate(a.number(0), a.number(1)); }
void run_rotate_rad(BezierPath& path, const TaskArguments& a) {
    path.rotate_about(a.number(0), a.number(1), a.number(2));
}
void run_rotate_deg(BezierPath& path, const TaskArguments& a) {
    path.rotate_about(a.number(0) * PI / 180, a.number(1), a.number(2));
}
void run_scale(BezierPath& path, const TaskArguments& a) {
    path.scale_anchored(a.number(0), a.number(1), a.integer(2));
}

void bind(SchemeInterface* process, const char* name, int count, PathTarget::Runner runner) {
    process->addGlobalCptr(name, keep_target(std::make_unique<PathTarget>(name, count, runner)));
}

}  // namespace

void bind_path_targets(SchemeInterface* process) {
    // Paths that draw themselves come with the paths, so the object bridge finds them wherever paths are.
    MYPath::register_class();
    bind_canvas_target(process, "*gfx:draw-path*", read_draw_path, run_draw_path);
    bind(process, "*gfx:move-path*", 2, run_move);
    bind(process, "*gfx:rotate-path-rad*", 3, run_rotate_rad);
    bind(process, "*gfx:rotate-path-deg*", 3, run_rotate_deg);
    bind(process, "*gfx:scale-path*", 3, run_scale);
}

}  // namespace omb
