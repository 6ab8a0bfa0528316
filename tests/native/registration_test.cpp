// What every process carries: the native library's names, in their order, bound in a running process, with the
// aliases that share one procedure and the families still to come answering with their message.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "editor/text/documentation.h"
#include "io/midi_file_scheme.h"
#include "io/midi_router.h"
#include "io/osc.h"
#include "io/osc_scheme.h"
#include "native/controller.h"
#include "native/native_scheme.h"
#include "tests/runtime/process_support.h"
#include "tests/support/log_capture.h"

namespace omb {
namespace {

using namespace test;

// The published list, family by family, written out here so that a missing or misspelt name shows.
const std::vector<std::string> kExpected = {
    "io:binary-or", "io:binary-and", "io:log", "real->integer", "integer->real", "string->cptr",
    "sys:clear-log-view", "sys:write-log-view", "sys:get-string-from-message-bar", "sys:ombrel-help",
    "sys:help-entries", "sys:get-scheme-str-buffer", "sys:get-documentation-dictionary",
    "io:cwd", "io:validate-filename", "io:file-exists?", "io:delete-file", "io:move-file", "io:directory-list",
    "io:make-directory",
    "sys:vector-recycle",
    "math:matrix*", "math:vector*", "math:vector/", "math:vector+", "math:vector-", "math:vector=", "math:vector==",
    "math:vector>", "math:vector<", "math:vector>=", "math:vector<=", "math:vector^", "math:vector@", "math:vector%",
    "math:vector-sum", "math:vector-min", "math:vector-max", "math:vector-rotate", "math:vector-rand",
    "math:vector-sum-and-rotate", "math:vector-sum-and-rotate-i",
    "objc:nsdata->vector", "objc:vector->nsdata-float", "objc:vector->nsdata-int", "objc:vector->nsdata-uint8",
    "objc:make", "objc:null?", "objc:print", "objc:number->nsnumber", "objc:string->nsstring",
    "objc:nsnumber->number", "objc:objc->string", "objc:nsstring->string", "objc:list->nsarray",
    "objc:nsarray->list", "objc:destroy", "objc:call", "objc:iskind?", "objc:gc", "objc:from-address",
    "objc:get-address", "objc:object-for-key", "objc:string->nsdata",
    "sys:run-applescript",
    "sys:ipc-call", "sys:ipc-new-process", "sys:ipc-connect-to-process", "sys:ipc-define", "sys:ipc-load",
    "sys:ipc-eval-string", "io:send-port-message",
    "gfx:get-live-frame", "gfx:start-live-video", "gfx:open-video-preferences", "gfx:set-video-device",
    "gfx:set-video-device-input", "gfx:print-video-devices", "gfx:set-video-bounds",
    "sys:get-screen-size", "sys:get-text-buffer", "sys:set-text-buffer", "sys:set-pasteboard", "gfx:hide-menu",
    "gfx:show-menu", "gfx:window-to-front", "gfx:get-window-size", "gfx:get-window-bounds", "gl:get-window-size",
    "gl:get-window-bounds", "gfx:set-display-resolution",
    "gfx:start-movie-capture", "gfx:stop-movie-capture",
    "gl:make-opengl", "gl:open-opengl", "gl:close-opengl", "gl:update-backing-image",
    "gl:line-width", "gl:point-size", "gl:fog", "gl:map-1", "gl:map-2", "gl:eval-coord-1", "gl:eval-coord-2",
    "gl:eval-mesh-1", "gl:eval-mesh-2", "gl:map-grid-1", "gl:map-grid-2", "gl:clear-accum", "gl:accum",
    "gl:clear-color", "gl:clear", "gl:color", "gl:color-material", "gl:ortho", "gl:load-identity", "gl:flush",
    "gl:push-matrix", "gl:pop-matrix", "gl:begin", "gl:end", "gl:vertex", "gl:frustum", "gl:matrix-mode",
    "gl:scale", "gl:rotate", "gl:translate", "gl:viewport", "gl:light", "gl:enable", "gl:hint", "gl:disable",
    "gl:light-model", "gl:shade-model", "gl:material",
    "gl:gen-textures", "gl:bind-texture", "gl:tex-parameter", "gl:tex-image-2d", "gl:tex-coord-2d", "gl:tex-env",
    "gl:pixel-store", "gl:draw-pixels", "gl:read-pixels", "gl:copy-pixels", "gl:raster-pos", "gl:window-pos",
    "gl:interleaved-arrays", "gl:draw-arrays", "gl:draw-elements", "gl:multi-draw-elements", "gl:array-element",
    "gl:edge-flag-pointer", "gl:tex-coord-pointer", "gl:fog-coord-pointer", "gl:normal-pointer",
    "gl:index-pointer", "gl:secondary-color-pointer", "gl:color-pointer", "gl:vertex-pointer",
    "gl:disable-client-state", "gl:enable-client-state",
    "gl:blend-func", "gl:blend-equation", "gl:blend-color", "gl:get-error", "gl:depth-range", "gl:depth-mask",
    "gl:gen-lists", "gl:new-list", "gl:end-list", "gl:call-list",
    "gl:create-shader", "gl:shader-source", "gl:compile-shader", "gl:get-shader-info-log",
    "gl:get-program-info-log", "gl:create-program", "gl:attach-shader", "gl:detach-shader", "gl:link-program",
    "gl:use-program", "gl:delete-shader", "gl:delete-program", "gl:get-uniform-location", "gl:uniform",
    "gl:get-attrib-location", "gl:vertex-attrib",
    "glu:look-at", "glu:error-string", "glu:perspective", "glut:swap-buffers", "glut:solid-teapot",
    "glut:solid-cube", "glut:solid-sphere", "glut:wire-teapot", "glut:wire-cube", "glut:wire-sphere",
    "*ombrel-objc-bridge*"};

TEST(NativeNames, EveryPublishedNameInItsOrder) {
    std::vector<std::string> names;
    for (const char* n : NativeScheme::names()) names.emplace_back(n);
    EXPECT_EQ(names, kExpected);
}

// The program's libraries in its order, on no MIDI system and an OSC port of the system's choice.
class NativeEnvironment : public ProcessEnvironment {
public:
    void SetUp() override {
        MIDIRouter::SYSTEM = "none";
        OSC::PORT = 0;
        add_native_library(MIDIRouter::schemeInit);
        add_native_library(midi_file_scheme_init);
        add_native_library(osc_scheme_init);
        add_native_library(NativeScheme::schemeInit);
        ProcessEnvironment::SetUp();
    }
};

const auto* environment = ::testing::AddGlobalTestEnvironment(new NativeEnvironment);

class NativeProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(c.greet());
    }
    LogCapture log;
    Conn c{ProcessEnvironment::port};
};

TEST_F(NativeProcess, EveryNameIsBoundAndTheAliasesAreOneProcedure) {
    std::string unbound;
    for (const std::string& name : kExpected)
        if (c.eval("(defined? '" + name + ")") != "#t") unbound += " " + name;
    EXPECT_EQ(unbound, "");
    EXPECT_EQ(c.eval("(eq? gfx:get-window-size gl:get-window-size)"), "#t");
    EXPECT_EQ(c.eval("(eq? gfx:get-window-bounds gl:get-window-bounds)"), "#t");
    EXPECT_EQ(c.eval("(eq? objc:objc->string objc:nsstring->string)"), "#t");
    EXPECT_EQ(c.eval("(eq? gfx:get-window-size gfx:get-window-bounds)"), "#f");
}

TEST_F(NativeProcess, TheGraphicsFamiliesRefuseCallsWithoutTheirObject) {
    // OpenGL is here: a call without a view is refused by the binding itself.
    EXPECT_EQ(c.eval("(gl:clear-color 0 0 0 1)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "First argument must be an opengl canvas"));
    // Movie capture is here: a number is no canvas to record.
    EXPECT_EQ(c.eval("(gfx:start-movie-capture 1 \"x.mov\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "First argument must be a canvas"));
    // A callback member is a target for call-cpp-at-time, not a procedure.
    EXPECT_NE(c.eval("(*note-on* 1 2 3)").find("Error"), std::string::npos);
    EXPECT_EQ(c.eval("(+ 1 2)"), "3");
}

// A display as the application reports it: one screen, and the menu bars it was asked to hide and show.
class ScreenStandIn : public NativeController {
public:
    void new_process(const std::string&, int) override {}
    void connect_to_process(const std::string&, const std::string&, int) override {}
    int index_of_repl(const std::string&) override { return kNotFound; }
    void write_to_repl(const std::string&, int) override {}
    void clear_log() override {}
    bool write_log(const std::string&) override { return false; }
    std::string message_bar_text() override { return ""; }
    std::optional<std::string> buffer_text(int) override { return std::nullopt; }
    bool set_buffer_text(int, const std::string&) override { return false; }
    void set_pasteboard(const std::string&) override {}
    const Documentation& documentation() override { return docs; }
    std::optional<std::pair<double, double>> screen_size() override { return std::pair{1280.0, 900.0}; }
    void hide_menu() override { ++hidden; }
    void show_menu() override { ++shown; }

    std::atomic<int> hidden{0}, shown{0};
    Documentation docs;
};

TEST_F(NativeProcess, ScreensAndMenusAnswerWithAndWithoutADisplay) {
    // No display: a screen of the graphics library's own size, menus with nothing to hide.
    EXPECT_EQ(c.eval("(sys:get-screen-size)"), "(1920 . 1080)");
    EXPECT_EQ(c.eval("(gfx:hide-menu)"), "#t");
    EXPECT_EQ(c.eval("(gfx:show-menu)"), "#t");
    EXPECT_EQ(c.eval("(gfx:set-display-resolution 0 32 800 600 #t)"), "#t");
    EXPECT_TRUE(log.saw(log.outputs, "the display mode is left to the desktop"));

    ScreenStandIn app;
    set_native_controller(&app);
    EXPECT_EQ(c.eval("(sys:get-screen-size)"), "(1280 . 900)");
    EXPECT_EQ(c.eval("(gfx:hide-menu)"), "#t");
    EXPECT_EQ(c.eval("(gfx:show-menu)"), "#t");
    EXPECT_EQ(c.eval("(gfx:hide-menu)"), "#t");
    set_native_controller(nullptr);
    EXPECT_EQ(app.hidden.load(), 2);
    EXPECT_EQ(app.shown.load(), 1);
}

}  // namespace
}  // namespace omb
