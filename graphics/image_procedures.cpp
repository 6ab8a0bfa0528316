#include "graphics/image_procedures.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <string>

#include "graphics/bezier_path.h"
#include "graphics/current_context.h"
#include "graphics/draw_pipeline.h"
#include "graphics/filter_service.h"
#include "graphics/graphic_engine.h"
#include "graphics/group_targets.h"
#include "graphics/image_drawing.h"
#include "graphics/path_procedures.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

constexpr const char* ILLEGAL = "Illegal Image. Incorrect Type";

pointer truth(scheme* sc, bool ok) { return ok ? sc->T : sc->F; }
pointer first(scheme* sc, pointer args) { return is_pair(args) ? pair_car(args) : sc->NIL; }
pointer second(scheme* sc, pointer args) { return is_pair(args) ? first(sc, pair_cdr(args)) : sc->NIL; }
pointer third(scheme* sc, pointer args) { return is_pair(args) ? second(sc, pair_cdr(args)) : sc->NIL; }

uint32_t* row_of(cairo_surface_t* s, int y) {
    return reinterpret_cast<uint32_t*>(cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s));
}

uint8_t byte_of(double v) { return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255.0)); }

// ---- making and loading -------------------------------------------------------------------------------------------

pointer make_image(scheme* sc, pointer args) {
    pointer w = first(sc, args), h = second(sc, args);
    if (!is_number(w) || !is_number(h) || !std::isfinite(rvalue(w)) || !std::isfinite(rvalue(h))) {
        CPPBridge::error("gfx:make-image takes a width and a height: %s", printed(sc, args).c_str());
        return sc->F;
    }
    Ref<BitmapImage> image = new_image(std::lround(rvalue(w)), std::lround(rvalue(h)), "gfx:make-image");
    return image ? mk_objc(sc, image.release()) : sc->F;
}

// The decoder's rows (RGB or RGBA, not premultiplied) into a premultiplied image.
Ref<BitmapImage> from_pixbuf(GdkPixbuf* pixbuf) {
    const int w = gdk_pixbuf_get_width(pixbuf), h = gdk_pixbuf_get_height(pixbuf);
    Ref<BitmapImage> image = new_image(w, h, "gfx:load-image");
    if (!image) return {};
    const int channels = gdk_pixbuf_get_n_channels(pixbuf), stride = gdk_pixbuf_get_rowstride(pixbuf);
    const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
    const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
    cairo_surface_t* s = image->surface();
    cairo_surface_flush(s);
    for (int y = 0; y < h; ++y) {
        const guchar* in = pixels + static_cast<size_t>(y) * stride;
        uint32_t* out = row_of(s, y);
        for (int x = 0; x < w; ++x, in += channels) {
            const uint32_t a = alpha ? in[3] : 255;
            auto pm = [a](uint32_t c) { return (c * a + 127) / 255; };
            out[x] = a << 24 | pm(in[0]) << 16 | pm(in[1]) << 8 | pm(in[2]);
        }
    }
    cairo_surface_mark_dirty(s);
    return image;
}

pointer load_image(scheme* sc, pointer args) {
    pointer path = first(sc, args);
    if (!is_string(path)) {
        CPPBridge::error("gfx:load-image takes a file path: %s", printed(sc, args).c_str());
        return sc->F;
    }
    // The size is read from the header first so an oversized file is refused before it is decoded.
    int w = 0, h = 0;
    if (!gdk_pixbuf_get_file_info(string_value(path), &w, &h)) {
        CPPBridge::error("Bad Image File: %s", string_value(path));
        return sc->F;
    }
    constexpr int LIMIT = GraphicEngine::OFFSCREEN_SIDE;
    if (w > LIMIT || h > LIMIT) {
        CPPBridge::error("gfx:load-image: an image is 1 to %d pixels each way, not %d x %d", LIMIT, w, h);
        return sc->F;
    }
    GError* error = nullptr;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(string_value(path), &error);
    if (!pixbuf) {
        CPPBridge::error("Bad Image File: %s", error ? error->message : string_value(path));
        if (error) g_error_free(error);
        return sc->F;
    }
    Ref<BitmapImage> image = from_pixbuf(pixbuf);
    g_object_unref(pixbuf);
    if (!image) return sc->F;
    // With a non-zero integer flag, the file as a filter image.
    pointer flag = second(sc, args);
    if (is_integer(flag) && ivalue(flag) != 0) return mk_objc(sc, FilterImage::wrap(std::move(image)).release());
    return mk_objc(sc, image.release());
}

// ---- copying, flipping, clearing ---------------------------------------------------------------------------------

// A new image holding `source`'s rows, in reverse order when `flipped`.
Ref<BitmapImage> rows_of(BitmapImage& source, bool flipped, const char* who) {
    Ref<BitmapImage> image = new_image(source.width(), source.height(), who);
    if (!image) return {};
    cairo_surface_flush(source.surface());
    cairo_surface_flush(image->surface());
    const int h = source.height();
    const size_t bytes = static_cast<size_t>(source.width()) * 4;
    for (int y = 0; y < h; ++y)
        std::memcpy(row_of(image->surface(), flipped ? h - 1 - y : y), row_of(source.surface(), y), bytes);
    cairo_surface_mark_dirty(image->surface());
    return image;
}

pointer copy_image(scheme* sc, pointer args) {
    BitmapImage* source = image_of(first(sc, args), "Arg 1 must be an NSBitmapImageRep");
    Ref<BitmapImage> image = source ? rows_of(*source, false, "gfx:copy-image") : Ref<BitmapImage>{};
    return image ? mk_objc(sc, image.release()) : sc->F;
}

pointer flip_image(scheme* sc, pointer args) {
    BitmapImage* source = image_of(first(sc, args), ILLEGAL);
    Ref<BitmapImage> image = source ? rows_of(*source, true, "gfx:flip-image") : Ref<BitmapImage>{};
    return image ? mk_objc(sc, image.release()) : sc->F;
}

pointer clear_image(scheme* sc, pointer args) {
    BitmapImage* image = image_of(first(sc, args), ILLEGAL);
    if (!image) return sc->F;
    Paint paint;
    pointer colour = second(sc, args);
    if (colour != sc->NIL && !read_colour(sc, colour, paint)) {
        CPPBridge::error("gfx:clear-image takes an image and, optionally, a colour (r g b a): %s",
                         printed(sc, args).c_str());
        return sc->F;
    }
    cairo_t* cr = cairo_create(image->surface());
    // Without a colour every pixel becomes transparent; a colour is laid over what is there.
    if (paint.kind == Paint::colour) apply_paint(cr, paint);
    else cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
    cairo_paint(cr);
    cairo_destroy(cr);
    return sc->T;
}

pointer get_image_size(scheme* sc, pointer args) {
    pointer a = first(sc, args);
    if (auto* filtered = is_objc(a) ? dynamic_cast<FilterImage*>(objc_value(a)) : nullptr)
        return s_cons(sc, mk_real(sc, filtered->extent().width), mk_real(sc, filtered->extent().height));
    BitmapImage* image = image_of(a, ILLEGAL);
    if (!image) return sc->F;
    return s_cons(sc, mk_real(sc, image->width()), mk_real(sc, image->height()));
}

// ---- pixels -----------------------------------------------------------------------------------------------------

// The integer coordinates of a flat vector (x y x y ...), each inside the image; false, reported, otherwise.
bool read_points(scheme* sc, pointer v, const BitmapImage& image, const char* who, std::vector<int>& into) {
    if (!is_vector(v)) {
        CPPBridge::error("Must be flat vector of x y coordinates");
        return false;
    }
    const int64_t n = vector_length(v);
    if (n % 2 != 0) {
        CPPBridge::error("%s: the coordinate vector must hold x y pairs", who);
        return false;
    }
    for (int64_t i = 0; i < n; ++i) {
        pointer e = vector_elem(v, static_cast<int>(i));
        const int64_t limit = i % 2 == 0 ? image.width() : image.height();
        if (!is_number(e) || !std::isfinite(rvalue(e)) || rvalue(e) != std::floor(rvalue(e)) || rvalue(e) < 0 ||
            rvalue(e) >= limit) {
            CPPBridge::error("%s: coordinate %s at index %lld is not a pixel of the %dx%d image", who,
                             printed(sc, e).c_str(), static_cast<long long>(i), image.width(), image.height());
            return false;
        }
        into.push_back(static_cast<int>(rvalue(e)));
    }
    return true;
}

pointer get_image_pixels(scheme* sc, pointer args) {
    BitmapImage* image = image_of(first(sc, args), ILLEGAL);
    std::vector<int> at;
    if (!image || !read_points(sc, second(sc, args), *image, "gfx:get-image-pixels", at)) return sc->F;
    cairo_surface_flush(image->surface());
    pointer out = mk_vector(sc, static_cast<int>(at.size() * 2));
    for (size_t i = 0; i < at.size(); i += 2) {
        const uint32_t p = row_of(image->surface(), at[i + 1])[at[i]];
        const double a = (p >> 24) / 255.0;
        const double c[4] = {double(p >> 16 & 255), double(p >> 8 & 255), double(p & 255), 0};
        for (int k = 0; k < 3; ++k)
            set_vector_elem(out, static_cast<int>(i * 2 + k),
                            mk_real(sc, static_cast<float>(a > 0 ? c[k] / 255.0 / a : 0.0)));
        set_vector_elem(out, static_cast<int>(i * 2 + 3), mk_real(sc, static_cast<float>(a)));
    }
    return out;
}

pointer set_image_pixels(scheme* sc, pointer args) {
    BitmapImage* image = image_of(first(sc, args), ILLEGAL);
    std::vector<int> at;
    if (!image || !read_points(sc, second(sc, args), *image, "gfx:set-image-pixels", at)) return sc->F;
    pointer colours = third(sc, args);
    if (!is_vector(colours)) {
        CPPBridge::error("Must be flat vector of colours for each x y coordinate");
        return sc->F;
    }
    if (vector_length(colours) != static_cast<int64_t>(at.size() * 2)) {
        CPPBridge::error("Must have an equal number of colours to points");
        return sc->F;
    }
    std::vector<double> c(at.size() * 2);
    for (size_t i = 0; i < c.size(); ++i) {
        pointer e = vector_elem(colours, static_cast<int>(i));
        if (!is_number(e) || !std::isfinite(rvalue(e))) {
            CPPBridge::error("gfx:set-image-pixels: colour component %zu is not a number", i);
            return sc->F;
        }
        c[i] = rvalue(e);
    }
    cairo_surface_flush(image->surface());
    for (size_t i = 0; i < at.size(); i += 2) {
        const double* rgba = &c[i * 2];
        const uint32_t a = byte_of(rgba[3]);
        auto pm = [&](double v) { return static_cast<uint32_t>(std::lround(std::clamp(v, 0.0, 1.0) * a)); };
        row_of(image->surface(), at[i + 1])[at[i]] = a << 24 | pm(rgba[0]) << 16 | pm(rgba[1]) << 8 | pm(rgba[2]);
    }
    cairo_surface_mark_dirty(image->surface());
    return colours;
}

// ---- saving -------------------------------------------------------------------------------------------------------

cairo_status_t write_fd(void* closure, const unsigned char* data, unsigned int length) {
    const int fd = *static_cast<int*>(closure);
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return CAIRO_STATUS_WRITE_ERROR;
        data += n;
        length -= static_cast<unsigned>(n);
    }
    return CAIRO_STATUS_SUCCESS;
}

// Written beside the target and renamed over it, so a file at `path` is always whole.
bool write_png(cairo_surface_t* s, const std::string& path) {
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        CPPBridge::error("gfx:capture-image: cannot write %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    ::fchmod(fd, 0644);
    const cairo_status_t status = cairo_surface_write_to_png_stream(s, write_fd, &fd);
    const bool written = status == CAIRO_STATUS_SUCCESS && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
        CPPBridge::error("gfx:capture-image: cannot write %s: %s", path.c_str(),
                         status != CAIRO_STATUS_SUCCESS ? cairo_status_to_string(status) : std::strerror(errno));
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

pointer capture_image(scheme* sc, pointer args) {
    BitmapImage* image = image_of(first(sc, args), ILLEGAL);
    if (!image) return sc->F;
    if (!is_string(second(sc, args))) {
        CPPBridge::error("gfx:capture-image takes an image and a file path: %s", printed(sc, args).c_str());
        return sc->F;
    }
    cairo_surface_flush(image->surface());
    return truth(sc, write_png(image->surface(), string_value(second(sc, args))));
}

// A context on the image as on a canvas: y up from the bottom row, anti-aliasing as the engine says.
cairo_t* drawing_context(BitmapImage& image) {
    cairo_t* cr = cairo_create(image.surface());
    cairo_translate(cr, 0, image.height());
    cairo_scale(cr, 1, -1);
    if (!GraphicEngine::alias.load()) cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    return cr;
}

// ---- drawing a path into an image --------------------------------------------------------------------------------

pointer path2image(scheme* sc, pointer args) {
    BezierPath* path = path_of(first(sc, args), "Illegal Path. Incorrect Type");
    BitmapImage* image = path ? image_of(second(sc, args), "Illegal image. Incorrect Type") : nullptr;
    if (!image) return sc->F;
    pointer rest = pair_cdr(pair_cdr(args));
    Paint stroke, fill;
    pointer w = third(sc, rest);
    const bool ok = is_pair(rest) && read_paint(sc, pair_car(rest), stroke) && is_pair(pair_cdr(rest)) &&
                    read_paint(sc, second(sc, rest), fill) &&
                    (w == sc->NIL || (is_number(w) && std::isfinite(rvalue(w)) && rvalue(w) >= 0));
    if (!ok) {
        CPPBridge::error("gfx:path2image takes a path, an image, a stroke and a fill (NIL, a symbol or a colour) and "
                         "optionally a line width of 0 or more: %s",
                         printed(sc, args).c_str());
        return sc->F;
    }
    path->set_line_width(w == sc->NIL ? 1.0 : rvalue(w));
    cairo_t* cr = drawing_context(*image);
    {
        CurrentContext current(cr);
        path->apply(cr);
        if (apply_paint(cr, stroke)) cairo_stroke_preserve(cr);
        if (apply_paint(cr, fill)) cairo_fill_preserve(cr);
    }
    cairo_destroy(cr);
    return sc->T;
}

// ---- drawing a group into an image -------------------------------------------------------------------------------

pointer group2image(scheme* sc, pointer args) {
    BitmapImage* image = image_of(first(sc, args), ILLEGAL);
    TaskArguments group;
    if (!image || !read_group(sc, pair_cdr(args), "gfx:group2image", "Bad Path in Vector.", group)) return sc->F;
    cairo_t* cr = drawing_context(*image);
    {
        CurrentContext current(cr);
        draw_group(cr, group, 0);
    }
    cairo_destroy(cr);
    // The paths before a bad one are drawn, as on a canvas; the group as a whole failed.
    if (!group.text.empty()) {
        CPPBridge::error("%s", group.text.c_str());
        return sc->F;
    }
    return sc->T;
}

// ---- drawing one image into another ------------------------------------------------------------------------------

pointer image2image(scheme* sc, pointer args) {
    pointer a = first(sc, args), b = second(sc, args);
    if (!is_objc(a) || !is_objc(b)) {
        CPPBridge::error("%s", ILLEGAL);
        return sc->F;
    }
    // A filter image is rendered first (its extent checked), then drawn as a bitmap of that size.
    Ref<BitmapImage> rendered;
    auto* filtered = dynamic_cast<FilterImage*>(objc_value(a));
    BitmapImage* source = filtered ? nullptr : image_of(a, ILLEGAL);
    if (!filtered && !source) return sc->F;
    if (objc_value(b) && dynamic_cast<FilterImage*>(objc_value(b))) {
        CPPBridge::error("The destination image must be of type NSBitmapImage. If you have two ciimage use a "
                         "compositor filter");
        return sc->F;
    }
    BitmapImage* destination = image_of(b, ILLEGAL);
    if (!destination) return sc->F;
    if (destination->width() == 0 || destination->height() == 0) {
        CPPBridge::error("Destination Image Is Too Small");
        return sc->F;
    }
    if (filtered) {
        std::string error;
        rendered = render_filter_image(*filtered, "The extent of image is to large. Crop before drawing", error);
        if (!rendered) {
            CPPBridge::error("%s", error.c_str());
            return sc->F;
        }
        source = rendered.get();
    }
    pointer alpha = third(sc, args);
    pointer rest = is_pair(args) && is_pair(pair_cdr(args)) ? pair_cdr(pair_cdr(pair_cdr(args))) : sc->NIL;
    CanvasRect dst, src;
    if (!is_number(alpha) || !std::isfinite(rvalue(alpha)) ||
        !read_image_rects(sc, first(sc, rest), second(sc, rest), *source, dst, src)) {
        CPPBridge::error("gfx:image2image takes a source, a destination, an alpha and optionally a destination (x y) "
                         "or (x y w h) and a source (x y w h): %s",
                         printed(sc, args).c_str());
        return sc->F;
    }
    cairo_t* cr = cairo_create(destination->surface());
    // The image's own coordinates count y up from its bottom row, as a canvas's do.
    cairo_translate(cr, 0, destination->height());
    cairo_scale(cr, 1, -1);
    draw_bitmap(cr, *source, rvalue(alpha), dst, src, GraphicEngine::alias.load());
    cairo_destroy(cr);
    return sc->T;
}

constexpr CanvasProcedure PROCEDURES[] = {
    {"gfx:make-image", make_image},
    {"gfx:load-image", load_image},
    {"gfx:copy-image", copy_image},
    {"gfx:flip-image", flip_image},
    {"gfx:clear-image", clear_image},
    {"gfx:get-image-size", get_image_size},
    {"gfx:get-image-pixels", get_image_pixels},
    {"gfx:set-image-pixels", set_image_pixels},
    {"gfx:capture-image", capture_image},
    {"gfx:path2image", path2image},
    {"gfx:group2image", group2image},
    {"gfx:image2image", image2image},
};

}  // namespace

BitmapImage* image_of(pointer p, const char* wrong_type) {
    if (!is_objc(p)) {
        CPPBridge::error("%s", wrong_type);
        return nullptr;
    }
    auto* image = dynamic_cast<BitmapImage*>(objc_value(p));
    if (!image) CPPBridge::error("Null Image");
    return image;
}

Ref<BitmapImage> new_image(long width, long height, const char* who) {
    constexpr long LIMIT = GraphicEngine::OFFSCREEN_SIDE;
    if (width < 1 || height < 1 || width > LIMIT || height > LIMIT) {
        CPPBridge::error("%s: an image is 1 to %ld pixels each way, not %ld x %ld", who, LIMIT, width, height);
        return {};
    }
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(width),
                                                    static_cast<int>(height));
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        CPPBridge::error("%s: %s", who, cairo_status_to_string(cairo_surface_status(s)));
        cairo_surface_destroy(s);
        return {};
    }
    return make_object<BitmapImage>(s);
}

std::span<const CanvasProcedure> image_procedures() { return PROCEDURES; }

}  // namespace omb
