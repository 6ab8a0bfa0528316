// The canvas's timed drawing targets, bound by GraphicEngine::schemeInit: *gfx:clear-canvas* (canvas, then nothing
// or a colour: without one the canvas becomes transparent), *gfx:refresh-canvas* (canvas) and *draw-line*
// (canvas x1 y1 x2 y2 colour). Their tasks run on the scheduler's thread through graphics/draw_pipeline.h.
#pragma once

namespace omb {

class SchemeInterface;

void bind_canvas_targets(SchemeInterface* process);

}  // namespace omb
