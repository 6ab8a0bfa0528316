#include "graphics/text_procedures.h"

#include <cmath>
#include <string>

#include "graphics/draw_pipeline.h"
#include "graphics/graphic_engine.h"
#include "graphics/image_procedures.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

pointer first(scheme* sc, pointer args) { return is_pair(args) ? pair_car(args) : sc->NIL; }
pointer rest(scheme* sc, pointer args) { return is_pair(args) ? pair_cdr(args) : sc->NIL; }

bool finite_number(pointer p) { return is_number(p) && std::isfinite(rvalue(p)); }

// Beyond this a single glyph would outgrow the largest image or canvas.
constexpr double MAX_SIZE = GraphicEngine::OFFSCREEN_SIDE;

pointer make_text_style(scheme* sc, pointer args) {
    pointer name = first(sc, args), size = first(sc, rest(sc, args)), colour = first(sc, rest(sc, rest(sc, args)));
    Paint paint;
    if (!is_string(name) || !is_number(size) || (colour != sc->NIL && !read_colour(sc, colour, paint))) {
        CPPBridge::error("gfx:make-text-style takes a font name, a size and optionally a colour (r g b a): %s",
                         printed(sc, args).c_str());
        return sc->F;
    }
    const double points = rvalue(size);
    PangoFontDescription* font = std::isfinite(points) && points > 0 && points <= MAX_SIZE
                                     ? resolve_font(string_value(name), points)
                                     : nullptr;
    if (!font) {
        CPPBridge::error("Bad Font Name: \"%s\" at size %s", string_value(name), printed(sc, size).c_str());
        return mk_objc(sc, nullptr);
    }
    const double rgba[4] = {paint.r, paint.g, paint.b, paint.a};
    return mk_objc(sc, make_object<TextStyle>(font, paint.kind == Paint::colour, rgba).release());
}

pointer text2image(scheme* sc, pointer args) {
    pointer text = first(sc, args);
    if (!is_string(text)) {
        CPPBridge::error("gfx:text2image takes a string, an image, a text style and a rectangle list: %s",
                         printed(sc, args).c_str());
        return sc->F;
    }
    pointer more = rest(sc, args);
    BitmapImage* image = image_of(first(sc, more), "Illegal Image. Incorrect Type");
    if (!image) return sc->F;
    more = rest(sc, more);
    TextStyle* style = text_style_of(first(sc, more), "Illegal Text Attributes. Incorrect Type", "Bad Text Attrs");
    TextPlacement at;
    if (!style || !read_text_placement(sc, first(sc, rest(sc, more)), at)) return sc->F;
    cairo_t* cr = cairo_create(image->surface());
    // The image's own coordinates count y up from its bottom row, as a canvas's do.
    cairo_translate(cr, 0, image->height());
    cairo_scale(cr, 1, -1);
    draw_text(cr, *style, std::string(string_value(text)), at);
    const cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (status != CAIRO_STATUS_SUCCESS) {
        CPPBridge::error("Error drawing string: %s", cairo_status_to_string(status));
        return sc->F;
    }
    return sc->T;
}

constexpr CanvasProcedure PROCEDURES[] = {
    {"gfx:make-text-style", make_text_style},
    {"gfx:text2image", text2image},
};

}  // namespace

TextStyle* text_style_of(pointer p, const char* wrong_type, const char* bad) {
    if (!is_objc(p)) {
        CPPBridge::error("%s", wrong_type);
        return nullptr;
    }
    auto* style = dynamic_cast<TextStyle*>(objc_value(p));
    if (!style) CPPBridge::error("%s", bad);
    return style;
}

bool read_text_placement(scheme* sc, pointer rect, TextPlacement& into) {
    double v[4] = {0, 0, 0, 0};
    int n = 0;
    pointer p = rect;
    for (; is_pair(p) && n < 4 && finite_number(pair_car(p)); p = pair_cdr(p)) v[n++] = rvalue(pair_car(p));
    const bool shaped = p == sc->NIL && (n == 2 || (n == 4 && v[2] > 0 && v[3] > 0));
    if (!shaped) {
        CPPBridge::error("rect list must contain x,y or x,y,w,h: %s", printed(sc, rect).c_str());
        return false;
    }
    into.box = {v[0], v[1], v[2], v[3]};
    into.wrapped = n == 4;
    return true;
}

std::span<const CanvasProcedure> text_procedures() { return PROCEDURES; }

}  // namespace omb
