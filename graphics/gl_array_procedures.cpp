// The vertex-array members of the gl: family. Pointer members hand GL a data object's bytes plus an offset; the
// view holds the data for as long as GL may read it (graphics/gl_client_arrays.h), and every draw checks the
// arrays it reads and the indices it is given against the memory behind them first.
#include <GL/gl.h>

#include <cstring>
#include <vector>

#include "graphics/gl_call.h"

namespace omb {

namespace {

// The data at argument `data_at` and a byte offset into it at `offset_at` (which may equal the length).
NSData* data_and_offset(const GLArgs& a, int offset_at, int data_at, size_t& offset) {
    NSData* data = data_arg(a, data_at);
    if (!data) return nullptr;
    const int64_t off = a.integer(offset_at);
    if (off < 0 || static_cast<uint64_t>(off) > data->length()) {
        refuse(a, "offset %lld lies outside the data's %zu bytes", static_cast<long long>(off), data->length());
        return nullptr;
    }
    offset = static_cast<size_t>(off);
    return data;
}

// size type stride off data
pointer point_sized(scheme* sc, pointer args, const char* name, ClientArray array) {
    return gl_call(sc, args, {name, "iiiio", "size type stride offset data"}, [array](GLArgs& a) -> pointer {
        size_t offset = 0;
        NSData* data = data_and_offset(a, 3, 4, offset);
        if (!data) return a.sc->F;
        a.view->arrays().point(array, a.n(0), a.e(1), a.n(2), offset, Ref<NSData>::retain(data));
        return a.sc->T;
    });
}

// type stride off data
pointer point_typed(scheme* sc, pointer args, const char* name, ClientArray array) {
    return gl_call(sc, args, {name, "iiio", "type stride offset data"}, [array](GLArgs& a) -> pointer {
        size_t offset = 0;
        NSData* data = data_and_offset(a, 2, 3, offset);
        if (!data) return a.sc->F;
        a.view->arrays().point(array, 1, a.e(0), a.n(1), offset, Ref<NSData>::retain(data));
        return a.sc->T;
    });
}

pointer vertex_pointer(scheme* sc, pointer args) {
    return point_sized(sc, args, "gl:vertex-pointer", ClientArray::vertex);
}
pointer color_pointer(scheme* sc, pointer args) {
    return point_sized(sc, args, "gl:color-pointer", ClientArray::color);
}
pointer secondary_color_pointer(scheme* sc, pointer args) {
    return point_sized(sc, args, "gl:secondary-color-pointer", ClientArray::secondary_color);
}
pointer tex_coord_pointer(scheme* sc, pointer args) {
    return point_sized(sc, args, "gl:tex-coord-pointer", ClientArray::tex_coord);
}
pointer normal_pointer(scheme* sc, pointer args) {
    return point_typed(sc, args, "gl:normal-pointer", ClientArray::normal);
}
pointer index_pointer(scheme* sc, pointer args) {
    return point_typed(sc, args, "gl:index-pointer", ClientArray::index);
}
pointer fog_coord_pointer(scheme* sc, pointer args) {
    return point_typed(sc, args, "gl:fog-coord-pointer", ClientArray::fog_coord);
}
pointer edge_flag_pointer(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:edge-flag-pointer", "iio", "stride offset data"}, [](GLArgs& a) -> pointer {
        size_t offset = 0;
        NSData* data = data_and_offset(a, 1, 2, offset);
        if (!data) return a.sc->F;
        a.view->arrays().point(ClientArray::edge_flag, 1, GL_UNSIGNED_BYTE, a.n(0), offset, Ref<NSData>::retain(data));
        return a.sc->T;
    });
}
pointer interleaved_arrays(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:interleaved-arrays", "iio", "format stride data"}, [](GLArgs& a) -> pointer {
        NSData* data = data_arg(a, 2);
        if (!data) return a.sc->F;
        a.view->arrays().interleave(a.e(0), a.n(1), Ref<NSData>::retain(data));
        return a.sc->T;
    });
}
pointer enable_client_state(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:enable-client-state", "i", "array"},
                   [](GLArgs& a) {
                       glEnableClientState(a.e(0));
                       a.view->arrays().note_enabled(a.e(0), true);
                   });
}
pointer disable_client_state(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:disable-client-state", "i", "array"},
                   [](GLArgs& a) {
                       glDisableClientState(a.e(0));
                       a.view->arrays().note_enabled(a.e(0), false);
                   });
}

// Whether the enabled arrays may be read up to `max_index`; reported when not.
bool arrays_ready(const GLArgs& a, uint64_t max_index) {
    char why[160];
    if (const char* refused = a.view->arrays().prepare_draw(max_index, why, sizeof why)) {
        refuse(a, "%s", refused);
        return false;
    }
    return true;
}

pointer array_element(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:array-element", "i", "index"}, [](GLArgs& a) -> pointer {
        if (a.integer(0) < 0) return refuse(a, "the index must not be negative");
        if (!arrays_ready(a, static_cast<uint64_t>(a.integer(0)))) return a.sc->F;
        glArrayElement(a.n(0));
        return a.sc->T;
    });
}

pointer draw_arrays(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:draw-arrays", "iii", "mode first count"}, [](GLArgs& a) -> pointer {
        const int64_t first = a.integer(1), count = a.integer(2);
        if (count > 0) {
            if (first < 0) return refuse(a, "first must not be negative");
            if (!arrays_ready(a, static_cast<uint64_t>(first + count - 1))) return a.sc->F;
        }
        glDrawArrays(a.e(0), a.n(1), a.n(2));
        return a.sc->T;
    });
}

size_t index_bytes(GLenum type) {
    switch (type) {
    case GL_UNSIGNED_BYTE: return 1;
    case GL_UNSIGNED_SHORT: return 2;
    case GL_UNSIGNED_INT: return 4;
    default: return 0;
    }
}

uint64_t index_at(const uint8_t* bytes, size_t size, size_t i) {
    if (size == 1) return bytes[i];
    if (size == 2) {
        uint16_t v;
        std::memcpy(&v, bytes + 2 * i, 2);
        return v;
    }
    uint32_t v;
    std::memcpy(&v, bytes + 4 * i, 4);
    return v;
}

uint64_t max_index(const uint8_t* bytes, size_t size, size_t count) {
    uint64_t most = 0;
    for (size_t i = 0; i < count; ++i) most = std::max(most, index_at(bytes, size, i));
    return most;
}

pointer draw_elements(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:draw-elements", "iiio", "mode count type indices"}, [](GLArgs& a) -> pointer {
        NSData* indices = data_arg(a, 3);
        if (!indices) return a.sc->F;
        const size_t size = index_bytes(a.e(2));
        if (size == 0) return refuse(a, "the index type must be GL_UNSIGNED_BYTE, _SHORT or _INT");
        const int64_t count = a.integer(1);
        if (count > 0) {
            if (static_cast<uint64_t>(count) > indices->length() / size)
                return refuse(a, "the indices hold %zu values, the draw reads %lld", indices->length() / size,
                              static_cast<long long>(count));
            if (!arrays_ready(a, max_index(indices->bytes().data(), size, static_cast<size_t>(count))))
                return a.sc->F;
        }
        glDrawElements(a.e(0), a.n(1), a.e(2), indices->bytes().data());
        return a.sc->T;
    });
}

// The index lists lie one after another in the indices data, each as long as its count says.
pointer multi_draw_elements(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:multi-draw-elements", "ioioi", "mode counts type indices primcount"},
                   [](GLArgs& a) -> pointer {
                       NSData* counts = data_arg(a, 1);
                       NSData* indices = counts ? data_arg(a, 3) : nullptr;
                       if (!indices) return a.sc->F;
                       const size_t size = index_bytes(a.e(2));
                       if (size == 0) return refuse(a, "the index type must be GL_UNSIGNED_BYTE, _SHORT or _INT");
                       const int64_t primcount = a.integer(4);
                       if (primcount < 0 || static_cast<uint64_t>(primcount) > counts->length() / sizeof(GLsizei))
                           return refuse(a, "the counts hold %zu values, primcount is %lld",
                                         counts->length() / sizeof(GLsizei), static_cast<long long>(primcount));
                       std::vector<GLsizei> n(static_cast<size_t>(primcount));
                       std::memcpy(n.data(), counts->bytes().data(), n.size() * sizeof(GLsizei));
                       std::vector<const void*> starts(n.size());
                       size_t at = 0;
                       uint64_t most = 0;
                       bool any = false;
                       const uint8_t* bytes = indices->bytes().data();
                       for (size_t i = 0; i < n.size(); ++i) {
                           if (n[i] < 0) return refuse(a, "count %zu is negative", i);
                           const size_t c = static_cast<size_t>(n[i]);
                           if (c > (indices->length() - at) / size)
                               return refuse(a, "the indices hold %zu bytes, the lists need more",
                                             indices->length());
                           starts[i] = bytes + at;
                           if (c) most = std::max(most, max_index(bytes + at, size, c)), any = true;
                           at += c * size;
                       }
                       if (any && !arrays_ready(a, most)) return a.sc->F;
                       glMultiDrawElements(a.e(0), n.data(), a.e(2), starts.data(), a.n(4));
                       return a.sc->T;
                   });
}

constexpr GLProcedure PROCEDURES[] = {
    {"gl:interleaved-arrays", interleaved_arrays},
    {"gl:draw-arrays", draw_arrays},
    {"gl:draw-elements", draw_elements},
    {"gl:multi-draw-elements", multi_draw_elements},
    {"gl:array-element", array_element},
    {"gl:edge-flag-pointer", edge_flag_pointer},
    {"gl:tex-coord-pointer", tex_coord_pointer},
    {"gl:fog-coord-pointer", fog_coord_pointer},
    {"gl:normal-pointer", normal_pointer},
    {"gl:index-pointer", index_pointer},
    {"gl:secondary-color-pointer", secondary_color_pointer},
    {"gl:color-pointer", color_pointer},
    {"gl:vertex-pointer", vertex_pointer},
    {"gl:disable-client-state", disable_client_state},
    {"gl:enable-client-state", enable_client_state},
};

}  // namespace

std::span<const GLProcedure> gl_array_procedures() { return PROCEDURES; }

}  // namespace omb
