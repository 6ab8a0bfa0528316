// The text procedures a process calls, "gfx:make-text-style" and "gfx:text2image", which GraphicEngine::schemeInit
// binds among the image procedures; and the readers of a text style and a rectangle list that *gfx:draw-text*
// shares. Each reports misuse to the log and returns #f; none raises a Scheme error. They run on the calling
// process's executer.
#pragma once

#include <span>

#include "graphics/canvas_procedures.h"
#include "graphics/text_style.h"

namespace omb {

std::span<const CanvasProcedure> text_procedures();

// The style an argument holds. Not an object: reports `wrong_type`; a null object (or one that is not a style):
// reports `bad`. Null either way.
TextStyle* text_style_of(pointer p, const char* wrong_type, const char* bad);

// A rectangle list (x y), drawn at the point, or (x y w h) with some area, wrapped inside it; false, reported as
// "rect list must contain x,y or x,y,w,h", for anything else.
bool read_text_placement(scheme* sc, pointer rect, TextPlacement& into);

}  // namespace omb
