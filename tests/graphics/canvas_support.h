// What the graphics tests share: a process with the graphics library, "test:keep-canvas" to hand a canvas made in
// Scheme over to the test, its pixels read y up as the canvas counts them, and a fixture that leaves nothing queued.
#pragma once

#include <cairo.h>

#include "graphics/graphic_engine.h"
#include "graphics/graphic_view.h"
#include "tests/runtime/process_support.h"

namespace omb::test {

inline Ref<GraphicView> kept;

inline void keep_canvas_init(SchemeInterface* process) {
    process->addForeignFunc("test:keep-canvas", [](scheme* sc, pointer args) -> pointer {
        auto* view = is_objc(pair_car(args)) ? dynamic_cast<GraphicView*>(objc_value(pair_car(args))) : nullptr;
        kept = Ref<GraphicView>::retain(view);
        return view ? sc->T : sc->F;
    });
}

inline const bool graphics_registered =
    (add_native_library(GraphicEngine::schemeInit), add_native_library(keep_canvas_init), true);

constexpr uint32_t RED = 0xffff0000, BLUE = 0xff0000ff, CLEAR = 0;

// A pixel of an ARGB32 surface, y counted from the bottom as the canvas counts it.
inline uint32_t pixel_of(cairo_surface_t* s, int x, int y) {
    cairo_surface_flush(s);
    const int row = cairo_image_surface_get_height(s) - 1 - y;
    return reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(s) +
                                             row * cairo_image_surface_get_stride(s))[x];
}

// A pixel of the kept canvas.
inline uint32_t pixel(int x, int y) {
    uint32_t p = 0xdeadbeef;
    kept->read([&](cairo_surface_t* s) { p = pixel_of(s, x, y); });
    return p;
}

class GraphicsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(graphics_registered);
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(c.greet());
    }
    void TearDown() override {
        clear_scheduler();
        kept = {};
        log.flush();
    }
    // A canvas bound to `name` in Scheme and kept here.
    void make(const std::string& name, const std::string& form) {
        ASSERT_EQ(c.eval("(define " + name + " " + form + ")"), name);
        ASSERT_EQ(c.eval("(test:keep-canvas " + name + ")"), "#t");
    }
    // Schedules a drawing task now and waits for the kept canvas's pixel to become `expected`.
    bool draws(const std::string& task, int x, int y, uint32_t expected) {
        if (c.eval("(schedule (now) " + task + ")") != "#t") return false;
        return eventually([&] { return pixel(x, y) == expected; }, 5s);
    }

    LogCapture log;
    Conn c{ProcessEnvironment::port};
};

}  // namespace omb::test
