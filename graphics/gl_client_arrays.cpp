#include "graphics/gl_client_arrays.h"

#include <GL/glext.h>

#include <cstdio>

namespace omb {

namespace {

struct Names {
    GLenum capability, pointer, size, type, stride;
    GLint fixed_size;  // 0: the array has a size of its own
    const char* name;
};

// In ClientArray order.
constexpr Names NAMES[kClientArrays] = {
    {GL_VERTEX_ARRAY, GL_VERTEX_ARRAY_POINTER, GL_VERTEX_ARRAY_SIZE, GL_VERTEX_ARRAY_TYPE, GL_VERTEX_ARRAY_STRIDE, 0,
     "vertex"},
    {GL_NORMAL_ARRAY, GL_NORMAL_ARRAY_POINTER, 0, GL_NORMAL_ARRAY_TYPE, GL_NORMAL_ARRAY_STRIDE, 3, "normal"},
    {GL_COLOR_ARRAY, GL_COLOR_ARRAY_POINTER, GL_COLOR_ARRAY_SIZE, GL_COLOR_ARRAY_TYPE, GL_COLOR_ARRAY_STRIDE, 0,
     "color"},
    {GL_SECONDARY_COLOR_ARRAY, GL_SECONDARY_COLOR_ARRAY_POINTER, GL_SECONDARY_COLOR_ARRAY_SIZE,
     GL_SECONDARY_COLOR_ARRAY_TYPE, GL_SECONDARY_COLOR_ARRAY_STRIDE, 0, "secondary color"},
    {GL_INDEX_ARRAY, GL_INDEX_ARRAY_POINTER, 0, GL_INDEX_ARRAY_TYPE, GL_INDEX_ARRAY_STRIDE, 1, "index"},
    {GL_TEXTURE_COORD_ARRAY, GL_TEXTURE_COORD_ARRAY_POINTER, GL_TEXTURE_COORD_ARRAY_SIZE,
     GL_TEXTURE_COORD_ARRAY_TYPE, GL_TEXTURE_COORD_ARRAY_STRIDE, 0, "texture coordinate"},
    {GL_FOG_COORD_ARRAY, GL_FOG_COORD_ARRAY_POINTER, 0, GL_FOG_COORD_ARRAY_TYPE, GL_FOG_COORD_ARRAY_STRIDE, 1,
     "fog coordinate"},
    {GL_EDGE_FLAG_ARRAY, GL_EDGE_FLAG_ARRAY_POINTER, 0, 0, GL_EDGE_FLAG_ARRAY_STRIDE, 1, "edge flag"},
};

const Names& names(ClientArray a) { return NAMES[static_cast<size_t>(a)]; }

const void* gl_pointer(ClientArray a) {
    void* p = nullptr;
    glGetPointerv(names(a).pointer, &p);
    return p;
}

// What GL has for an array now: size, type and stride.
struct Layout {
    GLint size = 1, type = GL_UNSIGNED_BYTE, stride = 0;
};

Layout gl_layout(ClientArray a) {
    const Names& n = names(a);
    Layout l;
    if (n.fixed_size) l.size = n.fixed_size;
    else glGetIntegerv(n.size, &l.size);
    if (n.type) glGetIntegerv(n.type, &l.type);
    glGetIntegerv(n.stride, &l.stride);
    return l;
}

void gl_point(ClientArray a, GLint size, GLenum type, GLsizei stride, const void* p) {
    switch (a) {
    case ClientArray::vertex: glVertexPointer(size, type, stride, p); break;
    case ClientArray::normal: glNormalPointer(type, stride, p); break;
    case ClientArray::color: glColorPointer(size, type, stride, p); break;
    case ClientArray::secondary_color: glSecondaryColorPointer(size, type, stride, p); break;
    case ClientArray::index: glIndexPointer(type, stride, p); break;
    case ClientArray::tex_coord: glTexCoordPointer(size, type, stride, p); break;
    case ClientArray::fog_coord: glFogCoordPointer(type, stride, p); break;
    case ClientArray::edge_flag: glEdgeFlagPointer(stride, p); break;
    }
}

const uint8_t* bytes_of(const Ref<NSData>& data) { return data ? data->bytes().data() : nullptr; }

}  // namespace

std::optional<ClientArray> client_array_of(GLenum capability) {
    for (size_t i = 0; i < kClientArrays; ++i)
        if (NAMES[i].capability == capability) return static_cast<ClientArray>(i);
    return std::nullopt;
}

const char* client_array_name(ClientArray array) { return names(array).name; }

size_t element_bytes(GLint size, GLenum type) {
    if (size == GL_BGRA) size = 4;
    const size_t n = size > 0 ? static_cast<size_t>(size) : 1;
    switch (type) {
    case GL_BYTE: case GL_UNSIGNED_BYTE: return n;
    case GL_SHORT: case GL_UNSIGNED_SHORT: case GL_HALF_FLOAT: return 2 * n;
    case GL_INT: case GL_UNSIGNED_INT: case GL_FLOAT: case GL_FIXED: return 4 * n;
    case GL_DOUBLE: return 8 * n;
    case GL_INT_2_10_10_10_REV: case GL_UNSIGNED_INT_2_10_10_10_REV: case GL_UNSIGNED_INT_10F_11F_11F_REV: return 4;
    default: return 8 * n;  // wider than any type GL takes: never too little
    }
}

size_t bytes_read(size_t offset, GLsizei stride, size_t element, uint64_t max_index) {
    const size_t step = stride > 0 ? static_cast<size_t>(stride) : element;
    return offset + static_cast<size_t>(max_index) * step + element;
}

void ClientArrays::point(ClientArray array, GLint size, GLenum type, GLsizei stride, size_t offset,
                         Ref<NSData> data) {
    const uint8_t* base = bytes_of(data);
    const void* p = base ? base + offset : nullptr;
    gl_point(array, size, type, stride, p);
    if (gl_pointer(array) != p) return;
    const Layout l = gl_layout(array);
    held_[static_cast<size_t>(array)] = {std::move(data), offset, l.size, l.type, l.stride};
}

void ClientArrays::note_enabled(GLenum capability, bool on) {
    if (const std::optional<ClientArray> array = client_array_of(capability))
        enabled_[static_cast<size_t>(*array)] = on;
}

void ClientArrays::interleave(GLenum format, GLsizei stride, Ref<NSData> data) {
    glInterleavedArrays(format, stride, bytes_of(data));
    for (size_t i = 0; i < kClientArrays; ++i) {
        adopt_from_gl(static_cast<ClientArray>(i), data);
        // What GL turned on stays on in our notes; what it turned off is still checked, which costs nothing.
        enabled_[i] = enabled_[i] || glIsEnabled(NAMES[i].capability);
    }
}

// After glInterleavedArrays: an array whose pointer now lies in the data reads from it.
void ClientArrays::adopt_from_gl(ClientArray array, const Ref<NSData>& data) {
    const uint8_t* base = bytes_of(data);
    const auto* p = static_cast<const uint8_t*>(gl_pointer(array));
    if (!base || p < base || p > base + data->length()) return;
    const Layout l = gl_layout(array);
    held_[static_cast<size_t>(array)] = {data, static_cast<size_t>(p - base), l.size, l.type, l.stride};
}

const char* ClientArrays::prepare_draw(uint64_t max_index, char* why, size_t why_size) {
    for (size_t i = 0; i < kClientArrays; ++i) {
        const auto array = static_cast<ClientArray>(i);
        // Between begin and end GL answers every question with false: our own notes count too.
        if (!enabled_[i] && !glIsEnabled(NAMES[i].capability)) continue;
        Held& held = held_[i];
        if (!held.data) {
            std::snprintf(why, why_size, "the %s array is enabled but has no data", NAMES[i].name);
            return why;
        }
        const size_t element = element_bytes(held.size, static_cast<GLenum>(held.type));
        const size_t need = bytes_read(held.offset, held.stride, element, max_index);
        if (need > held.data->length()) {
            std::snprintf(why, why_size, "the %s array's data holds %zu bytes, the draw reads %zu", NAMES[i].name,
                          held.data->length(), need);
            return why;
        }
        // Bytes that moved are pointed at again (GL's null answer between begin and end is no answer).
        const void* now = held.data->bytes().data() + held.offset;
        const void* had = gl_pointer(array);
        if (had && had != now) gl_point(array, held.size, static_cast<GLenum>(held.type), held.stride, now);
    }
    return nullptr;
}

void ClientArrays::release() {
    for (Held& held : held_) held = {};
}

}  // namespace omb
