#include "graphics/image_targets.h"

#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "graphics/draw_pipeline.h"
#include "graphics/filter_service.h"
#include "graphics/graphic_engine.h"
#include "graphics/image_drawing.h"
#include "graphics/image_procedures.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

constexpr const char* USAGE =
    "*gfx:draw-image* takes a canvas, an image, an alpha and optionally a destination (x y) or (x y w h) and a "
    "source (x y w h): %s";

// Numbers: alpha, then the destination and source rectangles (x y w h each) with the defaults filled in. A filter
// image is rendered here, on the process's thread, so that the scheduler's thread only copies pixels when it is due.
bool read_draw_image(scheme* sc, pointer rest, TaskArguments& into) {
    pointer arg = is_pair(rest) ? pair_car(rest) : sc->NIL;
    Ref<BitmapImage> rendered;
    BitmapImage* image = nullptr;
    if (auto* filtered = is_objc(arg) ? dynamic_cast<FilterImage*>(objc_value(arg)) : nullptr) {
        std::string error;
        rendered = render_filter_image(*filtered, "The extent of image is to large. Crop before drawing", error);
        if (!rendered) {
            CPPBridge::error("%s", error.c_str());
            return false;
        }
        image = rendered.get();
    } else {
        image = image_of(arg, "Illegal Image. Incorrect Type");
    }
    if (!image) return false;
    pointer p = pair_cdr(rest);
    if (!is_pair(p) || !is_number(pair_car(p)) || !std::isfinite(rvalue(pair_car(p)))) {
        CPPBridge::error(USAGE, printed(sc, rest).c_str());
        return false;
    }
    pointer d = is_pair(pair_cdr(p)) ? pair_car(pair_cdr(p)) : sc->NIL;
    pointer s = is_pair(pair_cdr(p)) && is_pair(pair_cdr(pair_cdr(p))) ? pair_car(pair_cdr(pair_cdr(p))) : sc->NIL;
    CanvasRect dst, src;
    if (!read_image_rects(sc, d, s, *image, dst, src)) {
        CPPBridge::error(USAGE, printed(sc, rest).c_str());
        return false;
    }
    into.objects.push_back(Ref<Object>::retain(image));
    into.numbers.insert(into.numbers.end(), {rvalue(pair_car(p)), dst.x, dst.y, dst.width, dst.height, src.x, src.y,
                                             src.width, src.height});
    return true;
}

void run_draw_image(GraphicView& view, const TaskArguments& args) {
    auto* image = args.objects.size() > 1 ? dynamic_cast<BitmapImage*>(args.objects[1].get()) : nullptr;
    if (!image) return;
    const CanvasRect dst{args.number(1), args.number(2), args.number(3), args.number(4)};
    const CanvasRect src{args.number(5), args.number(6), args.number(7), args.number(8)};
    if (dst.empty()) return;
    const bool smooth = GraphicEngine::alias.load();
    // Into a PDF capture too: a capture that left out the pictures would not be the canvas the audience saw.
    run_drawing(view, dst, true, [&](cairo_t* cr) { draw_bitmap(cr, *image, args.number(0), dst, src, smooth); });
}

}  // namespace

void bind_image_targets(SchemeInterface* process) {
    bind_canvas_target(process, "*gfx:draw-image*", read_draw_image, run_draw_image);
}

}  // namespace omb
