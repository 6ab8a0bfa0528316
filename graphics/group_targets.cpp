#include "graphics/group_targets.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include "graphics/bezier_path.h"
#include "graphics/current_context.h"
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

// ---- *gfx:draw-group* and *gfx:draw-group-objc* ------------------------------------------------------------------

// Per path: width, style, stroke (4), fill (4).
constexpr size_t PER_PATH = 10;

void read_group_numbers(const std::vector<double>& widths, const std::vector<double>& styles,
                        const std::vector<double>& strokes, const std::vector<double>& fills, int64_t n,
                        TaskArguments& into) {
    for (int64_t i = 0; i < n; ++i) {
        into.numbers.insert(into.numbers.end(), {widths[i], styles[i]});
        into.numbers.insert(into.numbers.end(), strokes.begin() + 4 * i, strokes.begin() + 4 * i + 4);
        into.numbers.insert(into.numbers.end(), fills.begin() + 4 * i, fills.begin() + 4 * i + 4);
    }
}

bool read_draw_group(scheme* sc, pointer rest, TaskArguments& into) {
    return read_group(sc, rest, "*gfx:draw-group*", "Invalid Path in Vector", into);
}

void colour_from(cairo_t* cr, const TaskArguments& args, size_t at) {
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_set_source_rgba(cr, args.number(at), args.number(at + 1), args.number(at + 2), args.number(at + 3));
}

void run_draw_group(GraphicView& view, const TaskArguments& args) {
    // objects[0] is the canvas; the paths follow.
    run_drawing(view, std::nullopt, true, [&](cairo_t* cr) {
        CurrentContext current(cr);
        draw_group(cr, args, 1);
    });
    report_stop(args);
}

// The object form: arrays instead of vectors, colour objects instead of flattened reals.
NSArray* array_of(pointer p) { return p && is_objc(p) ? dynamic_cast<NSArray*>(objc_value(p)) : nullptr; }

bool number_of(Object* o, double& into) {
    auto* n = dynamic_cast<NSNumber*>(o);
    if (!n || !std::isfinite(n->double_value())) return false;
    into = n->double_value();
    return true;
}

bool colour_object(Object* o, std::vector<double>& into) {
    double c[4];
    if (!omb::colour_object(o, c)) return false;
    into.insert(into.end(), c, c + 4);
    return true;
}

bool read_draw_group_objc(scheme* sc, pointer rest, TaskArguments& into) {
    NSArray* paths = array_of(nth(rest, 0));
    NSArray *strokes = array_of(nth(rest, 1)), *fills = array_of(nth(rest, 2));
    NSArray *widths = array_of(nth(rest, 3)), *styles = array_of(nth(rest, 4));
    if (!paths || !strokes || !fills || !widths || !styles) {
        CPPBridge::error("*gfx:draw-group-objc* takes a canvas and five arrays (paths, stroke colours, fill colours, "
                         "widths, styles): %s",
                         printed(sc, rest).c_str());
        return false;
    }
    const size_t n = paths->count();
    if (strokes->count() < n || fills->count() < n || widths->count() < n || styles->count() < n) {
        CPPBridge::error("*gfx:draw-group-objc*: %zu paths need as many stroke colours, fill colours, widths and "
                         "styles",
                         n);
        return false;
    }
    std::vector<double> s, f, w(n), st(n);
    for (size_t i = 0; i < n; ++i) {
        if (!colour_object(strokes->at(i), s) || !colour_object(fills->at(i), f) ||
            !number_of(widths->at(i), w[i]) || !number_of(styles->at(i), st[i])) {
            CPPBridge::error("*gfx:draw-group-objc*: element %zu needs colours as arrays of 3 or 4 numbers (r g b "
                             "[a]) and a width and a style as numbers",
                             i);
            return false;
        }
        st[i] = std::trunc(std::clamp(st[i], -1.0, 4.0));
    }
    read_group_numbers(w, st, s, f, static_cast<int64_t>(n), into);
    for (size_t i = 0; i < n; ++i) {
        auto* path = dynamic_cast<BezierPath*>(paths->at(i));
        if (!path) {
            into.text = paths->at(i) ? "Invalid Path in Vector" : "Null Path";
            break;
        }
        into.objects.push_back(Ref<Object>::retain(path));
    }
    return true;
}

}  // namespace

void bind_group_targets(SchemeInterface* process) {
    process->addGlobalCptr("*gfx:move-group*", keep_target(std::make_unique<MoveGroupTarget>()));
    bind_canvas_target(process, "*gfx:draw-group*", read_draw_group, run_draw_group);
    bind_canvas_target(process, "*gfx:draw-group-objc*", read_draw_group_objc, run_draw_group);
}

bool read_group(scheme* sc, pointer five, const char* who, const char* bad_path, TaskArguments& into) {
    pointer paths = nth(five, 0);
    if (!paths || !is_vector(paths)) {
        CPPBridge::error("%s takes five vectors (paths, strokes, fills, widths, styles): %s", who,
                         printed(sc, five).c_str());
        return false;
    }
    const int64_t n = vector_length(paths);
    std::vector<double> strokes, fills, widths, styles;
    if (!read_reals(nth(five, 1), 4 * n, strokes) || !read_reals(nth(five, 2), 4 * n, fills) ||
        !read_reals(nth(five, 3), n, widths) || !read_reals(nth(five, 4), n, styles)) {
        CPPBridge::error("%s needs, for each path, a stroke and a fill colour (four reals each), a width and a "
                         "style: %s",
                         who, printed(sc, five).c_str());
        return false;
    }
    for (double& style : styles) style = std::trunc(std::clamp(style, -1.0, 4.0));
    read_group_numbers(widths, styles, strokes, fills, n, into);
    read_paths(paths, n, bad_path, into);
    return true;
}

bool colour_object(const Object* object, double (&rgba)[4]) {
    auto* a = dynamic_cast<const NSArray*>(object);
    if (!a || a->count() < 3 || a->count() > 4) return false;
    double c[4] = {0, 0, 0, 1};
    for (size_t i = 0; i < a->count(); ++i)
        if (!number_of(a->at(i), c[i])) return false;
    std::copy(c, c + 4, rgba);
    return true;
}

void draw_group(cairo_t* cr, const TaskArguments& args, size_t first) {
    for (size_t i = 0; i + first < args.objects.size(); ++i) {
        auto* path = dynamic_cast<BezierPath*>(args.objects[i + first].get());
        if (!path) return;
        const size_t at = i * PER_PATH;
        const int style = args.integer(at + 1);
        path->set_line_width(std::max(0.0, args.number(at)));
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
}

}  // namespace omb
