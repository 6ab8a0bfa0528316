#include "graphics/gl_call.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "graphics/opengl_procedures.h"
#include "platform/log_bridge.h"

namespace omb {

namespace {

bool fits(char type, pointer p) {
    switch (type) {
    case 'i': case 'r': return is_number(p);
    case 's': return is_string(p) || (is_objc(p) && dynamic_cast<NSString*>(objc_value(p)));
    case 'o': return is_objc(p);
    case 'v': return is_vector(p) || (is_objc(p) && dynamic_cast<NSData*>(objc_value(p)));
    default: return true;
    }
}

}  // namespace

bool GLArgs::read(scheme* s, pointer args, const Signature& signature) {
    sc = s;
    name = signature.name;
    view = is_pair(args) ? opengl_view_of(pair_car(args)) : nullptr;
    if (!view) {
        CPPBridge::error("First argument must be an opengl canvas");
        return false;
    }
    const char* types = signature.types;
    int required = 0, allowed = 0;
    for (const char* t = types; *t; ++t)
        if (*t != '|') ++allowed, required += std::strchr(types, '|') == nullptr || t < std::strchr(types, '|');
    count_ = 0;
    bool ok = true;
    for (pointer rest = pair_cdr(args); is_pair(rest); rest = pair_cdr(rest)) {
        if (count_ >= allowed || count_ >= MAX) {
            ok = false;
            break;
        }
        cells_[count_++] = pair_car(rest);
    }
    ok = ok && count_ >= required;
    for (int i = 0, k = 0; ok && i < count_; ++k)
        if (types[k] != '|') ok = fits(types[k], cells_[i++]);
    if (!ok) CPPBridge::error("%s: bad arguments; expects an opengl canvas, then %s", name, signature.usage);
    return ok;
}

pointer refuse(const GLArgs& a, const char* fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    CPPBridge::error("%s: %s", a.name, text);
    return a.sc->F;
}

bool read_parameters(const GLArgs& a, int i, ParameterValues& into) {
    pointer p = a.cell(i);
    if (is_number(p)) {
        into.values[0] = static_cast<float>(rvalue(p));
        return true;
    }
    if (is_vector(p)) {
        const int64_t n = std::min<int64_t>(vector_length(p), 16);
        for (int k = 0; k < n; ++k) {
            pointer v = vector_elem(p, k);
            if (!is_number(v)) {
                refuse(a, "element %d of the values is not a number", k);
                return false;
            }
            into.values[k] = static_cast<float>(rvalue(v));
        }
        return true;
    }
    NSData* data = is_objc(p) ? dynamic_cast<NSData*>(objc_value(p)) : nullptr;
    if (!data) {
        refuse(a, "the values must be a number, a vector of numbers or a data object");
        return false;
    }
    std::memcpy(into.values, data->bytes().data(), std::min(sizeof into.values, data->length()));
    return true;
}

bool read_floats(const GLArgs& a, int i, FloatValues& into) {
    pointer p = a.cell(i);
    if (is_vector(p)) {
        into.converted.resize(static_cast<size_t>(vector_length(p)));
        for (size_t k = 0; k < into.converted.size(); ++k) {
            pointer v = vector_elem(p, static_cast<int>(k));
            if (!is_number(v)) {
                refuse(a, "element %zu of the control points is not a number", k);
                return false;
            }
            into.converted[k] = static_cast<float>(rvalue(v));
        }
        into.values = into.converted.data();
        into.count = into.converted.size();
        return true;
    }
    NSData* data = is_objc(p) ? dynamic_cast<NSData*>(objc_value(p)) : nullptr;
    if (!data) {
        refuse(a, "the control points must be a data object or a vector of numbers");
        return false;
    }
    into.values = reinterpret_cast<const float*>(data->bytes().data());
    into.count = data->length() / sizeof(float);
    return true;
}

NSData* data_arg(const GLArgs& a, int i) {
    NSData* data = is_objc(a.cell(i)) ? dynamic_cast<NSData*>(a.object(i)) : nullptr;
    if (!data) refuse(a, "argument %d must be a data object (objc:vector->nsdata-float and its kin make one)", i + 1);
    return data;
}

const char* string_arg(const GLArgs& a, int i) {
    if (is_string(a.cell(i))) return string_value(a.cell(i));
    return static_cast<NSString*>(a.object(i))->utf8().c_str();
}

foreign_func opengl_procedure(const char* name) {
    for (auto table : {opengl_view_procedures(), gl_state_procedures(), gl_pixel_procedures(), gl_array_procedures(),
                       gl_shader_procedures(), glu_procedures(), glut_shape_procedures()})
        for (const GLProcedure& p : table)
            if (std::strcmp(p.name, name) == 0) return p.procedure;
    return nullptr;
}

}  // namespace omb
