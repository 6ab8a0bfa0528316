#include "graphics/graphic_engine.h"

#include <mutex>
#include <string_view>

#include "graphics/canvas_procedures.h"
#include "graphics/canvas_targets.h"
#include "graphics/group_targets.h"
#include "graphics/filter_procedures.h"
#include "graphics/image_procedures.h"
#include "graphics/image_targets.h"
#include "graphics/movie_procedures.h"
#include "graphics/path_procedures.h"
#include "graphics/path_targets.h"
#include "graphics/text_procedures.h"
#include "graphics/text_targets.h"
#include "platform/log_bridge.h"
#include "platform/objects/runtime.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

std::mutex offscreen_mutex;
Ref<BitmapImage> offscreen_image;

std::mutex code_image_mutex;
std::function<Ref<BitmapImage>()> code_image_source;

std::mutex pointer_mutex;
std::pair<double, double> pointer_at{0, 0};

// The object runtime knows canvases and bitmaps by name, as the object bridge asks for them.
void register_classes() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (const char* name : {"GraphicView", "BitmapImage", "FilterImage", "NSBezierPath", "Movie"})
            if (!runtime::find_class(name)) runtime::register_class(ClassDefinition{name, "NSObject", {}, {}, {}});
    });
}

}  // namespace

void GraphicEngine::schemeInit(SchemeInterface* process) {
    register_classes();
    scheme* sc = process->getScheme();
    pointer to_image = sc->NIL;  // one procedure under its gfx: and gl: names
    for (const CanvasProcedure& p : canvas_procedures()) {
        const std::string_view name = p.name;
        if (name != "gfx:get-image-from-canvas" && name != "gl:get-image-from-opengl") {
            process->addForeignFunc(p.name, p.procedure);
            continue;
        }
        if (to_image == sc->NIL) to_image = mk_foreign_func(sc, p.procedure);
        process->addGlobal(p.name, to_image);
    }
    bind_canvas_targets(process);
    for (const CanvasProcedure& p : path_procedures()) process->addForeignFunc(p.name, p.procedure);
    bind_path_targets(process);
    bind_group_targets(process);
    // The text procedures sit among the image ones: after saving an image, before drawing paths into one.
    for (const CanvasProcedure& p : image_procedures()) {
        if (std::string_view(p.name) == "gfx:path2image")
            for (const CanvasProcedure& t : text_procedures()) process->addForeignFunc(t.name, t.procedure);
        if (std::string_view(p.name) == "gfx:flip-image") {
            const CanvasProcedure convert = convert_image_procedure();
            process->addForeignFunc(convert.name, convert.procedure);
        }
        process->addForeignFunc(p.name, p.procedure);
    }
    for (const CanvasProcedure& p : filter_procedures()) process->addForeignFunc(p.name, p.procedure);
    bind_text_targets(process);
    bind_image_targets(process);
    for (const CanvasProcedure& p : movie_procedures()) process->addForeignFunc(p.name, p.procedure);
    bind_movie_targets(process);
}

void GraphicEngine::initOffscreen() {
    std::lock_guard lock(offscreen_mutex);
    offscreen_image = {};
}

Ref<BitmapImage> GraphicEngine::offscreen() {
    std::lock_guard lock(offscreen_mutex);
    if (!offscreen_image) {
        cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, OFFSCREEN_SIDE, OFFSCREEN_SIDE);
        if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
            CPPBridge::error("Cannot make the offscreen bitmap: %s", cairo_status_to_string(cairo_surface_status(s)));
            cairo_surface_destroy(s);
            return {};
        }
        offscreen_image = make_object<BitmapImage>(s);
    }
    return offscreen_image;
}

void GraphicEngine::set_code_image_source(std::function<Ref<BitmapImage>()> source) {
    std::lock_guard lock(code_image_mutex);
    code_image_source = std::move(source);
}

Ref<BitmapImage> GraphicEngine::code_image() {
    std::function<Ref<BitmapImage>()> source;
    {
        std::lock_guard lock(code_image_mutex);
        source = code_image_source;
    }
    Ref<BitmapImage> image = source ? source() : Ref<BitmapImage>{};
    return image ? image : BitmapImage::empty();
}

void GraphicEngine::set_screen_pointer(double x, double y) {
    std::lock_guard lock(pointer_mutex);
    pointer_at = {x, y};
}

std::pair<double, double> GraphicEngine::screen_pointer() {
    std::lock_guard lock(pointer_mutex);
    return pointer_at;
}

}  // namespace omb
