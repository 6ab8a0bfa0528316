// BitmapImage: a bitmap handed to Scheme as an object (a canvas's picture, the shared offscreen bitmap, a snapshot
// of the editor's text). It holds a reference to a Cairo ARGB32 image surface, premultiplied, which it may share
// with a canvas: the canvas keeps drawing into it.
//
// Threads: made on any thread; the surface's pixels are read under the owner's rules (a canvas's read()).
#pragma once

#include <cairo.h>

#include <string>

#include "platform/objects/foundation.h"

namespace omb {

class BitmapImage : public Object {
public:
    // Takes over one reference to `surface` (which may be a 0 x 0 surface: an empty image).
    explicit BitmapImage(cairo_surface_t* surface) : surface_(surface) {}
    ~BitmapImage() override { cairo_surface_destroy(surface_); }
    std::string class_name() const override { return "BitmapImage"; }

    cairo_surface_t* surface() const { return surface_; }
    int width() const { return cairo_image_surface_get_width(surface_); }
    int height() const { return cairo_image_surface_get_height(surface_); }

    // An empty (0 x 0) image.
    static Ref<BitmapImage> empty() {
        return make_object<BitmapImage>(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 0, 0));
    }

private:
    cairo_surface_t* surface_;
};

}  // namespace omb
