// TextStyle: the font, size and optional colour that "gfx:make-text-style" hands to Scheme as an object, and the
// laying out and drawing of a string in one onto a Cairo context whose y counts up from the bottom (a canvas's, or
// an image's turned the same way). A font family the system lacks falls back to a sans face, reported once per name.
// Styles are immutable once made, so the scheduler's thread may draw with one the process still holds.
// Called on whichever thread draws; Pango's font map is per thread.
#pragma once

#include <cairo.h>
#include <pango/pango.h>

#include <string>

#include "graphics/graphic_view.h"
#include "platform/objects/foundation.h"

namespace omb {

class TextStyle : public Object {
public:
    // Takes over `font`. Colour components are 0 to 1, not premultiplied.
    TextStyle(PangoFontDescription* font, bool has_colour, const double (&rgba)[4]);
    ~TextStyle() override;
    std::string class_name() const override { return "TextStyle"; }

    const PangoFontDescription* font() const { return font_; }
    bool has_colour() const { return has_colour_; }
    const double* colour() const { return rgba_; }

private:
    PangoFontDescription* font_;
    bool has_colour_;
    double rgba_[4];
};

// The face for `name` at `size` pixels; a family the system lacks becomes the fallback, logged the first time that
// name is asked for. Null for an empty name.
PangoFontDescription* resolve_font(const std::string& name, double size);

// Where a string lands: at a point it keeps its natural size with its bottom-left corner there; in a rectangle
// (wrapped) it is wrapped to the width from the top and clipped to the rectangle.
struct TextPlacement {
    CanvasRect box;
    bool wrapped = false;
};

// The rectangle the drawn string can touch (ink and advance both, rounded outwards), in the same coordinates.
CanvasRect text_extents(const TextStyle& style, const std::string& text, const TextPlacement& at);

// Draws the string in the style's colour (black without one), source-over.
void draw_text(cairo_t* cr, const TextStyle& style, const std::string& text, const TextPlacement& at);

}  // namespace omb
