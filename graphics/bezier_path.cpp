#include "graphics/bezier_path.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace omb {

namespace {

constexpr double PI = 3.14159265358979323846;

// Points are floats: a coordinate beyond their range (a path scaled up again and again) is held at the range's end
// rather than cast out of it, and one that is no number at all becomes 0.
float coordinate(double v) {
    if (std::isnan(v)) return 0.0f;
    return static_cast<float>(std::clamp(v, -double(FLT_MAX), double(FLT_MAX)));
}

PathPoint pt(double x, double y) { return {coordinate(x), coordinate(y)}; }

// Where a cubic's coordinate turns: the roots in (0, 1) of its derivative, for one axis.
void turning_points(double p0, double c1, double c2, double p3, std::vector<double>& ts) {
    const double a = -p0 + 3 * c1 - 3 * c2 + p3, b = 2 * (p0 - 2 * c1 + c2), c = c1 - p0;
    auto keep = [&](double t) {
        if (t > 0 && t < 1) ts.push_back(t);
    };
    if (std::abs(a) < 1e-12) {
        if (std::abs(b) > 1e-12) keep(-c / b);
        return;
    }
    const double disc = b * b - 4 * a * c;
    if (disc < 0) return;
    const double root = std::sqrt(disc);
    keep((-b + root) / (2 * a));
    keep((-b - root) / (2 * a));
}

double cubic_at(double p0, double c1, double c2, double p3, double t) {
    const double u = 1 - t;
    return u * u * u * p0 + 3 * u * u * t * c1 + 3 * u * t * t * c2 + t * t * t * p3;
}

}  // namespace

void BezierPath::start_if_needed(double x, double y) {
    if (pending_move_) {
        pending_move_ = false;
        elements_.push_back({move, {*current_}});
        subpath_start_ = *current_;
        return;
    }
    if (current_) return;
    elements_.push_back({move, {pt(x, y)}});
    subpath_start_ = current_.emplace(pt(x, y));
}

void BezierPath::move_to(double x, double y) {
    std::lock_guard lock(mutex_);
    pending_move_ = false;
    elements_.push_back({move, {pt(x, y)}});
    subpath_start_ = current_.emplace(pt(x, y));
}

void BezierPath::line_to(double x, double y) {
    std::lock_guard lock(mutex_);
    start_if_needed(x, y);
    elements_.push_back({line, {pt(x, y)}});
    current_ = pt(x, y);
}

void BezierPath::curve_to(double x, double y, double c1x, double c1y, double c2x, double c2y) {
    std::lock_guard lock(mutex_);
    start_if_needed(x, y);
    elements_.push_back({curve, {pt(c1x, c1y), pt(c2x, c2y), pt(x, y)}});
    current_ = pt(x, y);
}

void BezierPath::close_path() {
    std::lock_guard lock(mutex_);
    if (!current_ || pending_move_) return;  // nothing open to close
    elements_.push_back({close, {}});
    current_ = subpath_start_;
}

void BezierPath::add_arc(double cx, double cy, double radius, double start, double end) {
    double sweep = std::min(end - start, 360.0);
    while (sweep < 0) sweep += 360;
    const double first = start * PI / 180;
    const PathPoint from = pt(cx + radius * std::cos(first), cy + radius * std::sin(first));
    std::lock_guard lock(mutex_);
    if (current_) {
        start_if_needed(from.x, from.y);
        elements_.push_back({line, {from}});
    } else {
        elements_.push_back({move, {from}});
        subpath_start_ = from;
    }
    current_ = from;
    // Pieces of at most a quarter turn keep the curves within a hair of the circle.
    const int pieces = std::max(1, static_cast<int>(std::ceil(sweep / 90 - 1e-9)));
    const double step = sweep * PI / 180 / pieces, k = 4.0 / 3.0 * std::tan(step / 4) * radius;
    for (int i = 0; i < pieces; ++i) {
        const double a = first + i * step, b = a + step;
        const double x0 = cx + radius * std::cos(a), y0 = cy + radius * std::sin(a);
        const double x1 = cx + radius * std::cos(b), y1 = cy + radius * std::sin(b);
        elements_.push_back({curve,
                             {pt(x0 - k * std::sin(a), y0 + k * std::cos(a)),
                              pt(x1 + k * std::sin(b), y1 - k * std::cos(b)), pt(x1, y1)}});
        current_ = pt(x1, y1);
    }
}

void BezierPath::add_oval(double x, double y, double w, double h) {
    // A unit circle's quarter curves, stretched to the rectangle.
    const double rx = w / 2, ry = h / 2, cx = x + rx, cy = y + ry, k = 0.5522847498307936;
    std::lock_guard lock(mutex_);
    elements_.push_back({move, {pt(cx + rx, cy)}});
    elements_.push_back({curve, {pt(cx + rx, cy + k * ry), pt(cx + k * rx, cy + ry), pt(cx, cy + ry)}});
    elements_.push_back({curve, {pt(cx - k * rx, cy + ry), pt(cx - rx, cy + k * ry), pt(cx - rx, cy)}});
    elements_.push_back({curve, {pt(cx - rx, cy - k * ry), pt(cx - k * rx, cy - ry), pt(cx, cy - ry)}});
    elements_.push_back({curve, {pt(cx + k * rx, cy - ry), pt(cx + rx, cy - k * ry), pt(cx + rx, cy)}});
    elements_.push_back({close, {}});
    subpath_start_ = current_.emplace(pt(cx + rx, cy));
    pending_move_ = false;
}

void BezierPath::add_path(const BezierPath& other) {
    if (&other == this) {
        std::lock_guard lock(mutex_);
        const std::vector<Element> copy = elements_;
        elements_.insert(elements_.end(), copy.begin(), copy.end());
        return;
    }
    std::scoped_lock lock(mutex_, other.mutex_);
    if (other.elements_.empty()) return;
    elements_.insert(elements_.end(), other.elements_.begin(), other.elements_.end());
    current_ = other.current_;
    subpath_start_ = other.subpath_start_;
    pending_move_ = other.pending_move_;
}

void BezierPath::append_outlines(const std::vector<Element>& outlines, PathPoint next) {
    std::lock_guard lock(mutex_);
    elements_.insert(elements_.end(), outlines.begin(), outlines.end());
    current_ = next;
    pending_move_ = true;
}

void BezierPath::transform(double a, double b, double c, double d, double tx, double ty) {
    auto map = [&](PathPoint& p) { p = pt(a * p.x + c * p.y + tx, b * p.x + d * p.y + ty); };
    std::lock_guard lock(mutex_);
    for (Element& e : elements_)
        for (int i = 0; i < (e.kind == curve ? 3 : e.kind == close ? 0 : 1); ++i) map(e.p[i]);
    if (current_) map(*current_);
    map(subpath_start_);
}

void BezierPath::rotate_about(double radians, double cx, double cy) {
    translate(-cx, -cy);
    transform(std::cos(radians), std::sin(radians), -std::sin(radians), std::cos(radians), 0, 0);
    translate(cx, cy);
}

void BezierPath::scale_anchored(double sx, double sy, int anchor) {
    const CanvasRect before = bounds();
    transform(sx, 0, 0, sy, 0, 0);
    const CanvasRect after = bounds();
    const double dx = after.x - before.x, dy = after.y - before.y;
    if (anchor == 0) translate(-dx, -dy);
    else if (anchor == 1)
        translate(-(dx + (after.width - before.width) / 2), -(dy + (after.height - before.height) / 2));
}

CanvasRect BezierPath::bounds() const {
    std::lock_guard lock(mutex_);
    return bounds_locked();
}

CanvasRect BezierPath::bounds_locked() const {
    if (elements_.empty()) return {};
    double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
    auto take = [&](double x, double y) {
        x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
    };
    PathPoint at, start;
    for (const Element& e : elements_) {
        switch (e.kind) {
        case move:
            start = at = e.p[0];
            take(at.x, at.y);
            break;
        case line:
            at = e.p[0];
            take(at.x, at.y);
            break;
        case curve: {
            std::vector<double> ts;
            turning_points(at.x, e.p[0].x, e.p[1].x, e.p[2].x, ts);
            turning_points(at.y, e.p[0].y, e.p[1].y, e.p[2].y, ts);
            for (double t : ts)
                take(cubic_at(at.x, e.p[0].x, e.p[1].x, e.p[2].x, t), cubic_at(at.y, e.p[0].y, e.p[1].y, e.p[2].y, t));
            at = e.p[2];
            take(at.x, at.y);
            break;
        }
        case close:
            at = start;
            break;
        }
    }
    return {x0, y0, x1 - x0, y1 - y0};
}

std::optional<PathPoint> BezierPath::current_point() const {
    std::lock_guard lock(mutex_);
    return current_;
}

bool BezierPath::empty() const {
    std::lock_guard lock(mutex_);
    return elements_.empty();
}

bool BezierPath::contains(double x, double y) const {
    cairo_surface_t* scratch = cairo_image_surface_create(CAIRO_FORMAT_A8, 1, 1);
    cairo_t* cr = cairo_create(scratch);
    {
        std::lock_guard lock(mutex_);
        apply_locked(cr);
    }
    const bool inside = cairo_in_fill(cr, x, y);
    cairo_destroy(cr);
    cairo_surface_destroy(scratch);
    return inside;
}

void BezierPath::set_line_width(double width) {
    std::lock_guard lock(mutex_);
    line_width_ = static_cast<float>(width);
}

double BezierPath::line_width() const {
    std::lock_guard lock(mutex_);
    return line_width_;
}

void BezierPath::apply(cairo_t* cr) const {
    std::lock_guard lock(mutex_);
    apply_locked(cr);
}

void BezierPath::apply_locked(cairo_t* cr) const {
    cairo_new_path(cr);
    for (const Element& e : elements_) {
        switch (e.kind) {
        case move: cairo_move_to(cr, e.p[0].x, e.p[0].y); break;
        case line: cairo_line_to(cr, e.p[0].x, e.p[0].y); break;
        case curve: cairo_curve_to(cr, e.p[0].x, e.p[0].y, e.p[1].x, e.p[1].y, e.p[2].x, e.p[2].y); break;
        case close: cairo_close_path(cr); break;
        }
    }
    cairo_set_line_width(cr, line_width_);
}

std::vector<BezierPath::Element> BezierPath::elements() const {
    std::lock_guard lock(mutex_);
    return elements_;
}

}  // namespace omb
