// Outlines of text in a text style's font, as path elements: what "gfx:add-text" and "gfx:add-glyphs" append to a
// path. The glyphs stand on a baseline through `origin`, y up (the canvas's coordinates), one after the other by
// their advances; `next` is where a following glyph would start.
//
// Glyph numbers are the font's own glyph ids (the index of a glyph in the font file, as HarfBuzz and FreeType
// number them), not characters.
//
// Threads: the calling process's executer (Pango's font map is per thread).
#pragma once

#include <string>
#include <vector>

#include "graphics/bezier_path.h"
#include "graphics/text_style.h"

namespace omb {

struct Outline {
    std::vector<BezierPath::Element> elements;
    PathPoint next;
};

// The string (UTF-8) laid out in the style's font: glyph i of the layout for each character index i, so a string
// whose layout has fewer glyphs than characters gives all of them, and one with more gives as many as it has
// characters. False, with the reason in `error`, for text that is not UTF-8.
bool text_outline(const TextStyle& style, const std::string& text, PathPoint origin, Outline& into,
                  std::string& error);

// Those glyphs of the style's font, in order. False, with the reason in `error`, for a glyph id the font lacks.
bool glyph_outline(const TextStyle& style, const std::vector<long>& glyphs, PathPoint origin, Outline& into,
                   std::string& error);

}  // namespace omb
