// The paths' timed targets, bound by GraphicEngine::schemeInit: *gfx:draw-path* (canvas path stroke fill
// [line-width]: stroke, then fill; NIL draws nothing, a symbol erases, a list is a colour) and the transforms
// *gfx:move-path* (path dx dy), *gfx:rotate-path-rad* and *gfx:rotate-path-deg* (path angle cx cy) and
// *gfx:scale-path* (path sx sy anchor). Arguments are read and the path held when the task is scheduled; the task
// runs on the scheduler's thread (drawing through graphics/draw_pipeline.h).
#pragma once

namespace omb {

class SchemeInterface;

void bind_path_targets(SchemeInterface* process);

}  // namespace omb
