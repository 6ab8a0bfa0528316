#include "graphics/image_drawing.h"

#include <cmath>
#include <vector>

namespace omb {

namespace {

// Farther than this from the origin is no place on any bitmap: refused, as Cairo's fixed-point coordinates (and
// the scale between two rectangles) would overflow and leave the context unusable.
constexpr double FARTHEST = 1e7;

// A list of 2 or 4 finite numbers.
bool read_list(pointer p, std::vector<double>& into) {
    for (; is_pair(p); p = pair_cdr(p)) {
        if (!is_number(pair_car(p)) || !(std::fabs(rvalue(pair_car(p))) <= FARTHEST) || into.size() == 4)
            return false;
        into.push_back(rvalue(pair_car(p)));
    }
    return into.size() == 2 || into.size() == 4;
}

}  // namespace

bool read_image_rects(scheme* sc, pointer dst, pointer src, const BitmapImage& image, CanvasRect& into_dst,
                      CanvasRect& into_src) {
    std::vector<double> d, s;
    if (dst != sc->NIL && !read_list(dst, d)) return false;
    if (src != sc->NIL && (!read_list(src, s) || s.size() != 4 || s[2] < 1e-3 || s[3] < 1e-3)) return false;
    into_src = s.empty() ? CanvasRect{0, 0, double(image.width()), double(image.height())}
                         : CanvasRect{s[0], s[1], s[2], s[3]};
    if (d.empty()) d = {0, 0};
    into_dst = d.size() == 2 ? CanvasRect{d[0], d[1], into_src.width, into_src.height}
                             : CanvasRect{d[0], d[1], d[2], d[3]};
    return true;
}

void draw_bitmap(cairo_t* cr, BitmapImage& image, double alpha, const CanvasRect& dst, const CanvasRect& src,
                 bool smooth) {
    if (dst.empty() || src.empty() || image.width() == 0 || image.height() == 0) return;
    cairo_surface_t* pixels = image.surface();
    cairo_surface_flush(pixels);
    // Cairo reads and writes the same pixels in no defined order: draw from a copy.
    const bool own = cairo_get_target(cr) == pixels;
    if (own) {
        cairo_surface_t* copy = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, image.width(), image.height());
        cairo_t* c = cairo_create(copy);
        cairo_set_source_surface(c, pixels, 0, 0);
        cairo_set_operator(c, CAIRO_OPERATOR_SOURCE);
        cairo_paint(c);
        cairo_destroy(c);
        pixels = copy;
    }
    cairo_save(cr);
    cairo_rectangle(cr, dst.x, dst.y, dst.width, dst.height);
    cairo_clip(cr);
    // The image keeps its top row first: turn it upright at the destination, its source rectangle (counted from
    // the bottom) scaled onto the destination's.
    cairo_translate(cr, dst.x, dst.y + dst.height);
    cairo_scale(cr, dst.width / src.width, -dst.height / src.height);
    cairo_set_source_surface(cr, pixels, -src.x, -(image.height() - src.y - src.height));
    if (!smooth) cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_paint_with_alpha(cr, alpha);
    cairo_restore(cr);
    if (own) cairo_surface_destroy(pixels);
}

}  // namespace omb
