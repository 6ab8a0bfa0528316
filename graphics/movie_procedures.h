// The movie procedures a process calls. Reading: "gfx:load-movie" (a path: a Movie object), "gfx:get-movie-duration"
// and "gfx:get-movie-fps" (a movie: seconds, frames per second), "gfx:get-movie-frame" (a movie and a time in
// seconds: a new image of the frame shown then), bound by GraphicEngine::schemeInit with the timed target
// "*gfx:destroy-movie*" (task arguments: a movie), which frees the movie's decoder when the task runs. A movie is
// also freed when Scheme lets go of it.
// Recording: "gfx:start-movie-capture" (view path [with-audio [compressed [quality]]]) and "gfx:stop-movie-capture"
// (view), bound by the general native library; one recording at a time in the program (graphics/movie_writer.h).
//
// Each reports misuse to the log and returns #f; none raises a Scheme error. They run on the calling process's
// executer; the target runs on the scheduler's thread.
#pragma once

#include <span>

#include "graphics/canvas_procedures.h"

namespace omb {

class SchemeInterface;

std::span<const CanvasProcedure> movie_procedures();
void bind_movie_targets(SchemeInterface* process);

pointer start_movie_capture(scheme* sc, pointer args);
pointer stop_movie_capture(scheme* sc, pointer args);
// Stops a recording still running (the program is ending): its file is finished, never left half-written.
void stop_any_movie_capture();

}  // namespace omb
