// The path groups' timed targets, bound by GraphicEngine::schemeInit: *gfx:move-group* (paths dx dy, three vectors
// of one length: path i moves by dx[i], dy[i]), *gfx:draw-group* (canvas, then five vectors: paths, stroke
// colours and fill colours flattened four reals each, line widths, styles) and *gfx:draw-group-objc* (canvas, then
// five arrays of objects: paths, stroke colours, fill colours, widths and styles as NSNumbers). A colour object is
// an NSArray of three or four NSNumbers, red green blue [alpha], 0 to 1, alpha 1 when left out: what
// (objc:list->nsarray '(1 0 0 1)) makes.
//
// Style 0 fills, 1 draws nothing, 2 strokes, 3 strokes then fills; every path's line width is set whatever its
// style. A bad path in the paths stops the group there: the paths before it are still moved or drawn, then the
// reason is reported when the task runs. Arguments are read and the paths held when the task is scheduled; tasks
// run on the scheduler's thread. The same reading and drawing serve "gfx:group2image".
#pragma once

#include <cairo.h>

#include "interpreter/scheme.h"
#include "runtime/argument_target.h"

namespace omb {

class SchemeInterface;

void bind_group_targets(SchemeInterface* process);

// Reads the five vectors of a group (the list starting at the paths) into `into`, after whatever objects it already
// holds; a bad path element is kept in into.text as `bad_path` (or "Null Path") and ends the paths there. False,
// reported, when the vectors are not a group.
bool read_group(scheme* sc, pointer five, const char* who, const char* bad_path, TaskArguments& into);

// A colour object (an NSArray of three or four numbers, 0 to 1) as red, green, blue, alpha; false for anything else.
bool colour_object(const Object* object, double (&rgba)[4]);

// Draws the group whose paths start at into.objects[first]; the stroke and fill use source-over.
void draw_group(cairo_t* cr, const TaskArguments& group, size_t first);

}  // namespace omb
