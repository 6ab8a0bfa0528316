#include "graphics/text_targets.h"

#include <memory>
#include <mutex>
#include <vector>

#include "graphics/draw_pipeline.h"
#include "graphics/text_procedures.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

// The text, the style, then the numbers: wrapped (0 or 1), x, y, w, h.
bool read_draw_text(scheme* sc, pointer rest, TaskArguments& into) {
    pointer text = is_pair(rest) ? pair_car(rest) : sc->NIL;
    if (!is_string(text)) {
        CPPBridge::error("*gfx:draw-text* takes a canvas, a string, a text style and a rectangle list: %s",
                         printed(sc, rest).c_str());
        return false;
    }
    pointer more = pair_cdr(rest);
    TextStyle* style = text_style_of(is_pair(more) ? pair_car(more) : sc->NIL,
                                     "Arg 3 should be a text attributes NSMutableDictionary", "Bad Font");
    TextPlacement at;
    if (!style || !read_text_placement(sc, is_pair(pair_cdr(more)) ? pair_car(pair_cdr(more)) : sc->NIL, at))
        return false;
    into.text = string_value(text);
    into.objects.push_back(Ref<Object>::retain(style));
    into.numbers.insert(into.numbers.end(), {at.wrapped ? 1.0 : 0.0, at.box.x, at.box.y, at.box.width, at.box.height});
    return true;
}

void run_draw_text(GraphicView& view, const TaskArguments& args) {
    auto* style = args.objects.size() > 1 ? dynamic_cast<TextStyle*>(args.objects[1].get()) : nullptr;
    if (!style) return;
    TextPlacement at;
    at.wrapped = args.number(0) != 0;
    at.box = {args.number(1), args.number(2), args.number(3), args.number(4)};
    const CanvasRect dirty = text_extents(*style, args.text, at);
    // Into a PDF capture too, as vector text: a capture without its words would not be the canvas seen.
    run_drawing(view, dirty, true, [&](cairo_t* cr) { draw_text(cr, *style, args.text, at); });
}

}  // namespace

void bind_text_targets(SchemeInterface* process) {
    bind_canvas_target(process, "*gfx:draw-text*", read_draw_text, run_draw_text);
}

}  // namespace omb
