#include "graphics/egl_context.h"

#include <EGL/eglext.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace omb {

namespace {

struct Display {
    EGLDisplay display = EGL_NO_DISPLAY;
    EGLConfig config = nullptr;  // null: the display makes contexts without one
    bool flush_control = false;  // releasing a context need not flush it
    std::string error;
};

bool has_extension(const char* list, const char* name) {
    if (!list) return false;
    const size_t n = std::strlen(name);
    for (const char* p = std::strstr(list, name); p; p = std::strstr(p + n, name))
        if ((p == list || p[-1] == ' ') && (p[n] == ' ' || p[n] == '\0')) return true;
    return false;
}

Display open_display() {
    Display d;
    const char* client = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (!has_extension(client, "EGL_MESA_platform_surfaceless")) {
        d.error = "EGL has no surfaceless platform (EGL_MESA_platform_surfaceless)";
        return d;
    }
    auto get_display =
        reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (!get_display) {
        d.error = "EGL has no eglGetPlatformDisplayEXT";
        return d;
    }
    EGLDisplay display = get_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    if (display == EGL_NO_DISPLAY || !eglInitialize(display, nullptr, nullptr)) {
        d.error = "cannot open the surfaceless EGL display";
        return d;
    }
    if (!eglBindAPI(EGL_OPENGL_API)) {
        d.error = "EGL cannot render with desktop OpenGL";
        return d;
    }
    const char* extensions = eglQueryString(display, EGL_EXTENSIONS);
    const EGLint wanted[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_SURFACE_TYPE, EGL_PBUFFER_BIT, EGL_NONE};
    EGLint found = 0;
    if (!eglChooseConfig(display, wanted, &d.config, 1, &found) || found < 1) {
        if (!has_extension(extensions, "EGL_KHR_no_config_context")) {
            d.error = "EGL offers no configuration for desktop OpenGL";
            return d;
        }
        d.config = nullptr;
    }
    d.flush_control = has_extension(extensions, "EGL_KHR_context_flush_control");
    d.display = display;
    return d;
}

const Display& display() {
    static const Display d = open_display();
    return d;
}

}  // namespace

std::unique_ptr<EglContext> EglContext::create(std::string& why) {
    const Display& d = display();
    if (d.display == EGL_NO_DISPLAY) {
        why = d.error;
        return nullptr;
    }
    // Each context is made current and released around every call of the binding family; without a flush on
    // release that costs little, and the order of commands is the context's own either way.
    EGLint attributes[] = {EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_COMPATIBILITY_PROFILE_BIT,
                           EGL_NONE, EGL_NONE, EGL_NONE};
    if (d.flush_control) {
        attributes[2] = EGL_CONTEXT_RELEASE_BEHAVIOR_KHR;
        attributes[3] = EGL_CONTEXT_RELEASE_BEHAVIOR_NONE_KHR;
    }
    // eglBindAPI is per thread: this thread may not be the one that opened the display.
    eglBindAPI(EGL_OPENGL_API);
    EGLContext context = eglCreateContext(d.display, d.config, EGL_NO_CONTEXT, attributes);
    if (context == EGL_NO_CONTEXT) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%x", static_cast<unsigned>(eglGetError()));
        why = std::string("eglCreateContext failed (EGL error ") + code + ")";
        return nullptr;
    }
    return std::unique_ptr<EglContext>(new EglContext(d.display, context));
}

EglContext::~EglContext() { eglDestroyContext(display_, context_); }

EglContext::Binding::Binding(EglContext& context)
    : display_(context.display_),
      previous_display_(eglGetCurrentDisplay()),
      previous_context_(eglGetCurrentContext()),
      previous_draw_(eglGetCurrentSurface(EGL_DRAW)),
      previous_read_(eglGetCurrentSurface(EGL_READ)) {
    bound_ = eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context.context_) == EGL_TRUE;
}

EglContext::Binding::~Binding() {
    if (previous_context_ != EGL_NO_CONTEXT)
        eglMakeCurrent(previous_display_, previous_draw_, previous_read_, previous_context_);
    else
        eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
}

}  // namespace omb
