// BezierPath: a vector shape Scheme builds and draws on canvases, handed to Scheme as an object ("NSBezierPath").
// Subpaths of move, line, cubic curve and close elements over 32-bit float points (canvas pixels, origin bottom
// left), a current point and a line width. Ovals and arcs are kept as curves, so every transform is a map of points.
//
// Threads: built and queried on a process's executer, drawn and transformed by tasks on the scheduler's thread. Each
// call takes the path's own lock, so a path changed while a task draws it is never torn apart mid-call.
#pragma once

#include <cairo.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "graphics/graphic_view.h"
#include "platform/objects/foundation.h"

namespace omb {

struct PathPoint {
    float x = 0, y = 0;
};

class BezierPath : public Object {
public:
    enum Kind { move, line, curve, close };
    // A curve's points are its two control points, then its end point.
    struct Element {
        Kind kind;
        PathPoint p[3];
    };

    std::string class_name() const override { return "NSBezierPath"; }

    void move_to(double x, double y);
    // Without a current point, a line or curve starts its subpath at its end point.
    void line_to(double x, double y);
    void curve_to(double x, double y, double c1x, double c1y, double c2x, double c2y);
    void close_path();
    // An oval inscribed in the rectangle, as its own closed subpath.
    void add_oval(double x, double y, double w, double h);
    // An arc about (cx, cy), angles in degrees, counter-clockwise; a line joins it to the current point.
    void add_arc(double cx, double cy, double radius, double start, double end);
    // Appends a copy of `other`'s elements (itself included).
    void add_path(const BezierPath& other);
    // Appends whole subpaths (glyph outlines) and leaves the current point at `next`, where the following text
    // would start; a later line or curve starts a new subpath there.
    void append_outlines(const std::vector<Element>& outlines, PathPoint next);

    // Maps every point: (x, y) -> (a x + c y + tx, b x + d y + ty).
    void transform(double a, double b, double c, double d, double tx, double ty);
    void translate(double dx, double dy) { transform(1, 0, 0, 1, dx, dy); }
    // Counter-clockwise by `radians` about (cx, cy).
    void rotate_about(double radians, double cx, double cy);
    // Scaled about the origin, then moved as the anchor says (0: bottom-left of the bounds stays, 1: its centre
    // stays, other: nothing).
    void scale_anchored(double sx, double sy, int anchor);

    // The tight bounding rectangle of the curve (control points outside it do not count); zero for an empty path.
    CanvasRect bounds() const;
    std::optional<PathPoint> current_point() const;
    bool contains(double x, double y) const;  // non-zero winding
    bool empty() const;

    void set_line_width(double width);
    double line_width() const;

    // Replays the path as the current path of `cr` (replacing whatever was there) and sets its line width.
    void apply(cairo_t* cr) const;

    std::vector<Element> elements() const;

private:
    CanvasRect bounds_locked() const;
    void apply_locked(cairo_t* cr) const;
    void start_if_needed(double x, double y);

    mutable std::mutex mutex_;
    std::vector<Element> elements_;
    std::optional<PathPoint> current_;
    // The current point was moved without an element for it yet (after text): the next segment starts there.
    bool pending_move_ = false;
    PathPoint subpath_start_;
    float line_width_ = 1.0f;
};

}  // namespace omb
