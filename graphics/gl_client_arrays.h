// The client-side vertex arrays of one OpenGL view and the data objects behind them. GL keeps only a pointer into
// the data's bytes and reads it at every later draw, so the view holds each array's data object until the array
// is given other data or the view closes; a draw is refused when an enabled array has no data held or is too short
// for the highest index the draw reads, and an array whose data's bytes have moved (a mutable data object that
// grew) is pointed at them again first. A collected Scheme vector or a resized data object is never read by GL.
//
// Threads: every member runs with the view's context current and locked (CustomOpenGLView::Current).
#pragma once

#include <GL/gl.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/objects/foundation.h"

namespace omb {

enum class ClientArray { vertex, normal, color, secondary_color, index, tex_coord, fog_coord, edge_flag };
constexpr size_t kClientArrays = 8;

// The array a client-state capability names (GL_VERTEX_ARRAY ...); nothing for other capabilities.
std::optional<ClientArray> client_array_of(GLenum capability);
const char* client_array_name(ClientArray array);

// Bytes one element takes in memory: `size` components of `type` (packed types are one element whatever the size).
size_t element_bytes(GLint size, GLenum type);
// The bytes an array reads for indexes 0 to max_index: offset + max_index × stride + one element, where a stride of
// 0 means tightly packed.
size_t bytes_read(size_t offset, GLsizei stride, size_t element, uint64_t max_index);

class ClientArrays {
public:
    // Points `array` at `data`'s bytes plus `offset` (size and type as the member's call takes them; ignored where
    // the array has fixed ones). The data is held only when GL took the pointer: a call GL refused leaves the
    // array, and the data held for it, as they were.
    void point(ClientArray array, GLint size, GLenum type, GLsizei stride, size_t offset, Ref<NSData> data);
    // Notes an array turned on or off through the family (GL cannot be asked between begin and end, where
    // gl:array-element is drawn). Other capabilities are ignored.
    void note_enabled(GLenum capability, bool on);
    // glInterleavedArrays on `data`; each array GL then reads from it holds the data.
    void interleave(GLenum format, GLsizei stride, Ref<NSData> data);
    // Before a draw that reads indexes up to `max_index`: null when it may go ahead (arrays re-pointed where their
    // bytes moved), else why not.
    const char* prepare_draw(uint64_t max_index, char* why, size_t why_size);
    // Lets go of every data object (the view closes). Arrays still enabled then refuse draws until given data.
    void release();

private:
    // The data, and the layout GL took with it (asked once, outside begin and end, where GL answers).
    struct Held {
        Ref<NSData> data;
        size_t offset = 0;
        GLint size = 1, type = 0, stride = 0;
    };
    void adopt_from_gl(ClientArray array, const Ref<NSData>& data);
    std::array<Held, kClientArrays> held_;
    std::array<bool, kClientArrays> enabled_{};
};

}  // namespace omb
