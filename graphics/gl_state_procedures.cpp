// The state, drawing, matrix, lighting, evaluator, error and display-list members of the gl: family.
#include <GL/gl.h>

#include "graphics/gl_call.h"

namespace omb {

namespace {

pointer enable(scheme* sc, pointer args) {
    // GL takes the client arrays here too.
    return gl_call(sc, args, {"gl:enable", "i", "cap"}, [](GLArgs& a) {
        glEnable(a.e(0));
        a.view->arrays().note_enabled(a.e(0), true);
    });
}
pointer disable(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:disable", "i", "cap"}, [](GLArgs& a) {
        glDisable(a.e(0));
        a.view->arrays().note_enabled(a.e(0), false);
    });
}
pointer hint(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:hint", "ii", "target mode"}, [](GLArgs& a) { glHint(a.e(0), a.e(1)); });
}
pointer shade_model(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:shade-model", "i", "mode"}, [](GLArgs& a) { glShadeModel(a.e(0)); });
}
pointer blend_func(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:blend-func", "ii", "sfactor dfactor"},
                   [](GLArgs& a) { glBlendFunc(a.e(0), a.e(1)); });
}
pointer blend_equation(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:blend-equation", "i", "mode"}, [](GLArgs& a) { glBlendEquation(a.e(0)); });
}
pointer blend_color(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:blend-color", "rrrr", "r g b a"},
                   [](GLArgs& a) { glBlendColor(a.f(0), a.f(1), a.f(2), a.f(3)); });
}
pointer clear_color(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:clear-color", "rrrr", "r g b a"},
                   [](GLArgs& a) { glClearColor(a.f(0), a.f(1), a.f(2), a.f(3)); });
}
pointer clear_accum(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:clear-accum", "rrrr", "r g b a"},
                   [](GLArgs& a) { glClearAccum(a.f(0), a.f(1), a.f(2), a.f(3)); });
}
pointer accum(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:accum", "ir", "op value"}, [](GLArgs& a) { glAccum(a.e(0), a.f(1)); });
}
pointer clear(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:clear", "i", "mask"}, [](GLArgs& a) { glClear(a.e(0)); });
}
pointer color(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:color", "rrr|r", "r g b [a]"}, [](GLArgs& a) {
        if (a.count() == 3) glColor3f(a.f(0), a.f(1), a.f(2));
        else glColor4f(a.f(0), a.f(1), a.f(2), a.f(3));
    });
}
pointer color_material(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:color-material", "ii", "face mode"},
                   [](GLArgs& a) { glColorMaterial(a.e(0), a.e(1)); });
}
pointer begin(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:begin", "i", "mode"}, [](GLArgs& a) { glBegin(a.e(0)); });
}
pointer end(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:end", "", "nothing"}, [](GLArgs&) { glEnd(); });
}
pointer vertex(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:vertex", "rr|rr", "x y [z [w]]"}, [](GLArgs& a) {
        switch (a.count()) {
        case 2: glVertex2f(a.f(0), a.f(1)); break;
        case 3: glVertex3f(a.f(0), a.f(1), a.f(2)); break;
        default: glVertex4f(a.f(0), a.f(1), a.f(2), a.f(3)); break;
        }
    });
}
pointer tex_coord(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:tex-coord-2d", "r|rrr", "s [t [r [q]]]"}, [](GLArgs& a) {
        switch (a.count()) {
        case 1: glTexCoord1f(a.f(0)); break;
        case 2: glTexCoord2f(a.f(0), a.f(1)); break;
        case 3: glTexCoord3f(a.f(0), a.f(1), a.f(2)); break;
        default: glTexCoord4f(a.f(0), a.f(1), a.f(2), a.f(3)); break;
        }
    });
}
pointer raster_pos(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:raster-pos", "rr|rr", "x y [z [w]]"}, [](GLArgs& a) {
        switch (a.count()) {
        case 2: glRasterPos2f(a.f(0), a.f(1)); break;
        case 3: glRasterPos3f(a.f(0), a.f(1), a.f(2)); break;
        default: glRasterPos4f(a.f(0), a.f(1), a.f(2), a.f(3)); break;
        }
    });
}
pointer window_pos(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:window-pos", "rr|r", "x y [z]"}, [](GLArgs& a) {
        if (a.count() == 2) glWindowPos2f(a.f(0), a.f(1));
        else glWindowPos3f(a.f(0), a.f(1), a.f(2));
    });
}
pointer point_size(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:point-size", "r", "size"}, [](GLArgs& a) { glPointSize(a.f(0)); });
}
pointer line_width(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:line-width", "r", "width"}, [](GLArgs& a) { glLineWidth(a.f(0)); });
}
pointer matrix_mode(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:matrix-mode", "i", "mode"}, [](GLArgs& a) { glMatrixMode(a.e(0)); });
}
pointer load_identity(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:load-identity", "", "nothing"}, [](GLArgs&) { glLoadIdentity(); });
}
pointer push_matrix(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:push-matrix", "", "nothing"}, [](GLArgs&) { glPushMatrix(); });
}
pointer pop_matrix(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:pop-matrix", "", "nothing"}, [](GLArgs&) { glPopMatrix(); });
}
pointer scale(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:scale", "rrr", "x y z"}, [](GLArgs& a) { glScalef(a.f(0), a.f(1), a.f(2)); });
}
pointer translate(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:translate", "rrr", "x y z"},
                   [](GLArgs& a) { glTranslatef(a.f(0), a.f(1), a.f(2)); });
}
pointer rotate(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:rotate", "rrrr", "angle x y z"},
                   [](GLArgs& a) { glRotatef(a.f(0), a.f(1), a.f(2), a.f(3)); });
}
// The bounds are taken as floats and widened back, as the family always has.
pointer frustum(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:frustum", "rrrrrr", "left right bottom top near far"}, [](GLArgs& a) {
        glFrustum(a.f(0), a.f(1), a.f(2), a.f(3), a.f(4), a.f(5));
    });
}
pointer ortho(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:ortho", "rrrrrr", "left right bottom top near far"},
                   [](GLArgs& a) { glOrtho(a.f(0), a.f(1), a.f(2), a.f(3), a.f(4), a.f(5)); });
}
pointer viewport(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:viewport", "iiii", "x y width height"},
                   [](GLArgs& a) { glViewport(a.n(0), a.n(1), a.n(2), a.n(3)); });
}
pointer depth_range(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:depth-range", "rr", "near far"},
                   [](GLArgs& a) { glDepthRange(a.real(0), a.real(1)); });
}
pointer depth_mask(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:depth-mask", "x", "flag"}, [](GLArgs& a) -> pointer {
        pointer p = a.cell(0);
        if (p == a.sc->T || p == a.sc->F) glDepthMask(p == a.sc->T ? GL_TRUE : GL_FALSE);
        else if (is_number(p)) glDepthMask(static_cast<GLboolean>(a.integer(0) & 0xff));
        else return refuse(a, "the flag must be a number (or #t or #f)");
        return a.sc->T;
    });
}
pointer flush(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:flush", "", "nothing"}, [](GLArgs&) { glFlush(); });
}

// ---- lighting and fog --------------------------------------------------------------------------------------------

pointer light(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:light", "iix", "light pname values"}, [](GLArgs& a) -> pointer {
        ParameterValues v;
        if (!read_parameters(a, 2, v)) return a.sc->F;
        glLightfv(a.e(0), a.e(1), v.values);
        return a.sc->T;
    });
}
pointer material(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:material", "iix", "face pname values"}, [](GLArgs& a) -> pointer {
        ParameterValues v;
        if (!read_parameters(a, 2, v)) return a.sc->F;
        glMaterialfv(a.e(0), a.e(1), v.values);
        return a.sc->T;
    });
}
pointer light_model(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:light-model", "ix", "pname values"}, [](GLArgs& a) -> pointer {
        ParameterValues v;
        if (!read_parameters(a, 1, v)) return a.sc->F;
        glLightModelfv(a.e(0), v.values);
        return a.sc->T;
    });
}
pointer fog(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:fog", "ix", "pname value"}, [](GLArgs& a) -> pointer {
        if (is_integer(a.cell(1))) {
            glFogi(a.e(0), a.n(1));
        } else if (is_number(a.cell(1))) {
            glFogf(a.e(0), a.f(1));
        } else {
            ParameterValues v;
            if (!read_parameters(a, 1, v)) return a.sc->F;
            glFogfv(a.e(0), v.values);
        }
        return a.sc->T;
    });
}

// ---- evaluators --------------------------------------------------------------------------------------------------

// Values a control point of `target` has; 0 for a target GL refuses before reading anything.
size_t map_components(GLenum target) {
    switch (target) {
    case GL_MAP1_INDEX: case GL_MAP2_INDEX: case GL_MAP1_TEXTURE_COORD_1: case GL_MAP2_TEXTURE_COORD_1: return 1;
    case GL_MAP1_TEXTURE_COORD_2: case GL_MAP2_TEXTURE_COORD_2: return 2;
    case GL_MAP1_VERTEX_3: case GL_MAP2_VERTEX_3: case GL_MAP1_NORMAL: case GL_MAP2_NORMAL:
    case GL_MAP1_TEXTURE_COORD_3: case GL_MAP2_TEXTURE_COORD_3: return 3;
    case GL_MAP1_VERTEX_4: case GL_MAP2_VERTEX_4: case GL_MAP1_COLOR_4: case GL_MAP2_COLOR_4:
    case GL_MAP1_TEXTURE_COORD_4: case GL_MAP2_TEXTURE_COORD_4: return 4;
    default: return 0;
    }
}

// The floats GL reads for `order` points `stride` apart (nothing when GL refuses the numbers first).
size_t points_read(int64_t order, int64_t stride, size_t k) {
    if (k == 0 || order < 1 || stride < static_cast<int64_t>(k)) return 0;
    return static_cast<size_t>(order - 1) * static_cast<size_t>(stride);
}

pointer map1(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:map-1", "irriix", "target u-start u-end stride order data"},
                   [](GLArgs& a) -> pointer {
                       FloatValues points;
                       if (!read_floats(a, 5, points)) return a.sc->F;
                       const size_t k = map_components(a.e(0));
                       const size_t span = points_read(a.integer(4), a.integer(3), k);
                       if (k && span && span + k > points.count)
                           return refuse(a, "the control points hold %zu floats, the map reads %zu", points.count,
                                         span + k);
                       glMap1f(a.e(0), a.f(1), a.f(2), a.n(3), a.n(4), points.values);
                       return a.sc->T;
                   });
}
pointer map2(scheme* sc, pointer args) {
    return gl_call(
        sc, args,
        {"gl:map-2", "irriirriix", "target u-start u-end u-stride u-order v-start v-end v-stride v-order data"},
        [](GLArgs& a) -> pointer {
            FloatValues points;
            if (!read_floats(a, 9, points)) return a.sc->F;
            const size_t k = map_components(a.e(0));
            const size_t u = points_read(a.integer(4), a.integer(3), k), v = points_read(a.integer(8), a.integer(7), k);
            const bool read = k && a.integer(4) >= 1 && a.integer(8) >= 1 && a.integer(3) >= static_cast<int64_t>(k) &&
                              a.integer(7) >= static_cast<int64_t>(k);
            if (read && u + v + k > points.count)
                return refuse(a, "the control points hold %zu floats, the map reads %zu", points.count, u + v + k);
            glMap2f(a.e(0), a.f(1), a.f(2), a.n(3), a.n(4), a.f(5), a.f(6), a.n(7), a.n(8), points.values);
            return a.sc->T;
        });
}
pointer map_grid1(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:map-grid-1", "irr", "u-count u-start u-end"},
                   [](GLArgs& a) { glMapGrid1d(a.n(0), a.real(1), a.real(2)); });
}
pointer map_grid2(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:map-grid-2", "irrirr", "u-count u-start u-end v-count v-start v-end"},
                   [](GLArgs& a) { glMapGrid2d(a.n(0), a.real(1), a.real(2), a.n(3), a.real(4), a.real(5)); });
}
pointer eval_coord1(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:eval-coord-1", "r", "u"}, [](GLArgs& a) { glEvalCoord1d(a.real(0)); });
}
pointer eval_coord2(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:eval-coord-2", "rr", "u v"},
                   [](GLArgs& a) { glEvalCoord2d(a.real(0), a.real(1)); });
}
pointer eval_mesh1(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:eval-mesh-1", "iii", "mode i1 i2"},
                   [](GLArgs& a) { glEvalMesh1(a.e(0), a.n(1), a.n(2)); });
}
pointer eval_mesh2(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:eval-mesh-2", "iiiii", "mode i1 i2 j1 j2"},
                   [](GLArgs& a) { glEvalMesh2(a.e(0), a.n(1), a.n(2), a.n(3), a.n(4)); });
}

// ---- errors and display lists ------------------------------------------------------------------------------------

pointer get_error(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:get-error", "", "nothing"},
                   [](GLArgs& a) { return mk_integer(a.sc, glGetError()); });
}
pointer gen_lists(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:gen-lists", "i", "range"},
                   [](GLArgs& a) { return mk_integer(a.sc, glGenLists(a.n(0))); });
}
pointer new_list(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:new-list", "ii", "list mode"}, [](GLArgs& a) { glNewList(a.e(0), a.e(1)); });
}
pointer end_list(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:end-list", "", "nothing"}, [](GLArgs&) { glEndList(); });
}
pointer call_list(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:call-list", "i", "list"}, [](GLArgs& a) { glCallList(a.e(0)); });
}

constexpr GLProcedure PROCEDURES[] = {
    {"gl:enable", enable},
    {"gl:disable", disable},
    {"gl:hint", hint},
    {"gl:shade-model", shade_model},
    {"gl:blend-func", blend_func},
    {"gl:blend-equation", blend_equation},
    {"gl:blend-color", blend_color},
    {"gl:clear-color", clear_color},
    {"gl:clear-accum", clear_accum},
    {"gl:accum", accum},
    {"gl:clear", clear},
    {"gl:color", color},
    {"gl:color-material", color_material},
    {"gl:begin", begin},
    {"gl:end", end},
    {"gl:vertex", vertex},
    {"gl:tex-coord-2d", tex_coord},
    {"gl:raster-pos", raster_pos},
    {"gl:window-pos", window_pos},
    {"gl:point-size", point_size},
    {"gl:line-width", line_width},
    {"gl:matrix-mode", matrix_mode},
    {"gl:load-identity", load_identity},
    {"gl:push-matrix", push_matrix},
    {"gl:pop-matrix", pop_matrix},
    {"gl:scale", scale},
    {"gl:translate", translate},
    {"gl:rotate", rotate},
    {"gl:frustum", frustum},
    {"gl:ortho", ortho},
    {"gl:viewport", viewport},
    {"gl:depth-range", depth_range},
    {"gl:depth-mask", depth_mask},
    {"gl:flush", flush},
    {"gl:light", light},
    {"gl:material", material},
    {"gl:light-model", light_model},
    {"gl:fog", fog},
    {"gl:map-1", map1},
    {"gl:map-2", map2},
    {"gl:map-grid-1", map_grid1},
    {"gl:map-grid-2", map_grid2},
    {"gl:eval-coord-1", eval_coord1},
    {"gl:eval-coord-2", eval_coord2},
    {"gl:eval-mesh-1", eval_mesh1},
    {"gl:eval-mesh-2", eval_mesh2},
    {"gl:get-error", get_error},
    {"gl:gen-lists", gen_lists},
    {"gl:new-list", new_list},
    {"gl:end-list", end_list},
    {"gl:call-list", call_list},
};

}  // namespace

std::span<const GLProcedure> gl_state_procedures() { return PROCEDURES; }

}  // namespace omb
