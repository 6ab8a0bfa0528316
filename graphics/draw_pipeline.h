// The drawing pipeline shared by the canvas's timed targets (clear, refresh, line; paths and groups plug in the
// same way): the canvas and its objects are read and held on the calling process's thread when the task is
// scheduled; when it falls due, the scheduler's thread draws on the canvas's bitmap (anti-aliasing off when the
// engine says so), draws the same into a running PDF capture, and asks the main thread to recomposite the dirty
// rectangle without waiting.
#pragma once

#include <cairo.h>

#include <functional>
#include <optional>

#include "graphics/graphic_view.h"
#include "runtime/argument_target.h"

namespace omb {

class SchemeInterface;

// What a colour argument asks for: nothing (NIL), erasing (any symbol), or a colour (a list of four reals).
struct Paint {
    enum Kind { none = 0, erase = 1, colour = 2 };
    Kind kind = none;
    double r = 0, g = 0, b = 0, a = 0;
};

// Reads a colour argument; false for anything that is none of the three forms.
bool read_paint(scheme* sc, pointer p, Paint& into);
// A list of four reals only.
bool read_colour(scheme* sc, pointer p, Paint& into);
// Paints travel in a task's numbers: kind then the four components.
void push_paint(const Paint& paint, std::vector<double>& numbers);
Paint paint_at(const TaskArguments& args, size_t index);

// The canvas an argument names, or null (not reported).
GraphicView* canvas_of(pointer p);

// Makes the source of `cr` the paint and picks the operator (one that erases, for erasing); false for none.
bool apply_paint(cairo_t* cr, const Paint& paint);

// Steps 2 to 6 for one drawing: `fn` draws on the canvas (and again on its PDF capture, when `into_pdf`), with
// anti-aliasing off when the engine's switch says so; then `dirty` is recomposited (the whole canvas when it is not
// given). False when the canvas has no bitmap.
bool run_drawing(GraphicView& view, std::optional<CanvasRect> dirty, bool into_pdf,
                 const std::function<void(cairo_t*)>& fn);

// A timed target whose task arguments start with a canvas: the reading is the target's own, the task holds the
// canvas and the objects until it has run.
class CanvasTarget : public ArgumentTarget {
public:
    using Reader = bool (*)(scheme* sc, pointer args, TaskArguments& into);
    using Runner = void (*)(GraphicView& view, const TaskArguments& args);
    CanvasTarget(const char* name, Reader reader, Runner runner) : name_(name), reader_(reader), runner_(runner) {}
    bool read(scheme* sc, pointer args, TaskArguments& into) const override;
    void execute(TaskI* task) override;

private:
    const char* name_;
    Reader reader_;
    Runner runner_;
};

// Binds a canvas target under `name` in the process's globals.
void bind_canvas_target(SchemeInterface* process, const char* name, CanvasTarget::Reader reader,
                        CanvasTarget::Runner runner);

}  // namespace omb
