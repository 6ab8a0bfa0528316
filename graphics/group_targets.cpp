#include "graphics/group_targets.h"

#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include "graphics/bezier_path.h"
#include "graphics/draw_pipeline.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

// The paths of a vector up to the first that is not one; what stopped them goes to `stop` (reported when due).
void read_paths(pointer vec, int64_t n, const char* not_object, TaskArguments& into) {
    for (int64_t i = 0; i < n; ++i) {
        pointer p = vector_elem(vec, static_cast<int>(i));
        if (!is_objc(p)) {
            into.text = not_object;
            return;
        }
        auto* path = dynamic_cast<BezierPath*>(objc_value(p));
        if (!path) {
            into.text = "Null Path";
            return;
        }
        into.objects.push_back(Ref<Object>::retain(path));
    }
}

// `count` finite numbers from a vector, appended; false for anything else.
bool read_reals(pointer vec, int64_t count, std::vector<double>& into) {
    if (!is_vector(vec) || vector_length(vec) < count) return false;
    for (int64_t i = 0; i < count; ++i) {
        pointer p = vector_elem(vec, static_cast<int>(i));
        if (!is_number(p) || !std::isfinite(rvalue(p))) return false;
        into.push_back(rvalue(p));
    }
    return true;
}

pointer nth(pointer list, int i) {
    for (; i > 0 && is_pair(list); --i) list = pair_cdr(list);
    return is_pair(list) ? pair_car(list) : nullptr;
}

void report_stop(const TaskArguments& args) {
    if (!args.text.empty()) CPPBridge::error("%s", args.text.c_str());
}

// ---- *gfx:move-group* --------------------------------------------------------------------------------------------

class MoveGroupTarget : public ArgumentTarget {
public:
    bool read(scheme* sc, pointer args, TaskArguments& into) const override {
        pointer paths = nth(args, 0), dx = nth(args, 1), dy = nth(args, 2);
        if (!paths || !dx || !dy || !is_vector(paths) || !is_vector(dx) || !is_vector(dy)) {
            CPPBridge::error("*gfx:move-group* takes three vectors (paths dx dy): %s", printed(sc, args).c_str());
            return false;
        }
        const int64_t n = vector_length(paths);
        if (vector_length(dx) != n || vector_length(dy) != n) {
            CPPBridge::error("Number of paths and number of x points and y points must equal");
            return false;
        }
        if (!read_reals(dx, n, into.numbers) || !read_reals(dy, n, into.numbers)) {
            CPPBridge::error("*gfx:move-group* takes numbers for dx and dy: %s", printed(sc, args).c_str());
            return false;
        }
        read_paths(paths, n, "Bad path in vector", into);
        return true;
    }

    void execute(TaskI* task) override {
        const TaskArguments& args = task_arguments(task);
        const size_t n = args.numbers.size() / 2;
        for (size_t i = 0; i < args.objects.size(); ++i)
            if (auto* path = dynamic_cast<BezierPath*>(args.objects[i].get()))
                path->translate(args.number(i), args.number(n + i));
        report_stop(args);
    }
};

// ---- *gfx:draw-group* --------------------------------------------------------------------------------------------

// Per path: width, style, stroke (4), fill (4).
constexpr size_t PER_PATH = 10;

bool read_draw_group(scheme* sc, pointer rest, TaskArguments& into) {
    pointer paths = nth(rest, 0);
    if (!paths || !is_vector(paths)) {
        CPPBridge::error("*gfx:draw-group* takes a canvas and five vectors: %s", printed(sc, rest).c_str());
        return false;
    }
    const int64_t n = vector_length(paths);
    std::vector<double> strokes, fills, widths, styles;
    if (!read_reals(nth(rest, 1), 4 * n, strokes) || !read_reals(nth(rest, 2), 4 * n, fills) ||
        !read_reals(nth(rest, 3), n, widths) || !read_reals(nth(rest, 4), n, styles)) {
        CPPBridge::error("*gfx:draw-group* needs, for each path, a stroke and a fill colour (four reals each), a width "
                         "and a style: %s",
                         printed(sc, rest).c_str());
        return false;
    }
    for (int64_t i = 0; i < n; ++i) {
        into.numbers.insert(into.numbers.end(), {widths[i], styles[i]});
        into.numbers.insert(into.numbers.end(), strokes.begin() + 4 * i, strokes.begin() + 4 * i + 4);
        into.numbers.insert(into.numbers.end(), fills.begin() + 4 * i, fills.begin() + 4 * i + 4);
    }
    read_paths(paths, n, "Invalid Path in Vector", into);
    return true;
}

void colour_from(cairo_t* cr, const TaskArguments& args, size_t at) {
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_set_source_rgba(cr, args.number(at), args.number(at + 1), args.number(at + 2), args.number(at + 3));
}

void run_draw_group(GraphicView& view, const TaskArguments& args) {
    // objects[0] is the canvas; the paths follow.
    run_drawing(view, std::nullopt, true, [&](cairo_t* cr) {
        for (size_t i = 0; i + 1 < args.objects.size(); ++i) {
            auto* path = dynamic_cast<BezierPath*>(args.objects[i + 1].get());
            const size_t at = i * PER_PATH;
            const int style = args.integer(at + 1);
            path->set_line_width(args.number(at));
            path->apply(cr);
            if (style == 2 || style == 3) {
                colour_from(cr, args, at + 2);
                cairo_stroke_preserve(cr);
            }
            if (style == 3 || style == 0) {
                colour_from(cr, args, at + 6);
                cairo_fill_preserve(cr);
            }
            cairo_new_path(cr);
        }
    });
    report_stop(args);
}

// Each process gets its own target objects; they live as long as the program.
std::mutex targets_mutex;
std::vector<std::unique_ptr<CM>> targets;

void* keep(std::unique_ptr<CM> target) {
    std::lock_guard lock(targets_mutex);
    targets.push_back(std::move(target));
    return targets.back().get();
}

}  // namespace

void bind_group_targets(SchemeInterface* process) {
    process->addGlobalCptr("*gfx:move-group*", keep(std::make_unique<MoveGroupTarget>()));
    process->addGlobalCptr("*gfx:draw-group*",
                           keep(std::make_unique<CanvasTarget>("*gfx:draw-group*", read_draw_group, run_draw_group)));
}

}  // namespace omb
