#include "native/objc_convert.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "platform/dev_log.h"
#include "platform/exception.h"
#include "platform/log_bridge.h"

namespace omb {

namespace {

constexpr const char* BAD_OBJC = "Bad objc argument: wrong type or wrong argument position";
constexpr const char* BAD_CPTR = "Bad cptr argument: wrong type or wrong argument position";
constexpr const char* BAD_STRING = "Bad string argument: wrong type or wrong argument position";
constexpr const char* BAD_BOOLEAN = "Bad boolean argument: wrong type or wrong argument position";
constexpr const char* BAD_INTEGER = "Bad integer argument: wrong type or wrong argument position";
constexpr const char* BAD_REAL = "Bad real argument: wrong type or wrong argument position";
constexpr const char* BAD_LIST = "Bad list argument: wrong type or wrong argument position";

bool refuse(const char* message) {
    CPPBridge::error_text(message);
    return false;
}

// The type's text without its qualifiers: where the structure names are read.
std::string_view unqualified(const EncodedType& t) {
    const size_t i = t.text.find_first_not_of("rnNoORV");
    return i == std::string::npos ? std::string_view() : std::string_view(t.text).substr(i);
}

bool starts_with_any(std::string_view s, std::initializer_list<const char*> prefixes) {
    for (const char* p : prefixes)
        if (s.starts_with(p)) return true;
    return false;
}

// The structures that cross as lists. Results also know the CG name of a range.
bool known_structure(const EncodedType& t, bool result) {
    const std::string_view s = unqualified(t);
    return starts_with_any(s, {"{NSRange=", "{_NSRange=", "{NSPoint=", "{_NSPoint=", "{CGPoint=", "{_CGPoint=",
                               "{NSSize=", "{_NSSize=", "{CGSize=", "{_CGSize=", "{NSRect=", "{_NSRect=",
                               "{CGRect=", "{_CGRect="}) ||
           (result && starts_with_any(s, {"{CGRange=", "{_CGRange="}));
}

// A number field of a structure, flattened: a rectangle is x, y, width, height.
struct Leaf {
    const EncodedType* type;
    size_t offset;
};

bool leaves(const EncodedType& t, size_t at, std::vector<Leaf>& out) {
    if (t.code == '{') {
        for (const EncodedType& f : t.fields)
            if (!leaves(f, at + f.offset, out)) return false;
        return true;
    }
    if (!t.is_integer() && !t.is_real()) return false;
    out.push_back({&t, at});
    return true;
}

// Cut to the field's width, as a C cast would.
void write_integer(void* at, const EncodedType& t, int64_t v) {
    switch (t.size) {
    case 1: { auto x = static_cast<uint8_t>(v); std::memcpy(at, &x, 1); break; }
    case 2: { auto x = static_cast<uint16_t>(v); std::memcpy(at, &x, 2); break; }
    case 4: { auto x = static_cast<uint32_t>(v); std::memcpy(at, &x, 4); break; }
    default: std::memcpy(at, &v, 8); break;
    }
}

void write_real(void* at, const EncodedType& t, double v) {
    if (t.code == 'd') {
        std::memcpy(at, &v, sizeof v);
        return;
    }
    // Out of single precision's range a real becomes an infinity, as the hardware would round it.
    float f = std::isfinite(v) && std::fabs(v) > FLT_MAX ? std::copysign(HUGE_VALF, static_cast<float>(v))
                                                         : static_cast<float>(v);
    std::memcpy(at, &f, sizeof f);
}

// Whether an integer field can hold v exactly.
bool fits(const EncodedType& t, int64_t v) {
    if (t.code == 'B') return v == 0 || v == 1;
    const bool is_unsigned = std::strchr("CSILQ", t.code) != nullptr;
    if (is_unsigned && v < 0) return false;
    if (t.size >= 8) return true;
    const int bits = static_cast<int>(t.size * 8) - (is_unsigned ? 0 : 1);
    return is_unsigned ? static_cast<uint64_t>(v) < (uint64_t{1} << bits)
                       : v >= -(int64_t{1} << bits) && v < (int64_t{1} << bits);
}

// A number for an integer field: an integer, or a real with no fraction (a range read back from a result).
bool integral(pointer x, int64_t& out) {
    if (is_integer(x)) {
        out = ivalue(x);
        return true;
    }
    const double d = rvalue(x);
    if (!(d == std::floor(d)) || d < -9223372036854775808.0 || d >= 9223372036854775808.0) return false;
    out = static_cast<int64_t>(d);
    return true;
}

bool structure(scheme* sc, Invocation& inv, size_t position, pointer list, ArgumentRules rules) {
    const EncodedType& t = inv.argument_type(position);
    auto fail = [&] {
        if (rules == ArgumentRules::make) return refuse(BAD_LIST);
        CPPBridge::error("Bad ObjC Argument: arg%d: %s", static_cast<int>(position - 2), t.text.c_str());
        return false;
    };
    std::vector<Leaf> fields;
    if (t.code != '{' || !known_structure(t, false) || !leaves(t, 0, fields)) return fail();
    if (list_length(sc, list) != static_cast<int>(fields.size())) return fail();
    auto* at = static_cast<std::byte*>(inv.argument(position));
    for (const Leaf& field : fields) {
        pointer x = pair_car(list);
        list = pair_cdr(list);
        if (!is_number(x)) return fail();
        if (field.type->is_real()) {
            write_real(at + field.offset, *field.type, rvalue(x));
            continue;
        }
        int64_t v = 0;
        if (!integral(x, v) || !fits(*field.type, v)) return fail();
        write_integer(at + field.offset, *field.type, v);
    }
    return true;
}

bool set_integer(Invocation& inv, size_t position, int64_t v) {
    const EncodedType& t = inv.argument_type(position);
    void* at = inv.argument(position);
    if (t.is_integer() && t.code != 'B') {
        write_integer(at, t, v);
        return true;
    }
    if (t.is_real()) {
        write_real(at, t, static_cast<double>(v));
        return true;
    }
    if ((t.code == '@' || t.code == '^') && v == 0) return true;  // nil: the position starts zeroed
    return refuse(BAD_INTEGER);
}

bool set_argument(scheme* sc, Invocation& inv, size_t position, pointer x, ArgumentRules rules) {
    const EncodedType& t = inv.argument_type(position);
    void* at = inv.argument(position);
    if (is_objc(x)) {
        if (t.code != '@') return refuse(BAD_OBJC);
        inv.set_object(position, objc_value(x));
        return true;
    }
    if (is_cptr(x)) {
        if (t.code != '^' && (t.code != '*' || rules == ArgumentRules::make)) return refuse(BAD_CPTR);
        void* p = cptr_value(x);
        std::memcpy(at, &p, sizeof p);
        return true;
    }
    if (is_pair(x)) return structure(sc, inv, position, x, rules);
    if (is_string(x)) {
        if (t.code == '*') {
            inv.set_text(position, string_value(x));
        } else if (t.code == '@') {
            const auto length = static_cast<size_t>(x->_object._string._length);  // all of it: a NUL included
            inv.set_object(position, make_object<NSString>(std::string(string_value(x), length)).get());
        } else {
            return refuse(BAD_STRING);
        }
        return true;
    }
    if (x == sc->T || x == sc->F) {
        if (t.code != 'B' && t.code != 'c') {
            devlog("%s '%c'", BAD_BOOLEAN, t.code);
            return refuse(BAD_BOOLEAN);
        }
        const uint8_t b = x == sc->T ? 1 : 0;
        std::memcpy(at, &b, 1);
        return true;
    }
    if (is_integer(x)) return set_integer(inv, position, ivalue(x));
    if (is_number(x)) {
        if (!t.is_real()) return refuse(BAD_REAL);
        write_real(at, t, rvalue(x));
        return true;
    }
    return true;  // any other value sets nothing
}

template <class T>
T read(const void* at) {
    T v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

pointer unsigned_integer(scheme* sc, uint64_t v) {
    // Beyond the signed range an exact integer would turn negative; a real keeps the magnitude.
    return v > static_cast<uint64_t>(INT64_MAX) ? mk_real(sc, static_cast<double>(v))
                                                : mk_integer(sc, static_cast<int64_t>(v));
}

pointer structure_result(scheme* sc, const EncodedType& t, const void* result) {
    std::vector<Leaf> fields;
    if (!leaves(t, 0, fields)) return nullptr;
    SchemeListBuilder list(sc);
    const auto* at = static_cast<const std::byte*>(result);
    for (auto it = fields.rbegin(); it != fields.rend(); ++it) {
        const EncodedType& f = *it->type;
        const std::byte* p = at + it->offset;
        double v = 0;
        switch (f.code) {
        case 'f': v = read<float>(p); break;
        case 'd': v = read<double>(p); break;
        case 'c': v = read<int8_t>(p); break;
        case 's': v = read<int16_t>(p); break;
        case 'i': case 'l': v = read<int32_t>(p); break;
        case 'q': v = static_cast<double>(read<int64_t>(p)); break;
        case 'C': case 'B': v = read<uint8_t>(p); break;
        case 'S': v = read<uint16_t>(p); break;
        case 'I': case 'L': v = read<uint32_t>(p); break;
        default: v = static_cast<double>(read<uint64_t>(p)); break;
        }
        list.push_front(mk_real(sc, v));
    }
    return list.take();
}

}  // namespace

bool set_arguments(scheme* sc, Invocation& invocation, pointer values, ArgumentRules rules) {
    size_t position = 2;
    for (pointer p = values; is_pair(p); p = pair_cdr(p), ++position) {
        if (position >= invocation.argument_count()) {
            CPPBridge::notification_text("too many arguments passed. ignoring additional arguments");
            break;
        }
        if (!set_argument(sc, invocation, position, pair_car(p), rules)) return false;
    }
    return true;
}

pointer invoke_for_scheme(scheme* sc, Invocation& invocation) {
    try {
        invocation.invoke();
    } catch (const PlatformException& e) {
        CPPBridge::error_text(e.reason());
        return sc->F;
    } catch (const std::exception& e) {
        // Not the platform's kind, but a failed method all the same: the performer hears of it, the process lives.
        CPPBridge::error_text(e.what());
        return sc->F;
    }
    return result_to_scheme(sc, invocation);
}

pointer result_to_scheme(scheme* sc, Invocation& invocation) {
    const EncodedType& t = invocation.signature().result;
    const void* r = invocation.result();
    switch (t.code) {
    case 'v': return sc->T;
    case '@': return mk_objc(sc, invocation.take_result_object().release());
    case '*': {
        const char* s = read<const char*>(r);
        return s ? mk_string(sc, s) : sc->F;
    }
    case '^': return mk_cptr(sc, read<void*>(r));
    case 'B': return read<uint8_t>(r) ? sc->T : sc->F;
    case 'c': return mk_character(sc, read<unsigned char>(r));
    case 'C': return mk_integer(sc, read<uint8_t>(r));
    case 'S': return mk_integer(sc, read<uint16_t>(r));
    case 'I': case 'L': return mk_integer(sc, read<uint32_t>(r));
    case 'Q': return unsigned_integer(sc, read<uint64_t>(r));
    case 's': return mk_integer(sc, read<int16_t>(r));
    case 'i': case 'l': return mk_integer(sc, read<int32_t>(r));
    case 'q': return mk_integer(sc, read<int64_t>(r));
    case 'f': return mk_real(sc, read<float>(r));
    case 'd': return mk_real(sc, read<double>(r));
    case '{':
        if (known_structure(t, true))
            if (pointer list = structure_result(sc, t, r)) return list;
        break;
    default: break;
    }
    std::printf("unkonwn obj-c return type %s\n", t.text.c_str());
    std::fflush(stdout);
    return sc->F;
}

}  // namespace omb
