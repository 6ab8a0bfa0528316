#include "graphics/path_procedures.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "graphics/bezier_path.h"
#include "graphics/text_outline.h"
#include "graphics/text_style.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

constexpr const char* ILLEGAL = "Illegal Path. Incorrect Type";

pointer truth(scheme* sc, bool ok) { return ok ? sc->T : sc->F; }

// The path first, then `n` finite numbers; false, reported, for anything else.
BezierPath* path_and_numbers(scheme* sc, pointer args, const char* name, int n, double* into,
                             const char* wrong_type = ILLEGAL) {
    BezierPath* path = path_of(is_pair(args) ? pair_car(args) : sc->NIL, wrong_type);
    if (!path) return nullptr;
    pointer p = pair_cdr(args);
    for (int i = 0; i < n; ++i, p = pair_cdr(p)) {
        if (!is_pair(p) || !is_number(pair_car(p)) || !std::isfinite(rvalue(pair_car(p)))) {
            CPPBridge::error("%s expects a path and %d numbers: %s", name, n, printed(sc, args).c_str());
            return nullptr;
        }
        into[i] = rvalue(pair_car(p));
    }
    return path;
}

pointer make_path(scheme* sc, pointer) { return mk_objc(sc, make_object<BezierPath>().release()); }

pointer set_start_point(scheme* sc, pointer args) {
    double v[2];
    BezierPath* path =
        path_and_numbers(sc, args, "gfx:set-start-point", 2, v, "Illegal Path Un Set Path. Incorrect Type");
    if (path) path->move_to(v[0], v[1]);
    return truth(sc, path);
}

pointer add_line(scheme* sc, pointer args) {
    double v[2];
    BezierPath* path = path_and_numbers(sc, args, "gfx:add-line", 2, v);
    if (path) path->line_to(v[0], v[1]);
    return truth(sc, path);
}

pointer add_oval(scheme* sc, pointer args) {
    double v[4];
    BezierPath* path = path_and_numbers(sc, args, "gfx:add-oval", 4, v);
    if (path) path->add_oval(v[0], v[1], v[2], v[3]);
    return truth(sc, path);
}

pointer add_arc(scheme* sc, pointer args) {
    double v[5];
    BezierPath* path = path_and_numbers(sc, args, "gfx:add-arc", 5, v);
    if (path) path->add_arc(v[0], v[1], v[2], v[3], v[4]);
    return truth(sc, path);
}

pointer add_curve(scheme* sc, pointer args) {
    double v[6];
    BezierPath* path = path_and_numbers(sc, args, "gfx:add-curve", 6, v);
    if (path) path->curve_to(v[0], v[1], v[2], v[3], v[4], v[5]);
    return truth(sc, path);
}

pointer close_path(scheme* sc, pointer args) {
    BezierPath* path = path_and_numbers(sc, args, "gfx:close-path", 0, nullptr);
    if (path) path->close_path();
    return truth(sc, path);
}

// ---- outlines of text and glyphs --------------------------------------------------------------------------------

// The path and the text style of gfx:add-text and gfx:add-glyphs; null, reported, when either is wrong.
BezierPath* path_and_style(scheme* sc, pointer args, TextStyle*& style) {
    BezierPath* path = path_of(is_pair(args) ? pair_car(args) : sc->NIL, ILLEGAL);
    if (!path) return nullptr;
    pointer s = is_pair(pair_cdr(args)) ? pair_car(pair_cdr(args)) : sc->NIL;
    if (!is_objc(s)) {
        CPPBridge::error("Illegal Text Attrs");
        return nullptr;
    }
    style = dynamic_cast<TextStyle*>(objc_value(s));
    if (!style) {
        CPPBridge::error("Null TextAttrs");
        return nullptr;
    }
    return path;
}

// The outline goes on at the current point; a path without one has nowhere to put it.
bool append(BezierPath& path, const char* name, bool ok, const Outline& outline, const std::string& error) {
    if (!ok) {
        CPPBridge::error("%s: %s", name, error.c_str());
        return false;
    }
    path.append_outlines(outline.elements, outline.next);
    return true;
}

std::optional<PathPoint> start_of(BezierPath& path, const char* name) {
    std::optional<PathPoint> at = path.current_point();
    if (!at) CPPBridge::error("%s: the path has no current point (gfx:set-start-point gives it one)", name);
    return at;
}

pointer add_text(scheme* sc, pointer args) {
    TextStyle* style = nullptr;
    BezierPath* path = path_and_style(sc, args, style);
    if (!path) return sc->F;
    pointer text = is_pair(pair_cdr(pair_cdr(args))) ? pair_car(pair_cdr(pair_cdr(args))) : sc->NIL;
    if (!is_string(text)) {
        CPPBridge::error("gfx:add-text takes a path, a text style and a string: %s", printed(sc, args).c_str());
        return sc->F;
    }
    const std::string chars(string_value(text), static_cast<size_t>(text->_object._string._length));
    if (chars.empty()) return sc->T;
    const std::optional<PathPoint> at = start_of(*path, "gfx:add-text");
    if (!at) return sc->F;
    Outline outline;
    std::string error;
    const bool ok = text_outline(*style, chars, *at, outline, error);
    return truth(sc, append(*path, "gfx:add-text", ok, outline, error));
}

pointer add_glyphs(scheme* sc, pointer args) {
    TextStyle* style = nullptr;
    BezierPath* path = path_and_style(sc, args, style);
    if (!path) return sc->F;
    pointer list = is_pair(pair_cdr(pair_cdr(args))) ? pair_car(pair_cdr(pair_cdr(args))) : sc->F;
    std::vector<long> glyphs;
    for (; is_pair(list); list = pair_cdr(list)) {
        pointer g = pair_car(list);
        if (!is_number(g) || !std::isfinite(rvalue(g)) || rvalue(g) != std::floor(rvalue(g))) break;
        glyphs.push_back(static_cast<long>(std::clamp(rvalue(g), -1.0, 1e9)));
    }
    if (list != sc->NIL) {
        CPPBridge::error("gfx:add-glyphs takes a path, a text style and a list of glyph numbers: %s",
                         printed(sc, args).c_str());
        return sc->F;
    }
    if (glyphs.empty()) return sc->T;
    const std::optional<PathPoint> at = start_of(*path, "gfx:add-glyphs");
    if (!at) return sc->F;
    Outline outline;
    std::string error;
    const bool ok = glyph_outline(*style, glyphs, *at, outline, error);
    return truth(sc, append(*path, "gfx:add-glyphs", ok, outline, error));
}

// The two paths of a procedure taking both; for intersecting, a null one is named A or B.
bool two_paths(scheme* sc, pointer args, bool name_nulls, BezierPath*& a, BezierPath*& b) {
    pointer pa = is_pair(args) ? pair_car(args) : sc->NIL;
    pointer pb = is_pair(args) && is_pair(pair_cdr(args)) ? pair_car(pair_cdr(args)) : sc->NIL;
    if (!is_objc(pa) || !is_objc(pb)) {
        CPPBridge::error("%s", ILLEGAL);
        return false;
    }
    a = dynamic_cast<BezierPath*>(objc_value(pa));
    b = dynamic_cast<BezierPath*>(objc_value(pb));
    if (!a || !b) CPPBridge::error("%s", !name_nulls ? "Null Path" : !a ? "Null Path A" : "Null Path B");
    return a && b;
}

pointer add_path(scheme* sc, pointer args) {
    BezierPath *a = nullptr, *b = nullptr;
    if (!two_paths(sc, args, false, a, b)) return sc->F;
    a->add_path(*b);
    return sc->T;
}

pointer move_path_sync(scheme* sc, pointer args) {
    double v[2];
    BezierPath* path = path_and_numbers(sc, args, "gfx:move-path-sync", 2, v);
    if (path) path->translate(v[0], v[1]);
    return truth(sc, path);
}

pointer point_in_path(scheme* sc, pointer args) {
    double v[2];
    BezierPath* path = path_and_numbers(sc, args, "gfx:point-in-path?", 2, v);
    return truth(sc, path && path->contains(v[0], v[1]));
}

pointer paths_intersect(scheme* sc, pointer args) {
    BezierPath *a = nullptr, *b = nullptr;
    if (!two_paths(sc, args, true, a, b)) return sc->F;
    const CanvasRect ra = a->bounds(), rb = b->bounds();
    // As the platform's rectangles meet: overlapping areas; a rectangle without area meets nothing.
    const bool meet = !ra.empty() && !rb.empty() && ra.x < rb.x + rb.width && rb.x < ra.x + ra.width &&
                      ra.y < rb.y + rb.height && rb.y < ra.y + ra.height;
    return truth(sc, meet);
}

pointer get_path_point(scheme* sc, pointer args) {
    BezierPath* path = path_and_numbers(sc, args, "gfx:get-path-point", 0, nullptr);
    if (!path) return sc->F;
    const std::optional<PathPoint> at = path->current_point();
    if (!at) {
        CPPBridge::error("gfx:get-path-point: the path has no current point");
        return sc->F;
    }
    return s_cons(sc, mk_real(sc, at->x), mk_real(sc, at->y));
}

pointer get_path_bounds(scheme* sc, pointer args) {
    BezierPath* path = path_and_numbers(sc, args, "gfx:get-path-bounds", 0, nullptr);
    if (!path) return sc->F;
    const CanvasRect r = path->bounds();
    pointer list = sc->NIL;
    for (double v : {r.height, r.width, r.y, r.x}) list = s_cons(sc, mk_real(sc, v), list);
    return list;
}

pointer get_path_centre(scheme* sc, pointer args) {
    BezierPath* path = path_and_numbers(sc, args, "gfx:get-path-centre", 0, nullptr);
    if (!path) return sc->F;
    const CanvasRect r = path->bounds();
    return s_cons(sc, mk_real(sc, r.x + r.width / 2), mk_real(sc, r.y + r.height / 2));
}

constexpr CanvasProcedure PROCEDURES[] = {
    {"gfx:make-path", make_path},
    {"gfx:set-start-point", set_start_point},
    {"gfx:add-line", add_line},
    {"gfx:add-oval", add_oval},
    {"gfx:add-arc", add_arc},
    {"gfx:add-curve", add_curve},
    {"gfx:add-text", add_text},
    {"gfx:add-glyphs", add_glyphs},
    {"gfx:close-path", close_path},
    {"gfx:add-path", add_path},
    {"gfx:move-path-sync", move_path_sync},
    {"gfx:point-in-path?", point_in_path},
    {"gfx:paths-intersect?", paths_intersect},
    {"gfx:get-path-point", get_path_point},
    {"gfx:get-path-bounds", get_path_bounds},
    {"gfx:get-path-centre", get_path_centre},
};

}  // namespace

BezierPath* path_of(pointer p, const char* wrong_type) {
    if (!is_objc(p)) {
        CPPBridge::error("%s", wrong_type);
        return nullptr;
    }
    auto* path = dynamic_cast<BezierPath*>(objc_value(p));
    if (!path) CPPBridge::error("Null Path");
    return path;
}

std::span<const CanvasProcedure> path_procedures() { return PROCEDURES; }

}  // namespace omb
