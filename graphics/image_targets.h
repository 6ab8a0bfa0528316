// The image's timed drawing target, bound by GraphicEngine::schemeInit: *gfx:draw-image* (canvas image alpha
// [destination-rectangle] [source-rectangle]). Rectangles count y up from the bottom, as the canvas does; a
// destination (x y) keeps the source's size. The task runs on the scheduler's thread through
// graphics/draw_pipeline.h, holding the image until it has run, and recomposites the destination rectangle.
// Scaled images are smoothed unless anti-aliasing is off ("gfx:set-alias"), when they keep hard pixel edges.
#pragma once

namespace omb {

class SchemeInterface;

void bind_image_targets(SchemeInterface* process);

}  // namespace omb
