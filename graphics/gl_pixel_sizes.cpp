#include "graphics/gl_pixel_sizes.h"

#include <GL/glext.h>

#include <algorithm>

namespace omb {

namespace {

// Components a pixel of `format` has; 0 for an unknown format.
size_t components(GLenum format) {
    switch (format) {
    case GL_RED: case GL_GREEN: case GL_BLUE: case GL_ALPHA: case GL_LUMINANCE: case GL_COLOR_INDEX:
    case GL_STENCIL_INDEX: case GL_DEPTH_COMPONENT: case GL_RED_INTEGER: case GL_GREEN_INTEGER:
    case GL_BLUE_INTEGER: case GL_ALPHA_INTEGER:
        return 1;
    case GL_LUMINANCE_ALPHA: case GL_RG: case GL_RG_INTEGER: case GL_DEPTH_STENCIL:
        return 2;
    case GL_RGB: case GL_BGR: case GL_RGB_INTEGER: case GL_BGR_INTEGER:
        return 3;
    case GL_RGBA: case GL_BGRA: case GL_RGBA_INTEGER: case GL_BGRA_INTEGER: case GL_ABGR_EXT:
        return 4;
    default:
        return 0;
    }
}

// Bytes of one component (or of one whole pixel for the packed types, which `packed` reports); 0 when unknown.
size_t type_bytes(GLenum type, bool& packed) {
    packed = false;
    switch (type) {
    case GL_UNSIGNED_BYTE: case GL_BYTE: return 1;
    case GL_UNSIGNED_SHORT: case GL_SHORT: case GL_HALF_FLOAT: return 2;
    case GL_UNSIGNED_INT: case GL_INT: case GL_FLOAT: return 4;
    default: break;
    }
    packed = true;
    switch (type) {
    case GL_UNSIGNED_BYTE_3_3_2: case GL_UNSIGNED_BYTE_2_3_3_REV:
        return 1;
    case GL_UNSIGNED_SHORT_5_6_5: case GL_UNSIGNED_SHORT_5_6_5_REV: case GL_UNSIGNED_SHORT_4_4_4_4:
    case GL_UNSIGNED_SHORT_4_4_4_4_REV: case GL_UNSIGNED_SHORT_5_5_5_1: case GL_UNSIGNED_SHORT_1_5_5_5_REV:
        return 2;
    case GL_UNSIGNED_INT_8_8_8_8: case GL_UNSIGNED_INT_8_8_8_8_REV: case GL_UNSIGNED_INT_10_10_10_2:
    case GL_UNSIGNED_INT_2_10_10_10_REV: case GL_UNSIGNED_INT_24_8: case GL_UNSIGNED_INT_10F_11F_11F_REV:
    case GL_UNSIGNED_INT_5_9_9_9_REV:
        return 4;
    case GL_FLOAT_32_UNSIGNED_INT_24_8_REV:
        return 8;
    default:
        return 0;
    }
}

size_t at_least_zero(GLint v) { return v > 0 ? static_cast<size_t>(v) : 0; }

PixelStore read_store(GLenum alignment, GLenum row_length, GLenum skip_rows, GLenum skip_pixels) {
    PixelStore s;
    glGetIntegerv(alignment, &s.alignment);
    glGetIntegerv(row_length, &s.row_length);
    glGetIntegerv(skip_rows, &s.skip_rows);
    glGetIntegerv(skip_pixels, &s.skip_pixels);
    return s;
}

}  // namespace

std::optional<size_t> image_bytes(GLenum format, GLenum type, GLsizei width, GLsizei height, const PixelStore& store) {
    const size_t n = components(format);
    if (n == 0) return std::nullopt;
    if (width <= 0 || height <= 0) return 0;
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    const size_t a = std::max<size_t>(1, at_least_zero(store.alignment));
    const size_t l = store.row_length > 0 ? static_cast<size_t>(store.row_length) : w;
    const size_t skip_rows = at_least_zero(store.skip_rows), skip_pixels = at_least_zero(store.skip_pixels);
    if (type == GL_BITMAP) {
        // One bit a pixel, rows padded to the alignment.
        const size_t row = a * ((l + 8 * a - 1) / (8 * a));
        return (skip_rows + h - 1) * row + (skip_pixels + w + 7) / 8;
    }
    bool packed = false;
    const size_t s = type_bytes(type, packed);
    if (s == 0) return std::nullopt;
    const size_t per_pixel = packed ? s : n * s;
    const size_t row = s >= a ? l * per_pixel : a * ((l * per_pixel + a - 1) / a);
    return (skip_rows + h - 1) * row + (skip_pixels + w) * per_pixel;
}

PixelStore unpack_store() {
    return read_store(GL_UNPACK_ALIGNMENT, GL_UNPACK_ROW_LENGTH, GL_UNPACK_SKIP_ROWS, GL_UNPACK_SKIP_PIXELS);
}

PixelStore pack_store() {
    return read_store(GL_PACK_ALIGNMENT, GL_PACK_ROW_LENGTH, GL_PACK_SKIP_ROWS, GL_PACK_SKIP_PIXELS);
}

}  // namespace omb
