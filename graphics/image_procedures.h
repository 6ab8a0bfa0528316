// The bitmap-image procedures a process calls ("gfx:make-image" ... "gfx:image2image"), in the order
// GraphicEngine::schemeInit binds them: making and loading images, copying, flipping and clearing them, their size,
// their pixels in and out, saving one as a PNG file (atomically), and drawing a path, a group or another image into
// one.
// Images are BitmapImage objects, rows stored top first: pixel (x y) counts y from the top row, while drawing into
// an image counts y up from its bottom row, as on a canvas. Each reports misuse to the log and returns #f; none
// raises a Scheme error. Sizes are 1 to 5000 pixels each way, checked before allocating.
// They run on the calling process's executer.
#pragma once

#include <span>

#include "graphics/bitmap_image.h"
#include "graphics/canvas_procedures.h"

namespace omb {

std::span<const CanvasProcedure> image_procedures();

// The image an argument holds. Not an object: reports `wrong_type`; a null object (or one that is not an image):
// reports "Null Image". Null either way.
BitmapImage* image_of(pointer p, const char* wrong_type);

// A new transparent image; null, reported, for a side that is not 1 to 5000 (checked before allocating).
Ref<BitmapImage> new_image(long width, long height, const char* who);

}  // namespace omb
