// The text's timed drawing target, bound by GraphicEngine::schemeInit: *gfx:draw-text* (canvas string text-style
// rectangle). The rectangle list is (x y), the string's bottom-left corner, or (x y w h), wrapped inside it from the
// top; y counts up from the bottom, as the canvas does. The task runs on the scheduler's thread through
// graphics/draw_pipeline.h, holding the style until it has run, and recomposites the rectangle the text can touch.
#pragma once

namespace omb {

class SchemeInterface;

void bind_text_targets(SchemeInterface* process);

}  // namespace omb
