// The path procedures a process calls ("gfx:make-path" ... "gfx:get-path-centre"), in the order
// GraphicEngine::schemeInit binds them: building paths (text and glyph outlines included, graphics/text_outline.h),
// appending one path to another, moving one now, and asking about its points, bounds and insides. Each reports
// misuse to the log and returns #f; none raises a Scheme error. They run on the calling process's executer.
#pragma once

#include <span>

#include "graphics/canvas_procedures.h"

namespace omb {

class BezierPath;

std::span<const CanvasProcedure> path_procedures();

// The path an argument holds. Not an object: reports `wrong_type`; a null object (or one that is not a path):
// reports "Null Path". Null either way.
BezierPath* path_of(pointer p, const char* wrong_type);

}  // namespace omb
