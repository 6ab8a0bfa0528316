// The filter procedures a process calls: "gfx:convert-image" (a bitmap image wrapped as a filter image without
// copying, or a filter image rendered into a new bitmap image) and "gfx:filter-image", "gfx:print-filters",
// "gfx:print-filter-params" on the GEGL filter service (graphics/filter_service.h). Filter images are kept apart
// from bitmap images so a filter is never applied to a drawing target by mistake.
//
// "gfx:filter-image" takes [filter-image] name [parameters]: each parameter a pair (key . value) with a string key;
// a list value is a colour from its first three reals, a vector a filter vector, a filter image goes into the
// operation's input pad named by the key, a string names a text or enumerated value, any other number is a number.
// Each reports misuse to the log and returns #f. They run on the calling process's executer.
#pragma once

#include <span>

#include "graphics/bitmap_image.h"
#include "graphics/canvas_procedures.h"
#include "graphics/filter_service.h"

namespace omb {

// "gfx:convert-image" alone: it sits among the image procedures, after "gfx:copy-image".
CanvasProcedure convert_image_procedure();

// "gfx:filter-image", "gfx:print-filters", "gfx:print-filter-params", in that order.
std::span<const CanvasProcedure> filter_procedures();

}  // namespace omb
