// The canvas procedures a process calls ("gfx:make-canvas" ... "gfx:get-code-image"), in the order
// GraphicEngine::schemeInit binds them. Each checks its arguments, reports misuse to the log and returns #f; none
// raises a Scheme error. They run on the calling process's executer.
#pragma once

#include <span>

#include "interpreter/scheme.h"

namespace omb {

struct CanvasProcedure {
    const char* name;
    foreign_func procedure;
};

std::span<const CanvasProcedure> canvas_procedures();

// The canvas-window procedures the general native library binds under its own names: a canvas's size and its
// window's bounds (as "gfx:get-canvas-size" and "gfx:get-canvas-bounds"), bringing its window to the front, and the
// main screen's size (a fixed size headless).
pointer canvas_window_size(scheme* sc, pointer args);
pointer canvas_window_bounds(scheme* sc, pointer args);
pointer canvas_window_to_front(scheme* sc, pointer args);
pointer main_screen_size(scheme* sc, pointer args);

}  // namespace omb
