#include "graphics/text_outline.h"

#include <glib.h>
#include <hb.h>
#include <pango/pangocairo.h>

#include <memory>

namespace omb {

namespace {

// A context to lay text out in, with outlines as the font draws them: hinting would bend them to a pixel grid
// that a path, scaled and moved later, does not have.
struct Scratch {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_A8, 1, 1);
    cairo_t* cr = cairo_create(surface);
    PangoContext* context = pango_font_map_create_context(pango_cairo_font_map_get_default());

    Scratch() {
        cairo_font_options_t* options = cairo_font_options_create();
        cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
        cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
        pango_cairo_context_set_font_options(context, options);
        cairo_font_options_destroy(options);
    }
    ~Scratch() {
        g_object_unref(context);
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
};

// The glyphs (positions y down from the baseline at x 0) in `font`, appended to `into` turned y up about `origin`.
void append_glyphs(Scratch& s, cairo_scaled_font_t* font, const std::vector<cairo_glyph_t>& glyphs, PathPoint origin,
                   Outline& into) {
    if (glyphs.empty()) return;
    cairo_set_scaled_font(s.cr, font);
    cairo_new_path(s.cr);
    cairo_glyph_path(s.cr, glyphs.data(), static_cast<int>(glyphs.size()));
    cairo_path_t* path = cairo_copy_path(s.cr);
    auto up = [&](const cairo_path_data_t& p) {
        return PathPoint{static_cast<float>(origin.x + p.point.x), static_cast<float>(origin.y - p.point.y)};
    };
    for (int i = 0; path->status == CAIRO_STATUS_SUCCESS && i < path->num_data; i += path->data[i].header.length) {
        const cairo_path_data_t* d = &path->data[i];
        switch (d->header.type) {
        case CAIRO_PATH_MOVE_TO: into.elements.push_back({BezierPath::move, {up(d[1])}}); break;
        case CAIRO_PATH_LINE_TO: into.elements.push_back({BezierPath::line, {up(d[1])}}); break;
        case CAIRO_PATH_CURVE_TO:
            into.elements.push_back({BezierPath::curve, {up(d[1]), up(d[2]), up(d[3])}});
            break;
        case CAIRO_PATH_CLOSE_PATH: into.elements.push_back({BezierPath::close, {}}); break;
        }
    }
    cairo_path_destroy(path);
    cairo_new_path(s.cr);
}

bool drawable(PangoGlyph g) { return g != PANGO_GLYPH_EMPTY && !(g & PANGO_GLYPH_UNKNOWN_FLAG); }

}  // namespace

bool text_outline(const TextStyle& style, const std::string& text, PathPoint origin, Outline& into,
                  std::string& error) {
    into = {{}, origin};
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) {
        error = "the text is not UTF-8";
        return false;
    }
    const long characters = g_utf8_strlen(text.data(), static_cast<gssize>(text.size()));
    if (characters == 0) return true;
    Scratch s;
    PangoLayout* layout = pango_layout_new(s.context);
    pango_layout_set_font_description(layout, style.font());
    pango_layout_set_text(layout, text.data(), static_cast<int>(text.size()));
    long taken = 0;
    double pen = 0;  // every run on one baseline, lines included, as a path has no line breaks
    PangoLayoutIter* it = pango_layout_get_iter(layout);
    do {
        PangoLayoutRun* run = pango_layout_iter_get_run_readonly(it);
        if (!run) continue;
        std::vector<cairo_glyph_t> glyphs;
        for (int i = 0; i < run->glyphs->num_glyphs && taken < characters; ++i, ++taken) {
            const PangoGlyphInfo& g = run->glyphs->glyphs[i];
            if (drawable(g.glyph))
                glyphs.push_back({g.glyph, pen + double(g.geometry.x_offset) / PANGO_SCALE,
                                  double(g.geometry.y_offset) / PANGO_SCALE});
            pen += double(g.geometry.width) / PANGO_SCALE;
        }
        append_glyphs(s, pango_cairo_font_get_scaled_font(PANGO_CAIRO_FONT(run->item->analysis.font)), glyphs,
                      origin, into);
    } while (taken < characters && pango_layout_iter_next_run(it));
    pango_layout_iter_free(it);
    g_object_unref(layout);
    into.next = {static_cast<float>(origin.x + pen), origin.y};
    return true;
}

bool glyph_outline(const TextStyle& style, const std::vector<long>& glyphs, PathPoint origin, Outline& into,
                   std::string& error) {
    into = {{}, origin};
    if (glyphs.empty()) return true;
    Scratch s;
    PangoFont* font = pango_font_map_load_font(pango_cairo_font_map_get_default(), s.context, style.font());
    if (!font) {
        error = "the style's font cannot be loaded";
        return false;
    }
    const unsigned count = hb_face_get_glyph_count(hb_font_get_face(pango_font_get_hb_font(font)));
    cairo_scaled_font_t* scaled = pango_cairo_font_get_scaled_font(PANGO_CAIRO_FONT(font));
    std::vector<cairo_glyph_t> placed;
    double pen = 0;
    for (long id : glyphs) {
        if (id < 0 || id >= static_cast<long>(count)) {
            error = "glyph " + std::to_string(id) + " is not in the font (it has " + std::to_string(count) + ")";
            g_object_unref(font);
            return false;
        }
        cairo_glyph_t g{static_cast<unsigned long>(id), pen, 0};
        cairo_text_extents_t extents;
        cairo_scaled_font_glyph_extents(scaled, &g, 1, &extents);
        placed.push_back(g);
        pen += extents.x_advance;
    }
    append_glyphs(s, scaled, placed, origin, into);
    g_object_unref(font);
    into.next = {static_cast<float>(origin.x + pen), origin.y};
    return true;
}

}  // namespace omb
