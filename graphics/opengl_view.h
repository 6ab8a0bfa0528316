// CustomOpenGLView: a canvas whose picture OpenGL renders. It owns an OpenGL context of its own (EGL on Mesa's
// surfaceless platform, graphics/egl_context.h), made on first use, rendering into a framebuffer object of the
// view's size (colour, and depth and stencil as the pixel format asks; multisampled when it asks), remade when the
// view is opened at another size. "gl:update-backing-image" copies the frame into the canvas bitmap (top row first,
// as the canvas keeps it), which the view's window shows and "gl:get-image-from-opengl" hands out; everything else
// a canvas has (window, sizes, bounds, events) is GraphicView's.
//
// Threads: any process thread may call the binding family on any view. Each call holds a Current for exactly that
// call: it locks the view, makes its context current on the calling thread (with the framebuffer bound) and gives
// both back on every path. Opening, closing and the bitmap follow GraphicView's rules.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "graphics/egl_context.h"
#include "graphics/gl_client_arrays.h"
#include "graphics/graphic_view.h"

namespace omb {

// What the framebuffer is made of.
struct PixelFormat {
    int samples = 0;  // 0: one sample a pixel
    bool depth = true, stencil = true;
};

// The attribute lists "gl:make-opengl" takes: the platform's pixel-format attribute codes, ending with 0.
namespace pixel_attributes {
constexpr int64_t PLAIN[] = {80, 83, 72, 8, 24, 12, 24, 14, 24, 11, 8, 13, 8, 5, 73, 0};
constexpr int64_t MULTISAMPLE[] = {80, 83, 72, 59, 55, 1, 56, 4, 8, 24, 12, 24, 14, 24, 11, 8, 13, 8, 5, 73, 0};
// The format a list asks for; nothing when the list does not end with 0 (or a code lacks its value).
std::optional<PixelFormat> parse(std::span<const int64_t> attributes);
}  // namespace pixel_attributes

class CustomOpenGLView : public GraphicView {
public:
    // The framebuffer's size before the view is first opened.
    static constexpr int DEFAULT_WIDTH = 640, DEFAULT_HEIGHT = 480;

    explicit CustomOpenGLView(PixelFormat format);
    ~CustomOpenGLView() override;
    std::string class_name() const override { return "CustomOpenGLView"; }
    std::string window_title() const override { return "OpenGL Window"; }

    // GraphicView::open, and the framebuffer follows the new size at the next call.
    bool open_view(CanvasRect frame, bool fullscreen, int screen);
    // Closes the window and lets go of the data the vertex arrays held.
    void close_view();

    // The view's context, current and locked for one call of the binding family.
    class Current {
    public:
        explicit Current(CustomOpenGLView& view);
        ~Current();
        Current(const Current&) = delete;
        Current& operator=(const Current&) = delete;
        // False when the view has no context (reported once, when making it failed).
        explicit operator bool() const { return binding_.has_value() && *binding_; }

    private:
        std::unique_lock<std::mutex> lock_;
        std::optional<EglContext::Binding> binding_;
    };

    // ---- with a Current held -------------------------------------------------------------------------------------
    // Copies the frame into the canvas bitmap and asks the window to show it. Does nothing when the view has no
    // bitmap yet or the bitmap is bigger than the frame.
    void update_backing_image();
    ClientArrays& arrays() { return arrays_; }
    const PixelFormat& format() const { return format_; }

private:
    bool make_context();
    bool fit_framebuffer();
    void delete_framebuffer();
    void read_frame(int width, int height);

    const PixelFormat format_;
    std::mutex mutex_;  // everything below; held by Current
    std::unique_ptr<EglContext> context_;
    bool context_failed_ = false;
    int wanted_width_ = DEFAULT_WIDTH, wanted_height_ = DEFAULT_HEIGHT;
    int fb_width_ = 0, fb_height_ = 0;
    unsigned framebuffer_ = 0, colour_ = 0, depth_stencil_ = 0;  // what GL draws into
    unsigned resolved_ = 0, resolved_colour_ = 0;                // single-sampled copy of a multisampled frame
    bool has_bitmap_ = false;
    ClientArrays arrays_;
    std::vector<uint32_t> pixels_;  // the frame as read, bottom row first
};

// The view an argument names, or null (not reported).
CustomOpenGLView* opengl_view_of(pointer p);

}  // namespace omb
