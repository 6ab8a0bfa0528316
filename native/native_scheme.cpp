#include "native/native_scheme.h"

#include <string_view>

#include "graphics/canvas_procedures.h"
#include "graphics/movie_procedures.h"
#include "graphics/opengl_procedures.h"
#include "native/controller.h"
#include "native/live_video_scheme.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

// The application's screen when it has one; the graphics library's own answer without a display.
pointer screen_size(scheme* sc, pointer args) {
    NativeController* app = native_controller();
    if (const auto size = app ? app->screen_size() : std::nullopt)
        return s_cons(sc, mk_real(sc, size->first), mk_real(sc, size->second));
    return main_screen_size(sc, args);
}

pointer hide_menu(scheme* sc, pointer) {
    if (NativeController* app = native_controller()) app->hide_menu();
    return sc->T;
}

pointer show_menu(scheme* sc, pointer) {
    if (NativeController* app = native_controller()) app->show_menu();
    return sc->T;
}

// X11 gives a program no portable way to switch a screen's mode, and a performance should not change the
// performer's desktop behind their back: the mode stays, and the piece goes on as if it had been set.
pointer set_display_resolution(scheme* sc, pointer) {
    CPPBridge::log("gfx:set-display-resolution: the display mode is left to the desktop; nothing was changed");
    return sc->T;
}

constexpr NativeProcedure SCREEN[] = {{"sys:get-screen-size", screen_size}};

// The window-size and window-bounds procedures answer to a gfx: and a gl: name each.
constexpr NativeProcedure WINDOWS_AND_MENU[] = {
    {"gfx:hide-menu", hide_menu},                        {"gfx:show-menu", show_menu},
    {"gfx:window-to-front", canvas_window_to_front},     {"gfx:get-window-size", canvas_window_size},
    {"gfx:get-window-bounds", canvas_window_bounds},     {"gl:get-window-size", canvas_window_size},
    {"gl:get-window-bounds", canvas_window_bounds},      {"gfx:set-display-resolution", set_display_resolution},
};

constexpr NativeProcedure MOVIE_CAPTURE[] = {
    {"gfx:start-movie-capture", start_movie_capture},
    {"gfx:stop-movie-capture", stop_movie_capture},
};

constexpr const char* OPENGL_NAMES[] = {
    // views
    "gl:make-opengl", "gl:open-opengl", "gl:close-opengl", "gl:update-backing-image",
    // state and drawing
    "gl:line-width", "gl:point-size", "gl:fog", "gl:map-1", "gl:map-2", "gl:eval-coord-1", "gl:eval-coord-2",
    "gl:eval-mesh-1", "gl:eval-mesh-2", "gl:map-grid-1", "gl:map-grid-2", "gl:clear-accum", "gl:accum",
    "gl:clear-color", "gl:clear", "gl:color", "gl:color-material", "gl:ortho", "gl:load-identity", "gl:flush",
    "gl:push-matrix", "gl:pop-matrix", "gl:begin", "gl:end", "gl:vertex", "gl:frustum", "gl:matrix-mode",
    "gl:scale", "gl:rotate", "gl:translate", "gl:viewport", "gl:light", "gl:enable", "gl:hint", "gl:disable",
    "gl:light-model", "gl:shade-model", "gl:material",
    // textures and pixels
    "gl:gen-textures", "gl:bind-texture", "gl:tex-parameter", "gl:tex-image-2d", "gl:tex-coord-2d", "gl:tex-env",
    "gl:pixel-store", "gl:draw-pixels", "gl:read-pixels", "gl:copy-pixels", "gl:raster-pos", "gl:window-pos",
    // arrays
    "gl:interleaved-arrays", "gl:draw-arrays", "gl:draw-elements", "gl:multi-draw-elements", "gl:array-element",
    "gl:edge-flag-pointer", "gl:tex-coord-pointer", "gl:fog-coord-pointer", "gl:normal-pointer",
    "gl:index-pointer", "gl:secondary-color-pointer", "gl:color-pointer", "gl:vertex-pointer",
    "gl:disable-client-state", "gl:enable-client-state",
    // blending, depth, errors, lists
    "gl:blend-func", "gl:blend-equation", "gl:blend-color", "gl:get-error", "gl:depth-range", "gl:depth-mask",
    "gl:gen-lists", "gl:new-list", "gl:end-list", "gl:call-list",
    // shaders
    "gl:create-shader", "gl:shader-source", "gl:compile-shader", "gl:get-shader-info-log",
    "gl:get-program-info-log", "gl:create-program", "gl:attach-shader", "gl:detach-shader", "gl:link-program",
    "gl:use-program", "gl:delete-shader", "gl:delete-program", "gl:get-uniform-location", "gl:uniform",
    "gl:get-attrib-location", "gl:vertex-attrib",
    // GLU and GLUT
    "glu:look-at", "glu:error-string", "glu:perspective", "glut:swap-buffers", "glut:solid-teapot",
    "glut:solid-cube", "glut:solid-sphere", "glut:wire-teapot", "glut:wire-cube", "glut:wire-sphere",
};

// The tables in registration order, and where the aliases go.
template <typename Visit>
void each_name(Visit visit) {
    const NativeTable tables[] = {converter_and_log_procedures(),
                                  log_help_and_buffer_procedures(),
                                  file_procedures(),
                                  memory_procedures(),
                                  vector_math_procedures(),
                                  vector_data_procedures(),
                                  object_bridge_procedures(),
                                  script_procedures(),
                                  ipc_procedures(),
                                  live_video_procedures(),
                                  SCREEN,
                                  text_buffer_and_pasteboard_procedures(),
                                  WINDOWS_AND_MENU,
                                  MOVIE_CAPTURE};
    for (NativeTable table : tables)
        for (const NativeProcedure& p : table) visit(p);
    // Every OpenGL name is the graphics library's; one it lacked would be missing from names(), which a test checks.
    for (const char* name : OPENGL_NAMES)
        if (foreign_func procedure = opengl_procedure(name)) visit(NativeProcedure{name, procedure});
}

}  // namespace

void NativeScheme::schemeInit(SchemeInterface* process) {
    // One procedure cell per aliased pair, so both names are the same procedure.
    scheme* sc = process->getScheme();
    pointer window_size = sc->NIL, window_bounds = sc->NIL, objc_to_string = sc->NIL;
    each_name([&](const NativeProcedure& p) {
        const std::string_view name = p.name;
        pointer* shared = name == "gfx:get-window-size" || name == "gl:get-window-size"       ? &window_size
                          : name == "gfx:get-window-bounds" || name == "gl:get-window-bounds" ? &window_bounds
                          : name == "objc:objc->string" || name == "objc:nsstring->string"    ? &objc_to_string
                                                                                              : nullptr;
        if (!shared) {
            process->addForeignFunc(p.name, p.procedure);
            return;
        }
        if (*shared == sc->NIL) *shared = mk_foreign_func(sc, p.procedure);
        process->addGlobal(p.name, *shared);
    });
    if (Object* bridge = objc_bridge_object()) process->addGlobal("*ombrel-objc-bridge*", mk_objc(sc, bridge));
}

std::vector<const char*> NativeScheme::names() {
    std::vector<const char*> all;
    each_name([&](const NativeProcedure& p) { all.push_back(p.name); });
    all.push_back("*ombrel-objc-bridge*");
    return all;
}

}  // namespace omb
