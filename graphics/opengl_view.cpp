#include "graphics/opengl_view.h"

#include <GL/gl.h>
#include <GL/glext.h>
#include <cairo.h>

#include <algorithm>
#include <cstring>

#include "platform/log_bridge.h"

namespace omb {

namespace {

// Pixel-format attribute codes that carry a value after them, and the ones the framebuffer heeds.
constexpr int64_t AUX_BUFFERS = 7, COLOR_SIZE = 8, ALPHA_SIZE = 11, DEPTH_SIZE = 12, STENCIL_SIZE = 13,
                  ACCUM_SIZE = 14, SAMPLE_BUFFERS = 55, SAMPLES = 56, RENDERER_ID = 70, SCREEN_MASK = 84,
                  PROFILE = 99, VIRTUAL_SCREEN_COUNT = 128, MULTISAMPLE_FLAG = 59;

bool takes_value(int64_t code) {
    for (int64_t c : {AUX_BUFFERS, COLOR_SIZE, ALPHA_SIZE, DEPTH_SIZE, STENCIL_SIZE, ACCUM_SIZE, SAMPLE_BUFFERS,
                      SAMPLES, RENDERER_ID, SCREEN_MASK, PROFILE, VIRTUAL_SCREEN_COUNT})
        if (code == c) return true;
    return false;
}

// The largest multisample count the framebuffer asks for; GL may round it down.
constexpr int MAX_SAMPLES = 16;

uint32_t premultiplied(uint32_t argb) {
    const uint32_t a = argb >> 24;
    if (a == 255) return argb;
    const auto scale = [a](uint32_t c) { return (c * a + 127) / 255; };
    return (a << 24) | (scale((argb >> 16) & 0xff) << 16) | (scale((argb >> 8) & 0xff) << 8) | scale(argb & 0xff);
}

}  // namespace

std::optional<PixelFormat> pixel_attributes::parse(std::span<const int64_t> attributes) {
    PixelFormat format{0, false, false};
    int sample_buffers = 0, samples = 0;
    bool multisample = false;
    for (size_t i = 0; i < attributes.size(); ++i) {
        const int64_t code = attributes[i];
        if (code == 0) {
            if (multisample || sample_buffers > 0) format.samples = std::clamp(samples > 0 ? samples : 4, 2, MAX_SAMPLES);
            return format;
        }
        if (code == MULTISAMPLE_FLAG) multisample = true;
        if (!takes_value(code)) continue;
        if (++i >= attributes.size()) return std::nullopt;
        const int64_t value = attributes[i];
        if (code == DEPTH_SIZE) format.depth = value > 0;
        if (code == STENCIL_SIZE) format.stencil = value > 0;
        if (code == SAMPLE_BUFFERS) sample_buffers = static_cast<int>(std::clamp<int64_t>(value, 0, 1));
        if (code == SAMPLES) samples = static_cast<int>(std::clamp<int64_t>(value, 0, MAX_SAMPLES));
    }
    return std::nullopt;
}

CustomOpenGLView::CustomOpenGLView(PixelFormat format) : format_(format) {}

CustomOpenGLView::~CustomOpenGLView() {
    std::lock_guard lock(mutex_);
    // The framebuffer and everything else the context made go with it.
    context_.reset();
}

bool CustomOpenGLView::open_view(CanvasRect frame, bool fullscreen, int screen) {
    if (!open(frame, fullscreen, screen)) return false;
    std::lock_guard lock(mutex_);
    wanted_width_ = static_cast<int>(width());
    wanted_height_ = static_cast<int>(height());
    has_bitmap_ = true;
    return true;
}

void CustomOpenGLView::close_view() {
    close();
    std::lock_guard lock(mutex_);
    arrays_.release();
}

CustomOpenGLView::Current::Current(CustomOpenGLView& view) : lock_(view.mutex_) {
    if (!view.context_ && !view.make_context()) return;
    binding_.emplace(*view.context_);
    if (!*binding_) {
        CPPBridge::error("Cannot make the OpenGL context current (EGL error 0x%x)", static_cast<unsigned>(eglGetError()));
        return;
    }
    if (view.fb_width_ != view.wanted_width_ || view.fb_height_ != view.wanted_height_) view.fit_framebuffer();
}

CustomOpenGLView::Current::~Current() = default;

bool CustomOpenGLView::make_context() {
    if (context_failed_) return false;
    std::string why;
    context_ = EglContext::create(why);
    if (!context_) {
        context_failed_ = true;
        CPPBridge::error("Cannot create OpenGL context: %s", why.c_str());
        return false;
    }
    EglContext::Binding binding(*context_);
    if (!binding) {
        context_.reset();
        context_failed_ = true;
        CPPBridge::error("Cannot create OpenGL context: it cannot be made current");
        return false;
    }
    const auto text = [](GLenum name) {
        const auto* s = reinterpret_cast<const char*>(glGetString(name));
        return s ? s : "?";
    };
    CPPBridge::log("OPENGL CONTEXT: %s, %s", text(GL_VERSION), text(GL_RENDERER));
    return true;
}

// Makes the framebuffer anew at the wanted size and leaves it bound, with the viewport covering it, as a window
// that changed size would have it.
bool CustomOpenGLView::fit_framebuffer() {
    delete_framebuffer();
    const int w = wanted_width_, h = wanted_height_;
    glGenFramebuffers(1, &framebuffer_);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    glGenRenderbuffers(1, &colour_);
    glBindRenderbuffer(GL_RENDERBUFFER, colour_);
    glRenderbufferStorageMultisample(GL_RENDERBUFFER, format_.samples, GL_RGBA8, w, h);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour_);
    if (format_.depth || format_.stencil) {
        glGenRenderbuffers(1, &depth_stencil_);
        glBindRenderbuffer(GL_RENDERBUFFER, depth_stencil_);
        glRenderbufferStorageMultisample(GL_RENDERBUFFER, format_.samples, GL_DEPTH24_STENCIL8, w, h);
        if (format_.depth)
            glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, depth_stencil_);
        if (format_.stencil)
            glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_STENCIL_ATTACHMENT, GL_RENDERBUFFER, depth_stencil_);
    }
    if (format_.samples > 0) {
        glGenFramebuffers(1, &resolved_);
        glBindFramebuffer(GL_FRAMEBUFFER, resolved_);
        glGenRenderbuffers(1, &resolved_colour_);
        glBindRenderbuffer(GL_RENDERBUFFER, resolved_colour_);
        glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, w, h);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, resolved_colour_);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    }
    glBindRenderbuffer(GL_RENDERBUFFER, 0);
    const GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    fb_width_ = w;
    fb_height_ = h;
    glViewport(0, 0, w, h);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        CPPBridge::error("OpenGL view: the %d x %d framebuffer is incomplete (0x%x)", w, h, status);
        return false;
    }
    return true;
}

void CustomOpenGLView::delete_framebuffer() {
    const GLuint buffers[] = {colour_, depth_stencil_, resolved_colour_};
    const GLuint framebuffers[] = {framebuffer_, resolved_};
    glDeleteRenderbuffers(3, buffers);
    glDeleteFramebuffers(2, framebuffers);
    framebuffer_ = colour_ = depth_stencil_ = resolved_ = resolved_colour_ = 0;
    fb_width_ = fb_height_ = 0;
}

void CustomOpenGLView::update_backing_image() {
    if (!has_bitmap_ || framebuffer_ == 0) return;
    const int w = wanted_width_, h = wanted_height_;
    if (w > fb_width_ || h > fb_height_ || w <= 0 || h <= 0) return;
    read_frame(w, h);
    cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    if (cairo_surface_status(image) != CAIRO_STATUS_SUCCESS) {
        CPPBridge::error("gl:update-backing-image: cannot make a %d x %d image", w, h);
        cairo_surface_destroy(image);
        return;
    }
    cairo_surface_flush(image);
    unsigned char* data = cairo_image_surface_get_data(image);
    const int stride = cairo_image_surface_get_stride(image);
    // GL's first row is the bottom one; the bitmap's is the top.
    for (int r = 0; r < h; ++r) {
        const uint32_t* from = pixels_.data() + static_cast<size_t>(h - 1 - r) * static_cast<size_t>(w);
        auto* to = reinterpret_cast<uint32_t*>(data + static_cast<ptrdiff_t>(r) * stride);
        for (int x = 0; x < w; ++x) to[x] = premultiplied(from[x]);
    }
    cairo_surface_mark_dirty(image);
    if (replace_bitmap(image)) redraw();
}

// Reads w x h pixels from the frame's bottom-left corner into pixels_ as native ARGB words, whatever pixel
// layout the performer set for their own reads; a multisampled frame is resolved first.
void CustomOpenGLView::read_frame(int w, int h) {
    pixels_.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
    GLint pack[4];
    const GLenum names[4] = {GL_PACK_ALIGNMENT, GL_PACK_ROW_LENGTH, GL_PACK_SKIP_ROWS, GL_PACK_SKIP_PIXELS};
    for (int i = 0; i < 4; ++i) glGetIntegerv(names[i], &pack[i]);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glPixelStorei(GL_PACK_ROW_LENGTH, 0);
    glPixelStorei(GL_PACK_SKIP_ROWS, 0);
    glPixelStorei(GL_PACK_SKIP_PIXELS, 0);
    if (resolved_) {
        // The copy is cut by the scissor box like any drawing.
        const GLboolean scissor = glIsEnabled(GL_SCISSOR_TEST);
        glDisable(GL_SCISSOR_TEST);
        glBindFramebuffer(GL_DRAW_FRAMEBUFFER, resolved_);
        glBlitFramebuffer(0, 0, w, h, 0, 0, w, h, GL_COLOR_BUFFER_BIT, GL_NEAREST);
        glBindFramebuffer(GL_READ_FRAMEBUFFER, resolved_);
        if (scissor) glEnable(GL_SCISSOR_TEST);
    }
    glReadPixels(0, 0, w, h, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV, pixels_.data());
    if (resolved_) glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    for (int i = 0; i < 4; ++i) glPixelStorei(names[i], pack[i]);
}

CustomOpenGLView* opengl_view_of(pointer p) {
    return is_objc(p) ? dynamic_cast<CustomOpenGLView*>(objc_value(p)) : nullptr;
}

}  // namespace omb
