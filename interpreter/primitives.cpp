// Opcodes 51-129 and 178-182: numbers, pairs, characters, strings, vectors, predicates and list utilities.
#include <cctype>
#include <climits>
#include <cmath>
#include <vector>

#include "numbers.h"
#include "platform/dev_log.h"
#include "scheme_private.h"

namespace omb {

namespace {

pointer arg1(scheme* sc) { return car(sc->args); }
pointer arg2(scheme* sc) { return cadr(sc->args); }
const num& nv(pointer p) { return numref(p); }
double rv(pointer p) { return num_rvalue(numref(p)); }
pointer boolean(scheme* sc, bool b) { return b ? sc->T : sc->F; }

pointer division_by_zero(scheme* sc, const char* message) {
    devlog("DIV BY ZERO ERROR");
    return Error_0(sc, message);
}

pointer real_result(scheme* sc, double d) { return s_return(sc, mk_real(sc, d)); }

pointer inexact_to_exact(scheme* sc) {
    pointer x = arg1(sc);
    if (nv(x).num_type == NUM_INTEGER) return s_return(sc, x);
    double whole;
    if (std::modf(rv(x), &whole) == 0.0) return s_return(sc, mk_integer(sc, num_ivalue(nv(x))));
    return Error_1(sc, "inexact->exact: not integral:", x);
}

pointer fold(scheme* sc, num seed, num (*step)(const num&, const num&)) {
    num v = seed;
    for (pointer x = sc->args; x != sc->NIL; x = cdr(x)) v = step(v, nv(car(x)));
    return s_return(sc, mk_number(sc, v));
}

pointer subtract(scheme* sc) {
    if (cdr(sc->args) == sc->NIL) return s_return(sc, mk_number(sc, num_sub(num_zero, nv(arg1(sc)))));
    num v = nv(arg1(sc));
    for (pointer x = cdr(sc->args); x != sc->NIL; x = cdr(x)) v = num_sub(v, nv(car(x)));
    return s_return(sc, mk_number(sc, v));
}

// The division folds: one argument divides 1 by it; every divisor is checked before its step.
pointer division_fold(scheme* sc, bool (*is_zero)(const num&), num (*step)(const num&, const num&),
                      const char* zero_message) {
    num v = num_one;
    pointer x = sc->args;
    if (cdr(x) != sc->NIL) {
        v = nv(car(x));
        x = cdr(x);
    }
    for (; x != sc->NIL; x = cdr(x)) {
        if (is_zero(nv(car(x)))) return division_by_zero(sc, zero_message);
        v = step(v, nv(car(x)));
    }
    return s_return(sc, mk_number(sc, v));
}

pointer remainder_or_modulo(scheme* sc, bool modulo) {
    const num& b = nv(arg2(sc));
    if (modulo ? num_is_zero_divisor(b) : num_ivalue(b) == 0)
        return division_by_zero(sc, modulo ? "modulo: division by zero" : "remainder: division by zero");
    num r = modulo ? num_modulo(nv(arg1(sc)), b) : num_remainder(nv(arg1(sc)), b);
    return s_return(sc, mk_number(sc, r));
}

pointer set_pair_field(scheme* sc, bool set_car) {
    pointer p = arg1(sc);
    if (is_immutable_fast(p))
        return Error_0(sc, set_car ? "set-car!: unable to alter immutable pair" : "set-cdr!: unable to alter immutable pair");
    if (set_car)
        car_ref(p) = arg2(sc);
    else
        cdr_ref(p) = arg2(sc);
    return s_return(sc, p);
}

pointer atom_to_string(scheme* sc) {
    pointer x = arg1(sc);
    uint32_t t = type(x);
    if (t != T_NUMBER && t != T_CHARACTER && t != T_STRING && t != T_SYMBOL)
        return Error_1(sc, "atom->string: not an atom:", x);
    char* p;
    int len;
    atom2str(sc, x, 0, &p, &len);
    return s_return(sc, mk_counted_string(sc, p, len));
}

pointer string_to_atom(scheme* sc) {
    // The atom builder lowercases and cuts its text in place: work on a copy, never on the string itself.
    pointer s = arg1(sc);
    std::vector<char> text(strvalue(s), strvalue(s) + strlength(s));
    text.push_back(0);
    if (text[0] == '#') {
        pointer x = mk_sharp_const(sc, text.data() + 1);
        return s_return(sc, x == sc->NIL ? sc->F : x);
    }
    return s_return(sc, mk_atom(sc, text.data()));
}

// Lengths and indexes arrive as 64-bit integers; anything beyond an int is out of range everywhere.
bool fits_int(int64_t v) { return v >= 0 && v <= INT_MAX; }

pointer make_string(scheme* sc) {
    int64_t len = ivalue_unchecked(arg1(sc));
    if (!fits_int(len)) return Error_1(sc, "make-string: length too large:", arg1(sc));
    char fill = cdr(sc->args) != sc->NIL ? static_cast<char>(ivalue_unchecked(arg2(sc))) : ' ';
    return s_return(sc, mk_empty_string(sc, static_cast<int>(len), fill));
}

pointer string_ref(scheme* sc) {
    pointer s = arg1(sc);
    int64_t i = ivalue_unchecked(arg2(sc));
    if (i >= strlength(s)) return Error_1(sc, "string-ref: out of bounds:", arg2(sc));
    return s_return(sc, mk_character(sc, static_cast<unsigned char>(strvalue(s)[i])));
}

pointer string_set(scheme* sc) {
    pointer s = arg1(sc);
    if (is_immutable_fast(s)) return Error_1(sc, "string-set!: unable to alter immutable string:", s);
    int64_t i = ivalue_unchecked(arg2(sc));
    if (i >= strlength(s)) return Error_1(sc, "string-set!: out of bounds:", arg2(sc));
    strvalue(s)[i] = static_cast<char>(ivalue_unchecked(caddr(sc->args)));
    return s_return(sc, s);
}

pointer string_append(scheme* sc) {
    int64_t total = 0;
    for (pointer x = sc->args; x != sc->NIL; x = cdr(x)) total += strlength(car(x));
    if (total > INT_MAX) return Error_0(sc, "string-append: result too long");
    pointer result = mk_empty_string(sc, static_cast<int>(total), ' ');
    // Bounded by the result's own length: an allocation that failed leaves it empty.
    char* out = strvalue(result);
    int room = strlength(result);
    for (pointer x = sc->args; x != sc->NIL && room > 0; x = cdr(x)) {
        int n = std::min(room, strlength(car(x)));
        std::memcpy(out, strvalue(car(x)), static_cast<size_t>(n));
        out += n;
        room -= n;
    }
    return s_return(sc, result);
}

pointer substring(scheme* sc) {
    pointer s = arg1(sc);
    int64_t start = ivalue_unchecked(arg2(sc));
    if (start > strlength(s)) return Error_1(sc, "substring: start out of bounds:", arg2(sc));
    int64_t end = strlength(s);
    if (cddr(sc->args) != sc->NIL) {
        pointer e = caddr(sc->args);
        end = ivalue_unchecked(e);
        if (end > strlength(s) || end < start) return Error_1(sc, "substring: end out of bounds:", e);
    }
    return s_return(sc, mk_counted_string(sc, strvalue(s) + start, static_cast<int>(end - start)));
}

pointer make_vector(scheme* sc) {
    int64_t len = ivalue_unchecked(arg1(sc));
    pointer v = mk_vector(sc, fits_int(len) ? static_cast<int>(len) : MAX_VECTOR_LENGTH + 1);
    if (v != sc->F && cdr(sc->args) != sc->NIL) fill_vector(v, arg2(sc));
    return s_return(sc, v);
}

pointer vector_ref(scheme* sc) {
    pointer v = arg1(sc);
    int64_t i = ivalue_unchecked(arg2(sc));
    if (i >= ivalue_unchecked(v)) return Error_1(sc, "vector-ref: out of bounds:", arg2(sc));
    return s_return(sc, elem_of(v, static_cast<int>(i)));
}

pointer vector_set(scheme* sc) {
    pointer v = arg1(sc);
    if (is_immutable_fast(v)) return Error_1(sc, "vector-set!: unable to alter immutable vector:", v);
    int64_t i = ivalue_unchecked(arg2(sc));
    if (i >= ivalue_unchecked(v)) return Error_1(sc, "vector-set!: out of bounds:", arg2(sc));
    set_elem_of(v, static_cast<int>(i), caddr(sc->args));
    return s_return(sc, v);
}

int char_code(pointer c) { return static_cast<int>(ivalue_unchecked(c)); }

}  // namespace

pointer opexe_2(scheme* sc, int op) {
    switch (op) {
    case OP_INEXACT_TO_EXACT: return inexact_to_exact(sc);
    case OP_EXP: return real_result(sc, std::exp(rv(arg1(sc))));
    case OP_LOG: return real_result(sc, std::log(rv(arg1(sc))));
    case OP_SIN: return real_result(sc, std::sin(rv(arg1(sc))));
    case OP_COS: return real_result(sc, std::cos(rv(arg1(sc))));
    case OP_TAN: return real_result(sc, std::tan(rv(arg1(sc))));
    case OP_ASIN: return real_result(sc, std::asin(rv(arg1(sc))));
    case OP_ACOS: return real_result(sc, std::acos(rv(arg1(sc))));
    case OP_ATAN:
        if (cdr(sc->args) == sc->NIL) return real_result(sc, std::atan(rv(arg1(sc))));
        return real_result(sc, std::atan2(rv(arg1(sc)), rv(arg2(sc))));
    case OP_SQRT: return real_result(sc, std::sqrt(rv(arg1(sc))));
    case OP_EXPT:
        if (cdr(sc->args) == sc->NIL) return Error_0(sc, "expt: needs two arguments");
        return real_result(sc, std::pow(rv(arg1(sc)), rv(arg2(sc))));
    case OP_FLOOR: return real_result(sc, std::floor(rv(arg1(sc))));
    case OP_CEILING: return real_result(sc, std::ceil(rv(arg1(sc))));
    case OP_TRUNCATE: return real_result(sc, truncate_per_scheme(rv(arg1(sc))));
    case OP_ROUND: return real_result(sc, round_per_scheme(rv(arg1(sc))));
    case OP_ADD: return fold(sc, num_zero, num_add);
    case OP_SUB: return subtract(sc);
    case OP_MUL: return fold(sc, num_one, num_mul);
    case OP_DIV: return division_fold(sc, num_is_zero_divisor, num_div, "/: division by zero");
    case OP_QUOTIENT:
        return division_fold(sc, num_is_zero_integer, num_quotient, "quotient: division by zero");
    case OP_REMAINDER: return remainder_or_modulo(sc, false);
    case OP_MODULO: return remainder_or_modulo(sc, true);
    case OP_CAR: return s_return(sc, car(arg1(sc)));
    case OP_CDR: return s_return(sc, cdr(arg1(sc)));
    case OP_CONS: return s_return(sc, s_cons(sc, arg1(sc), arg2(sc)));
    case OP_SETCAR: return set_pair_field(sc, true);
    case OP_SETCDR: return set_pair_field(sc, false);
    case OP_CHAR2INT: return s_return(sc, mk_integer(sc, ivalue_unchecked(arg1(sc))));
    case OP_INT2CHAR: return s_return(sc, mk_character(sc, static_cast<int>(ivalue_unchecked(arg1(sc)) & INT_MAX)));
    case OP_CHARUPCASE: return s_return(sc, mk_character(sc, std::toupper(char_code(arg1(sc)) & 0xff)));
    case OP_CHARDOWNCASE: return s_return(sc, mk_character(sc, std::tolower(char_code(arg1(sc)) & 0xff)));
    case OP_SYM2STR: {
        pointer s = mk_string(sc, symname_fast(arg1(sc)));
        setimmutable(s);
        return s_return(sc, s);
    }
    case OP_ATOM2STR: return atom_to_string(sc);
    case OP_STR2SYM: return s_return(sc, mk_symbol(sc, strvalue(arg1(sc))));
    case OP_STR2ATOM: return string_to_atom(sc);
    case OP_MKSTRING: return make_string(sc);
    case OP_STRLEN: return s_return(sc, mk_integer(sc, strlength(arg1(sc))));
    case OP_STRREF: return string_ref(sc);
    case OP_STRSET: return string_set(sc);
    case OP_STRAPPEND: return string_append(sc);
    case OP_SUBSTR: return substring(sc);
    case OP_VECTOR: return s_return(sc, vector_from_list(sc, sc->args));
    case OP_MKVECTOR: return make_vector(sc);
    case OP_VECLEN: return s_return(sc, mk_integer(sc, ivalue_unchecked(arg1(sc))));
    case OP_VECREF: return vector_ref(sc);
    case OP_VECSET: return vector_set(sc);
    default: return illegal_operator(sc, op);
    }
}

namespace {

pointer compare(scheme* sc, bool (*cmp)(const num&, const num&)) {
    for (pointer x = sc->args; cdr(x) != sc->NIL; x = cdr(x))
        if (!cmp(nv(car(x)), nv(cadr(x)))) return s_return(sc, sc->F);
    return s_return(sc, sc->T);
}

// The C classification functions are defined for bytes only.
pointer char_class(scheme* sc, int (*cls)(int)) {
    int c = char_code(arg1(sc));
    return s_return(sc, boolean(sc, c >= 0 && c <= 255 && cls(c)));
}

bool is_port_with(pointer p, int bit) { return type(p) == T_PORT && (portvalue(p)->kind & bit); }

}  // namespace

pointer opexe_3(scheme* sc, int op) {
    pointer x = arg1(sc);
    switch (op) {
    case OP_NOT: return s_return(sc, boolean(sc, x == sc->F));
    case OP_BOOLP: return s_return(sc, boolean(sc, x == sc->F || x == sc->T));
    case OP_EOFOBJP: return s_return(sc, boolean(sc, x == sc->EOF_OBJ));
    case OP_NULLP: return s_return(sc, boolean(sc, x == sc->NIL));
    case OP_NUMEQ: return compare(sc, num_eq);
    case OP_LESS: return compare(sc, num_lt);
    case OP_GREATER: return compare(sc, num_gt);
    case OP_LEQ: return compare(sc, num_le);
    case OP_GEQ: return compare(sc, num_ge);
    case OP_SYMBOLP: return s_return(sc, boolean(sc, type(x) == T_SYMBOL));
    case OP_NUMBERP: return s_return(sc, boolean(sc, type(x) == T_NUMBER));
    case OP_STRINGP: return s_return(sc, boolean(sc, type(x) == T_STRING));
    case OP_INTEGERP: return s_return(sc, boolean(sc, type(x) == T_NUMBER && nv(x).num_type == NUM_INTEGER));
    case OP_REALP: return s_return(sc, boolean(sc, type(x) == T_NUMBER));
    case OP_RATIONALP: return s_return(sc, boolean(sc, type(x) == T_NUMBER && nv(x).num_type == NUM_RATIONAL));
    case OP_CHARP: return s_return(sc, boolean(sc, type(x) == T_CHARACTER));
    case OP_CHAR_ALPHAP: return char_class(sc, isalpha);
    case OP_CHAR_NUMERICP: return char_class(sc, isdigit);
    case OP_CHAR_WHITESPACEP: return char_class(sc, isspace);
    case OP_CHAR_UPPERP: return char_class(sc, isupper);
    case OP_CHAR_LOWERP: return char_class(sc, islower);
    case OP_PORTP: return s_return(sc, boolean(sc, type(x) == T_PORT));
    case OP_INPORTP: return s_return(sc, boolean(sc, is_port_with(x, port_input)));
    case OP_OUTPORTP: return s_return(sc, boolean(sc, is_port_with(x, port_output)));
    case OP_PROCP: {
        uint32_t t = type(x);
        return s_return(sc, boolean(sc, t == T_PROC || t == T_CLOSURE || t == T_CONTINUATION || t == T_FOREIGN));
    }
    case OP_PAIRP: return s_return(sc, boolean(sc, type(x) == T_PAIR));
    case OP_LISTP: return s_return(sc, boolean(sc, list_length(sc, x) >= 0));
    case OP_ENVP: return s_return(sc, boolean(sc, type(x) == T_ENVIRONMENT));
    case OP_VECTORP: return s_return(sc, boolean(sc, type(x) == T_VECTOR));
    case OP_CPTRP: return s_return(sc, boolean(sc, type(x) == T_CPTR));
    case OP_OBJCP: return s_return(sc, boolean(sc, type(x) == T_OBJC));
    case OP_EQ: return s_return(sc, boolean(sc, x == arg2(sc)));
    case OP_EQV: return s_return(sc, boolean(sc, eqv(x, arg2(sc))));
    default: return illegal_operator(sc, op);
    }
}

pointer opexe_6(scheme* sc, int op) {
    pointer x = arg1(sc);
    switch (op) {
    case OP_LIST_LENGTH: {
        int n = list_length(sc, x);
        if (n < 0) return Error_1(sc, "length: not a list:", x);
        return s_return(sc, mk_integer(sc, n));
    }
    case OP_ASSQ:
        for (pointer y = arg2(sc); is_pair_fast(y); y = cdr(y)) {
            if (!is_pair_fast(car(y))) return Error_0(sc, "unable to handle non pair element");
            if (x == caar(y)) return s_return(sc, car(y));
        }
        return s_return(sc, sc->F);
    case OP_GET_CLOSURE:
        if (type(x) != T_CLOSURE && type(x) != T_MACRO) return s_return(sc, sc->F);
        return s_return(sc, s_cons(sc, sc->sym_lambda, closure_code(x)));
    case OP_CLOSUREP: return s_return(sc, boolean(sc, type(x) == T_CLOSURE));
    case OP_MACROP: return s_return(sc, boolean(sc, type(x) == T_MACRO));
    default: return illegal_operator(sc, op);
    }
}

}  // namespace omb
