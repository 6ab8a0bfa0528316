// EglContext: one OpenGL rendering context (compatibility profile, for the legacy calls of the binding family) on
// Mesa's surfaceless EGL platform. It has no window surface: its owner renders into a framebuffer object of its own.
// The EGL display is opened once for the program, on first use.
//
// Threads: a context is current on at most one thread at a time. Whoever makes it current (Binding) must hold the
// owner's lock for as long as it is; the binding gives the thread back whatever EGL context it had before.
#pragma once

#include <EGL/egl.h>

#include <memory>
#include <string>

namespace omb {

class EglContext {
public:
    // A new context sharing nothing; null, with the reason in `why`, when the platform cannot make one.
    static std::unique_ptr<EglContext> create(std::string& why);
    ~EglContext();
    EglContext(const EglContext&) = delete;
    EglContext& operator=(const EglContext&) = delete;

    // Makes the context current on this thread for the binding's life.
    class Binding {
    public:
        explicit Binding(EglContext& context);
        ~Binding();
        Binding(const Binding&) = delete;
        Binding& operator=(const Binding&) = delete;
        explicit operator bool() const { return bound_; }

    private:
        EGLDisplay display_;
        EGLDisplay previous_display_;
        EGLContext previous_context_;
        EGLSurface previous_draw_, previous_read_;
        bool bound_ = false;
    };

private:
    EglContext(EGLDisplay display, EGLContext context) : display_(display), context_(context) {}
    EGLDisplay display_;
    EGLContext context_;
};

}  // namespace omb
