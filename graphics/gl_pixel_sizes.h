// How many bytes of client memory OpenGL reads or writes for a rectangle of pixels: what the pixel members of the
// binding family check a data object's length against before GL touches it. Follows the pixel storage rules of
// OpenGL 2.1 (row length, alignment, skipped rows and pixels); buffer objects are never bound by the family, so
// client memory is always what is read.
//
// Threads: pure functions, except the two store readers, which need a current context.
#pragma once

#include <GL/gl.h>

#include <cstddef>
#include <optional>

namespace omb {

struct PixelStore {
    GLint alignment = 4, row_length = 0, skip_rows = 0, skip_pixels = 0;
};

// The bytes a width x height rectangle of `format` and `type` spans from the start of its memory: nothing for a
// format or type this does not know (the caller refuses the call), 0 for an empty rectangle.
std::optional<size_t> image_bytes(GLenum format, GLenum type, GLsizei width, GLsizei height, const PixelStore& store);

// The current context's layout for pixels read from memory (unpack) and written to it (pack).
PixelStore unpack_store();
PixelStore pack_store();

}  // namespace omb
