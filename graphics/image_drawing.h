// Drawing one bitmap image onto a Cairo context whose y counts up from the bottom (a canvas's, or an image's turned
// the same way), shared by *gfx:draw-image* and "gfx:image2image"; and reading their rectangle arguments.
// Called on whichever thread draws; the caller keeps the image alive and its pixels still.
#pragma once

#include <cairo.h>

#include "graphics/bitmap_image.h"
#include "graphics/graphic_view.h"
#include "interpreter/scheme.h"

namespace omb {

// The destination and source rectangles of an image drawing, from the optional (x y)/(x y w h) destination and
// (x y w h) source arguments: absent source is the whole image, a destination (x y) keeps the source's size.
// False for anything else (a source without area included).
bool read_image_rects(scheme* sc, pointer dst, pointer src, const BitmapImage& image, CanvasRect& into_dst,
                      CanvasRect& into_src);

// Draws `src` of the image (y up from its bottom row) onto `dst` with source-over at `alpha`, scaled to fit.
// `smooth` false keeps hard pixel edges when scaling. An image drawn onto its own pixels is copied first.
void draw_bitmap(cairo_t* cr, BitmapImage& image, double alpha, const CanvasRect& dst, const CanvasRect& src,
                 bool smooth);

}  // namespace omb
