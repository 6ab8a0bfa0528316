// The texture and pixel members of the gl: family. Every member that hands GL client memory checks first that the
// memory holds the whole rectangle as the pixel storage settings lay it out, so GL never reads or writes past a
// data object or an image.
#include <GL/gl.h>

#include "graphics/bitmap_image.h"
#include "graphics/gl_call.h"
#include "graphics/gl_pixel_sizes.h"
#include "platform/log_bridge.h"

namespace omb {

namespace {

// Client memory of an image argument: a data object's bytes, or a bitmap's pixels (Cairo ARGB32, premultiplied:
// bytes B, G, R, A on this machine; rows top first).
struct Pixels {
    const void* bytes = nullptr;
    size_t length = 0;
};

enum class Source { ok, not_object, wrong_class };

Source pixels_of(pointer p, bool null_allowed, Pixels& into) {
    if (!is_objc(p)) return Source::not_object;
    Object* object = objc_value(p);
    if (!object) return null_allowed ? Source::ok : Source::wrong_class;
    if (auto* data = dynamic_cast<NSData*>(object)) {
        into = {data->bytes().data(), data->length()};
        return Source::ok;
    }
    if (auto* image = dynamic_cast<BitmapImage*>(object)) {
        cairo_surface_t* s = image->surface();
        cairo_surface_flush(s);
        into = {cairo_image_surface_get_data(s),
                static_cast<size_t>(cairo_image_surface_get_stride(s)) * static_cast<size_t>(image->height())};
        return Source::ok;
    }
    return Source::wrong_class;
}

// Whether `length` bytes hold the rectangle under `store`; reported when not.
bool holds(const GLArgs& a, size_t length, GLenum format, GLenum type, int width, int height, const PixelStore& store) {
    const std::optional<size_t> need = image_bytes(format, type, width, height, store);
    if (!need) {
        refuse(a, "pixel format 0x%x with type 0x%x is not one this binding knows", format, type);
        return false;
    }
    if (*need > length) {
        refuse(a, "the pixels hold %zu bytes; a %d x %d rectangle needs %zu", length, width, height, *need);
        return false;
    }
    return true;
}

pointer gen_textures(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:gen-textures", "", "nothing"}, [](GLArgs& a) {
        GLuint name = 0;
        glGenTextures(1, &name);
        return mk_integer(a.sc, name);
    });
}
pointer bind_texture(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:bind-texture", "ii", "target texture"},
                   [](GLArgs& a) { glBindTexture(a.e(0), a.e(1)); });
}
pointer tex_parameter(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:tex-parameter", "iir", "target pname value"}, [](GLArgs& a) {
        if (a.is_int(2)) glTexParameteri(a.e(0), a.e(1), a.n(2));
        else glTexParameterf(a.e(0), a.e(1), a.f(2));
    });
}
pointer tex_env(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:tex-env", "iir", "target pname value"}, [](GLArgs& a) {
        if (a.is_int(2)) glTexEnvi(a.e(0), a.e(1), a.n(2));
        else glTexEnvf(a.e(0), a.e(1), a.f(2));
    });
}
pointer pixel_store(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:pixel-store", "ir", "pname value"}, [](GLArgs& a) {
        if (a.is_int(1)) glPixelStorei(a.e(0), a.n(1));
        else glPixelStoref(a.e(0), a.f(1));
    });
}

pointer tex_image_2d(scheme* sc, pointer args) {
    return gl_call(sc, args,
                   {"gl:tex-image-2d", "iiiiiiiix", "target level internal-format width height border format type image"},
                   [](GLArgs& a) -> pointer {
                       Pixels px;
                       switch (pixels_of(a.cell(8), true, px)) {
                       case Source::not_object:
                           CPPBridge::error("arg 8 should be an NSData object or an NSBitmapImageRep");
                           return a.sc->F;
                       case Source::wrong_class:
                           CPPBridge::error("arg 8 must be an NSData object or an NSBitmapImageRep");
                           return a.sc->F;
                       case Source::ok: break;
                       }
                       // With no pixels GL only makes room for the texture.
                       if (px.bytes && !holds(a, px.length, a.e(6), a.e(7), a.n(3), a.n(4), unpack_store()))
                           return a.sc->F;
                       glTexImage2D(a.e(0), a.n(1), a.n(2), a.n(3), a.n(4), a.n(5), a.e(6), a.e(7), px.bytes);
                       return a.sc->T;
                   });
}

pointer draw_pixels(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:draw-pixels", "iiiix", "width height format type image"}, [](GLArgs& a) -> pointer {
        Pixels px;
        switch (pixels_of(a.cell(4), false, px)) {
        case Source::not_object:
            CPPBridge::error("arg 5 should be an NSData object or NSBitmapImageRep");
            return a.sc->F;
        case Source::wrong_class:
            CPPBridge::error("arg 5 must be an NSData object or NSBitmapImageRep");
            return a.sc->F;
        case Source::ok: break;
        }
        if (!holds(a, px.length, a.e(2), a.e(3), a.n(0), a.n(1), unpack_store())) return a.sc->F;
        glDrawPixels(a.n(0), a.n(1), a.e(2), a.e(3), px.bytes);
        return a.sc->T;
    });
}

pointer read_pixels(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:read-pixels", "iiiiiix", "x y width height format type mutable-data"},
                   [](GLArgs& a) -> pointer {
                       pointer p = a.cell(6);
                       if (!is_objc(p)) {
                           CPPBridge::error("arg 5 should be an NSMutableData* object");
                           return a.sc->F;
                       }
                       auto* data = dynamic_cast<NSMutableData*>(a.object(6));
                       if (!data) {
                           CPPBridge::error("arg 5 must be an NSMutableData* object");
                           return a.sc->F;
                       }
                       if (!holds(a, data->length(), a.e(4), a.e(5), a.n(2), a.n(3), pack_store())) return a.sc->F;
                       glReadPixels(a.n(0), a.n(1), a.n(2), a.n(3), a.e(4), a.e(5), data->mutable_bytes().data());
                       return a.sc->T;
                   });
}

pointer copy_pixels(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:copy-pixels", "iiiii", "x y width height type"},
                   [](GLArgs& a) { glCopyPixels(a.n(0), a.n(1), a.n(2), a.n(3), a.e(4)); });
}

constexpr GLProcedure PROCEDURES[] = {
    {"gl:gen-textures", gen_textures}, {"gl:bind-texture", bind_texture}, {"gl:tex-parameter", tex_parameter},
    {"gl:tex-env", tex_env},           {"gl:pixel-store", pixel_store},   {"gl:tex-image-2d", tex_image_2d},
    {"gl:draw-pixels", draw_pixels},   {"gl:read-pixels", read_pixels},   {"gl:copy-pixels", copy_pixels},
};

}  // namespace

std::span<const GLProcedure> gl_pixel_procedures() { return PROCEDURES; }

}  // namespace omb
