// The commonest primitives called on one or two plain arguments (constants and bound names) give their result
// here, without an argument list, its checks and a dispatch. Only the cases whose answer is certain are done here:
// exact integers, pairs, indexes in range. Anything else (a real, a rational, a wrong type, an unbound name, an
// index out of bounds) goes the general way, which gives the same results and every error message.
#include "scheme_private.h"

namespace omb {

namespace {

// A constant or the value of a bound name; false for anything that needs an evaluation of its own or an error.
bool plain_value(scheme* sc, pointer x, pointer* out) {
    if (is_symbol_fast(x)) {
        pointer slot = find_slot_in_env(sc, sc->envir, x, 1);
        if (slot == sc->NIL) return false;
        *out = cdr(slot);
        return true;
    }
    if (is_pair_fast(x)) return false;
    *out = x;
    return true;
}

bool is_integer_cell(pointer p) { return type(p) == T_NUMBER && numref(p).num_type == NUM_INTEGER; }

pointer truth(scheme* sc, bool b) { return s_return(sc, b ? sc->T : sc->F); }

// Integer arithmetic wraps like the machine's, as the general path's does.
int64_t wrapped_add(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
int64_t wrapped_sub(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
int64_t wrapped_mul(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}

pointer unary(scheme* sc, int op, pointer a) {
    switch (op) {
    case OP_CAR: return is_pair_fast(a) ? s_return(sc, car(a)) : nullptr;
    case OP_CDR: return is_pair_fast(a) ? s_return(sc, cdr(a)) : nullptr;
    case OP_NULLP: return truth(sc, a == sc->NIL);
    case OP_PAIRP: return truth(sc, is_pair_fast(a));
    case OP_NOT: return truth(sc, a == sc->F);
    case OP_VECLEN: return type(a) == T_VECTOR ? s_return(sc, mk_integer(sc, ivalue_unchecked(a))) : nullptr;
    case OP_STRLEN: return type(a) == T_STRING ? s_return(sc, mk_integer(sc, strlength(a))) : nullptr;
    case OP_CHAR2INT: return type(a) == T_CHARACTER ? s_return(sc, mk_integer(sc, ivalue_unchecked(a))) : nullptr;
    default: return nullptr;
    }
}

pointer on_integers(scheme* sc, int op, int64_t a, int64_t b) {
    switch (op) {
    case OP_ADD: return s_return(sc, mk_integer(sc, wrapped_add(a, b)));
    case OP_SUB: return s_return(sc, mk_integer(sc, wrapped_sub(a, b)));
    case OP_MUL: return s_return(sc, mk_integer(sc, wrapped_mul(a, b)));
    default: break;
    }
    if (b == 0 || b == -1) return nullptr;  // division by zero is reported, and -1 may overflow: the general way
    switch (op) {
    case OP_QUOTIENT: return s_return(sc, mk_integer(sc, a / b));
    case OP_REMAINDER: return s_return(sc, mk_integer(sc, a % b));
    case OP_MODULO: {
        const int64_t r = a % b;
        return s_return(sc, mk_integer(sc, (r < 0 && b > 0) || (r > 0 && b < 0) ? r + b : r));
    }
    case OP_NUMEQ: return truth(sc, a == b);
    case OP_LESS: return truth(sc, a < b);
    case OP_GREATER: return truth(sc, a > b);
    case OP_LEQ: return truth(sc, a <= b);
    case OP_GEQ: return truth(sc, a >= b);
    default: return nullptr;
    }
}

pointer binary(scheme* sc, int op, pointer a, pointer b) {
    switch (op) {
    case OP_EQ: return truth(sc, a == b);
    case OP_CONS: return s_return(sc, cons_fast(sc, a, b));  // a and b are rooted where they were found
    case OP_VECREF:
        if (type(a) != T_VECTOR || !is_integer_cell(b)) return nullptr;
        if (ivalue_unchecked(b) < 0 || ivalue_unchecked(b) >= ivalue_unchecked(a)) return nullptr;
        return s_return(sc, elem_of(a, static_cast<int>(ivalue_unchecked(b))));
    case OP_STRREF:
        if (type(a) != T_STRING || !is_integer_cell(b)) return nullptr;
        if (ivalue_unchecked(b) < 0 || ivalue_unchecked(b) >= strlength(a)) return nullptr;
        return s_return(sc, mk_character(sc, static_cast<unsigned char>(strvalue(a)[ivalue_unchecked(b)])));
    default:
        if (!is_integer_cell(a) || !is_integer_cell(b)) return nullptr;
        return on_integers(sc, op, ivalue_unchecked(a), ivalue_unchecked(b));
    }
}

// (vector-set! v i x): the vector itself as the result, as the general way gives.
pointer vector_set(scheme* sc, pointer operands) {
    if (!is_pair_fast(cddr(operands)) || cdddr(operands) != sc->NIL) return nullptr;
    pointer v, i, x;
    if (!plain_value(sc, car(operands), &v) || !plain_value(sc, cadr(operands), &i) ||
        !plain_value(sc, caddr(operands), &x))
        return nullptr;
    if (type(v) != T_VECTOR || is_immutable_fast(v) || !is_integer_cell(i)) return nullptr;
    if (ivalue_unchecked(i) < 0 || ivalue_unchecked(i) >= ivalue_unchecked(v)) return nullptr;
    set_elem_of(v, static_cast<int>(ivalue_unchecked(i)), x);
    return s_return(sc, v);
}

}  // namespace

pointer try_direct_call(scheme* sc) {
    pointer operands = sc->code;
    if (!is_pair_fast(operands)) return nullptr;
    const int op = procnum(sc->value);
    pointer a, b;
    if (cdr(operands) == sc->NIL) {
        switch (op) {
        case OP_CAR: case OP_CDR: case OP_NULLP: case OP_PAIRP: case OP_NOT: case OP_VECLEN: case OP_STRLEN:
        case OP_CHAR2INT: break;
        default: return nullptr;
        }
        return plain_value(sc, car(operands), &a) ? unary(sc, op, a) : nullptr;
    }
    if (!is_pair_fast(cdr(operands))) return nullptr;
    if (cddr(operands) != sc->NIL) return op == OP_VECSET ? vector_set(sc, operands) : nullptr;
    switch (op) {
    case OP_ADD: case OP_SUB: case OP_MUL: case OP_QUOTIENT: case OP_REMAINDER: case OP_MODULO: case OP_NUMEQ:
    case OP_LESS: case OP_GREATER: case OP_LEQ: case OP_GEQ: case OP_EQ: case OP_CONS: case OP_VECREF:
    case OP_STRREF: break;
    default: return nullptr;
    }
    if (!plain_value(sc, car(operands), &a) || !plain_value(sc, cadr(operands), &b)) return nullptr;
    return binary(sc, op, a, b);
}

}  // namespace omb
