// GraphicEngine: the graphics library of a Scheme process. schemeInit binds the canvas procedures (make, open,
// close, resize, sizes and bounds, mouse registration, PNG and PDF capture, anti-aliasing and debug switches, the
// shared offscreen bitmap, the editor's text as an image) and the timed drawing targets (*gfx:clear-canvas*,
// *gfx:refresh-canvas*, *draw-line*); then the path procedures and the path targets (*gfx:draw-path* and the timed
// transforms), and the path groups' targets (*gfx:move-group*, *gfx:draw-group*); images, text and filters; movies
// read frame by frame and *gfx:destroy-movie*.
//
// Threads: schemeInit and the procedures run on the executer of the calling process; the drawing targets run on the
// scheduler's thread (graphics/draw_pipeline.h). The switches below are read by any thread.
#pragma once

#include <atomic>
#include <functional>

#include "graphics/bitmap_image.h"
#include "interpreter/scheme.h"

namespace omb {

class SchemeInterface;

class GraphicEngine {
public:
    // False: drawing turns anti-aliasing off ("gfx:set-alias").
    static inline std::atomic<bool> alias{true};
    // True: each recomposited rectangle is outlined in red ("gfx:debug-graphics").
    static inline std::atomic<bool> DEBUG_GRAPHICS{false};
    // The offscreen bitmap's side.
    static constexpr int OFFSCREEN_SIDE = 5000;

    static void schemeInit(SchemeInterface* process);

    // Drops the shared offscreen bitmap; the next "gfx:get-offscreen" makes it anew. It is 100 MB, so it is made
    // when first asked for, never at start.
    static void initOffscreen();
    static Ref<BitmapImage> offscreen();

    // The windowed program sets this to snapshot the code editor's visible text; unset, the image is empty.
    static void set_code_image_source(std::function<Ref<BitmapImage>()> source);
    static Ref<BitmapImage> code_image();

    // The pointer in screen coordinates, kept by the windowed program.
    static void set_screen_pointer(double x, double y);
    static std::pair<double, double> screen_pointer();
};

}  // namespace omb
