// The path groups' timed targets, bound by GraphicEngine::schemeInit: *gfx:move-group* (paths dx dy, three vectors
// of one length: path i moves by dx[i], dy[i]) and *gfx:draw-group* (canvas, then five vectors: paths, stroke
// colours and fill colours flattened four reals each, line widths, styles). Style 0 fills, 1 draws nothing, 2
// strokes, 3 strokes then fills; every path's line width is set whatever its style. A bad path in the vector stops
// the group there: the paths before it are still moved or drawn, then the reason is reported when the task runs.
// Arguments are read and the paths held when the task is scheduled; tasks run on the scheduler's thread.
#pragma once

namespace omb {

class SchemeInterface;

void bind_group_targets(SchemeInterface* process);

}  // namespace omb
