#include "graphics/text_style.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <set>
#include <strings.h>

#include "platform/log_bridge.h"

namespace omb {

namespace {

constexpr const char* FALLBACK_FAMILY = "DejaVu Sans";

bool family_exists(const char* family) {
    PangoFontFamily** families = nullptr;
    int n = 0;
    pango_font_map_list_families(pango_cairo_font_map_get_default(), &families, &n);
    bool found = false;
    for (int i = 0; i < n && !found; ++i) found = strcasecmp(pango_font_family_get_name(families[i]), family) == 0;
    g_free(families);
    return found;
}

// One message per missing name, however often a piece asks for it.
void report_missing(const std::string& name) {
    static std::mutex mutex;
    static std::set<std::string> reported;
    std::lock_guard lock(mutex);
    if (reported.insert(name).second)
        CPPBridge::error("Font \"%s\" not found; using %s instead", name.c_str(), FALLBACK_FAMILY);
}

// A layout of the text for a context whose y counts down from the text's top-left corner.
PangoLayout* layout_for(cairo_t* cr, const TextStyle& style, const std::string& text, const TextPlacement& at) {
    PangoLayout* layout = pango_cairo_create_layout(cr);
    pango_layout_set_font_description(layout, style.font());
    pango_layout_set_text(layout, text.data(), static_cast<int>(text.size()));
    if (at.wrapped) {
        pango_layout_set_width(layout, static_cast<int>(std::lround(at.box.width * PANGO_SCALE)));
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    }
    return layout;
}

// The y (counting up) of the layout's top edge.
double top_of(PangoLayout* layout, const TextPlacement& at) {
    if (at.wrapped) return at.box.y + at.box.height;
    PangoRectangle logical;
    pango_layout_get_pixel_extents(layout, nullptr, &logical);
    return at.box.y + logical.height;
}

CanvasRect intersect(const CanvasRect& a, const CanvasRect& b) {
    const double x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    const double x1 = std::min(a.x + a.width, b.x + b.width), y1 = std::min(a.y + a.height, b.y + b.height);
    return {x0, y0, std::max(0.0, x1 - x0), std::max(0.0, y1 - y0)};
}

}  // namespace

TextStyle::TextStyle(PangoFontDescription* font, bool has_colour, const double (&rgba)[4])
    : font_(font), has_colour_(has_colour), rgba_{rgba[0], rgba[1], rgba[2], rgba[3]} {}

TextStyle::~TextStyle() { pango_font_description_free(font_); }

PangoFontDescription* resolve_font(const std::string& name, double size) {
    if (name.empty()) return nullptr;
    PangoFontDescription* font = pango_font_description_from_string(name.c_str());
    const char* family = pango_font_description_get_family(font);
    if (!family || !family_exists(family)) {
        report_missing(name);
        pango_font_description_set_family(font, FALLBACK_FAMILY);
    }
    pango_font_description_set_absolute_size(font, size * PANGO_SCALE);
    return font;
}

CanvasRect text_extents(const TextStyle& style, const std::string& text, const TextPlacement& at) {
    cairo_surface_t* scratch = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_t* cr = cairo_create(scratch);
    PangoLayout* layout = layout_for(cr, style, text, at);
    PangoRectangle ink, logical;
    pango_layout_get_pixel_extents(layout, &ink, &logical);
    const double top = top_of(layout, at);
    g_object_unref(layout);
    cairo_destroy(cr);
    cairo_surface_destroy(scratch);
    // Layout rectangles count y down from the top; a pixel of slack covers anti-aliased edges.
    const double x0 = std::min(ink.x, logical.x) - 1, x1 = std::max(ink.x + ink.width, logical.x + logical.width) + 1;
    const double y0 = std::min(ink.y, logical.y) - 1, y1 = std::max(ink.y + ink.height, logical.y + logical.height) + 1;
    CanvasRect r{at.box.x + x0, top - y1, x1 - x0, y1 - y0};
    return at.wrapped ? intersect(r, at.box) : r;
}

void draw_text(cairo_t* cr, const TextStyle& style, const std::string& text, const TextPlacement& at) {
    cairo_save(cr);
    if (at.wrapped) {
        cairo_rectangle(cr, at.box.x, at.box.y, at.box.width, at.box.height);
        cairo_clip(cr);
    }
    PangoLayout* layout = layout_for(cr, style, text, at);
    // Pango lays out downwards from the top-left corner: turn the y-up coordinates back for it.
    cairo_translate(cr, at.box.x, top_of(layout, at));
    cairo_scale(cr, 1, -1);
    pango_cairo_update_layout(cr, layout);
    const double* c = style.colour();
    if (style.has_colour()) cairo_set_source_rgba(cr, c[0], c[1], c[2], c[3]);
    else cairo_set_source_rgba(cr, 0, 0, 0, 1);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
    cairo_restore(cr);
}

}  // namespace omb
