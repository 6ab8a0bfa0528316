// The shader and program members of the gl: family: sources, compiling and linking, info logs (posted to the log
// as notifications), uniforms and vertex attributes.
#include <GL/gl.h>
#include <GL/glext.h>

#include <string>

#include "graphics/gl_call.h"
#include "platform/log_bridge.h"

namespace omb {

namespace {

pointer create_shader(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:create-shader", "i", "type"},
                   [](GLArgs& a) { return mk_integer(a.sc, glCreateShader(a.e(0))); });
}
pointer shader_source(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:shader-source", "is", "shader source"}, [](GLArgs& a) {
        const GLchar* source = string_arg(a, 1);
        glShaderSource(a.e(0), 1, &source, nullptr);
    });
}
pointer compile_shader(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:compile-shader", "i", "shader"}, [](GLArgs& a) { glCompileShader(a.e(0)); });
}

// The log GL keeps for a shader or program, posted whole (empty when there is none).
template <void (*Length)(GLuint, GLenum, GLint*), void (*Read)(GLuint, GLsizei, GLsizei*, GLchar*)>
void post_info_log(GLuint object) {
    GLint length = 0;
    Length(object, GL_INFO_LOG_LENGTH, &length);
    std::string text(static_cast<size_t>(std::max(length, 1)), '\0');
    GLsizei written = 0;
    if (length > 0) Read(object, length, &written, text.data());
    text.resize(static_cast<size_t>(std::max(written, 0)));
    CPPBridge::notification_text(text);
}

void shader_iv(GLuint o, GLenum p, GLint* v) { glGetShaderiv(o, p, v); }
void shader_log(GLuint o, GLsizei n, GLsizei* w, GLchar* t) { glGetShaderInfoLog(o, n, w, t); }
void program_iv(GLuint o, GLenum p, GLint* v) { glGetProgramiv(o, p, v); }
void program_log(GLuint o, GLsizei n, GLsizei* w, GLchar* t) { glGetProgramInfoLog(o, n, w, t); }

pointer get_shader_info_log(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:get-shader-info-log", "i", "shader"},
                   [](GLArgs& a) { post_info_log<shader_iv, shader_log>(a.e(0)); });
}
pointer get_program_info_log(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:get-program-info-log", "i", "program"},
                   [](GLArgs& a) { post_info_log<program_iv, program_log>(a.e(0)); });
}
pointer create_program(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:create-program", "", "nothing"},
                   [](GLArgs& a) { return mk_integer(a.sc, glCreateProgram()); });
}
pointer attach_shader(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:attach-shader", "ii", "program shader"},
                   [](GLArgs& a) { glAttachShader(a.e(0), a.e(1)); });
}
pointer detach_shader(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:detach-shader", "ii", "program shader"},
                   [](GLArgs& a) { glDetachShader(a.e(0), a.e(1)); });
}
pointer link_program(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:link-program", "i", "program"}, [](GLArgs& a) { glLinkProgram(a.e(0)); });
}
pointer use_program(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:use-program", "i", "program"}, [](GLArgs& a) { glUseProgram(a.e(0)); });
}
pointer delete_program(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:delete-program", "i", "program"}, [](GLArgs& a) { glDeleteProgram(a.e(0)); });
}
pointer delete_shader(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:delete-shader", "i", "shader"}, [](GLArgs& a) { glDeleteShader(a.e(0)); });
}
pointer get_uniform_location(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:get-uniform-location", "is", "program name"},
                   [](GLArgs& a) { return mk_integer(a.sc, glGetUniformLocation(a.e(0), string_arg(a, 1))); });
}
pointer get_attrib_location(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:get-attrib-location", "is", "program name"},
                   [](GLArgs& a) { return mk_integer(a.sc, glGetAttribLocation(a.e(0), string_arg(a, 1))); });
}

// A real first value makes the float variants; an integer the integer ones.
pointer uniform(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:uniform", "ir|rrr", "location a [b [c [d]]]"}, [](GLArgs& a) {
        const GLint at = a.n(0);
        if (!a.is_int(1)) {
            switch (a.count()) {
            case 2: glUniform1f(at, a.f(1)); break;
            case 3: glUniform2f(at, a.f(1), a.f(2)); break;
            case 4: glUniform3f(at, a.f(1), a.f(2), a.f(3)); break;
            default: glUniform4f(at, a.f(1), a.f(2), a.f(3), a.f(4)); break;
            }
            return;
        }
        switch (a.count()) {
        case 2: glUniform1i(at, a.n(1)); break;
        case 3: glUniform2i(at, a.n(1), a.n(2)); break;
        case 4: glUniform3i(at, a.n(1), a.n(2), a.n(3)); break;
        default: glUniform4i(at, a.n(1), a.n(2), a.n(3), a.n(4)); break;
        }
    });
}

pointer vertex_attrib(scheme* sc, pointer args) {
    return gl_call(sc, args, {"gl:vertex-attrib", "ir|rrr", "index a [b [c [d]]]"}, [](GLArgs& a) {
        const GLuint at = a.e(0);
        if (!a.is_int(1)) {
            switch (a.count()) {
            case 2: glVertexAttrib1f(at, a.f(1)); break;
            case 3: glVertexAttrib2f(at, a.f(1), a.f(2)); break;
            case 4: glVertexAttrib3f(at, a.f(1), a.f(2), a.f(3)); break;
            default: glVertexAttrib4f(at, a.f(1), a.f(2), a.f(3), a.f(4)); break;
            }
            return;
        }
        // Shorts, as the family has always passed integers here: values keep their low 16 bits.
        const auto s = [&a](int i) { return static_cast<GLshort>(a.integer(i)); };
        switch (a.count()) {
        case 2: glVertexAttrib1s(at, s(1)); break;
        case 3: glVertexAttrib2s(at, s(1), s(2)); break;
        case 4: glVertexAttrib3s(at, s(1), s(2), s(3)); break;
        default: glVertexAttrib4s(at, s(1), s(2), s(3), s(4)); break;
        }
    });
}

constexpr GLProcedure PROCEDURES[] = {
    {"gl:create-shader", create_shader},
    {"gl:shader-source", shader_source},
    {"gl:compile-shader", compile_shader},
    {"gl:get-shader-info-log", get_shader_info_log},
    {"gl:get-program-info-log", get_program_info_log},
    {"gl:create-program", create_program},
    {"gl:attach-shader", attach_shader},
    {"gl:detach-shader", detach_shader},
    {"gl:link-program", link_program},
    {"gl:use-program", use_program},
    {"gl:delete-shader", delete_shader},
    {"gl:delete-program", delete_program},
    {"gl:get-uniform-location", get_uniform_location},
    {"gl:uniform", uniform},
    {"gl:get-attrib-location", get_attrib_location},
    {"gl:vertex-attrib", vertex_attrib},
};

}  // namespace

std::span<const GLProcedure> gl_shader_procedures() { return PROCEDURES; }

}  // namespace omb
