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

pointer unary(scheme* sc, int op, pointer a) {
    switch (op) {
    case OP_CAR: return is_pair_fast(a) ? s_return(sc, car(a)) : nullptr;
    case OP_CDR: return is_pair_fast(a) ? s_return(sc, cdr(a)) : nullptr;
    case OP_NULLP: return truth(sc, a == sc->NIL);
    case OP_PAIRP: return truth(sc, is_pair_fast(a));
    case OP_NOT: return truth(sc, a == sc->F);
    default: return nullptr;
    }
}

pointer on_integers(scheme* sc, int op, int64_t a, int64_t b) {
    switch (op) {
    case OP_ADD: return s_return(sc, mk_integer(sc, wrapped_add(a, b)));
    case OP_SUB: return s_return(sc, mk_integer(sc, wrapped_sub(a, b)));
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

}  // namespace

pointer try_direct_call(scheme* sc) {
    pointer operands = sc->code;
    if (!is_pair_fast(operands)) return nullptr;
    const int op = procnum(sc->value);
    pointer a, b;
    if (cdr(operands) == sc->NIL) {
        if (op != OP_CAR && op != OP_CDR && op != OP_NULLP && op != OP_PAIRP && op != OP_NOT) return nullptr;
        return plain_value(sc, car(operands), &a) ? unary(sc, op, a) : nullptr;
    }
    if (!is_pair_fast(cdr(operands)) || cddr(operands) != sc->NIL) return nullptr;
    switch (op) {
    case OP_ADD: case OP_SUB: case OP_NUMEQ: case OP_LESS: case OP_GREATER: case OP_LEQ: case OP_GEQ:
    case OP_EQ: case OP_CONS: case OP_VECREF: case OP_STRREF: break;
    default: return nullptr;
    }
    if (!plain_value(sc, car(operands), &a) || !plain_value(sc, cadr(operands), &b)) return nullptr;
    return binary(sc, op, a, b);
}

}  // namespace omb
