// The filter procedures a process calls: "gfx:convert-image" (a bitmap image wrapped as a filter image without
// copying, or a filter image made into a new bitmap image) and "gfx:filter-image", "gfx:print-filters",
// "gfx:print-filter-params" on the GEGL filter service. Filter images are FilterImage objects: the result of a
// filter held as a bitmap, kept apart from bitmap images so a filter is never applied to a drawing target by mistake.
// Each reports misuse to the log and returns #f. They run on the calling process's executer.
#pragma once

#include <span>

#include "graphics/bitmap_image.h"
#include "graphics/canvas_procedures.h"

namespace omb {

class FilterImage : public Object {
public:
    explicit FilterImage(Ref<BitmapImage> pixels) : pixels_(std::move(pixels)) {}
    std::string class_name() const override { return "FilterImage"; }
    const BitmapImage& pixels() const { return *pixels_; }

private:
    Ref<BitmapImage> pixels_;
};

// "gfx:convert-image" alone: it sits among the image procedures, after "gfx:copy-image".
CanvasProcedure convert_image_procedure();

// "gfx:filter-image", "gfx:print-filters", "gfx:print-filter-params", in that order.
std::span<const CanvasProcedure> filter_procedures();

}  // namespace omb
