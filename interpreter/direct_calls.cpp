// The commonest primitives called on plain operands (constants, quoted data, bound names, and such calls nested a
// few deep) give their result here, without an argument list, its checks and a dispatch. Only the cases whose
// answer is certain are done here: exact integers, pairs, indexes in range. Anything else (a real, a rational, a
// wrong type, an unbound name, an index out of bounds) goes the general way, which evaluates the call again from the
// start (nothing here has an effect but vector-set!'s, done last) and gives the same results and every error message.
#include <array>

#include "numbers.h"
#include "scheme_private.h"

namespace omb {

namespace {

constexpr int NESTING = 3;  // calls nested inside a call's operands that are still done here

// A value made here is held by nothing until the call returns: while one exists, nothing may allocate.
struct value {
    pointer cell = nullptr;
    bool fresh = false;
};

bool is_integer_cell(pointer p) { return type(p) == T_NUMBER && numref(p).num_type == NUM_INTEGER; }

constexpr bool allocates(int op) {
    switch (op) {
    case OP_ADD: case OP_SUB: case OP_MUL: case OP_QUOTIENT: case OP_REMAINDER: case OP_MODULO: case OP_CONS:
    case OP_VECLEN: case OP_STRLEN: case OP_CHAR2INT: return true;
    default: return false;
    }
}

constexpr int arity(int op) {
    switch (op) {
    case OP_CAR: case OP_CDR: case OP_NULLP: case OP_PAIRP: case OP_NOT: case OP_VECLEN: case OP_STRLEN:
    case OP_CHAR2INT: return 1;
    case OP_ADD: case OP_SUB: case OP_MUL: case OP_QUOTIENT: case OP_REMAINDER: case OP_MODULO: case OP_NUMEQ:
    case OP_LESS: case OP_GREATER: case OP_LEQ: case OP_GEQ: case OP_EQ: case OP_CONS: case OP_VECREF:
    case OP_STRREF: return 2;
    default: return 0;
    }
}

// Both looked up at once for each primitive: the switches above cost more than the calls they shortcut.
struct direct_kind {
    uint8_t arity = 0;
    bool allocates = false;
};
constexpr auto DIRECT_KINDS = [] {
    std::array<direct_kind, OP_MAXDEFINED> kinds{};
    for (int op = 0; op < OP_MAXDEFINED; ++op) kinds[op] = {static_cast<uint8_t>(arity(op)), allocates(op)};
    return kinds;
}();

pointer integer(scheme* sc, int64_t i) { return mk_integer(sc, i); }
pointer truth(scheme* sc, bool b) { return b ? sc->T : sc->F; }

pointer unary(scheme* sc, int op, pointer a) {
    switch (op) {
    case OP_CAR: return is_pair_fast(a) ? car(a) : nullptr;
    case OP_CDR: return is_pair_fast(a) ? cdr(a) : nullptr;
    case OP_NULLP: return truth(sc, a == sc->NIL);
    case OP_PAIRP: return truth(sc, is_pair_fast(a));
    case OP_NOT: return truth(sc, a == sc->F);
    case OP_VECLEN: return type(a) == T_VECTOR ? integer(sc, ivalue_unchecked(a)) : nullptr;
    case OP_STRLEN: return type(a) == T_STRING ? integer(sc, strlength(a)) : nullptr;
    case OP_CHAR2INT: return type(a) == T_CHARACTER ? integer(sc, ivalue_unchecked(a)) : nullptr;
    default: return nullptr;
    }
}

pointer on_integers(scheme* sc, int op, int64_t a, int64_t b) {
    switch (op) {
    case OP_ADD: return integer(sc, wadd(a, b));
    case OP_SUB: return integer(sc, wsub(a, b));
    case OP_MUL: return integer(sc, wmul(a, b));
    case OP_NUMEQ: return truth(sc, a == b);
    case OP_LESS: return truth(sc, a < b);
    case OP_GREATER: return truth(sc, a > b);
    case OP_LEQ: return truth(sc, a <= b);
    case OP_GEQ: return truth(sc, a >= b);
    default: break;
    }
    if (b == 0) return nullptr;  // division by zero is reported: the general way
    switch (op) {
    case OP_QUOTIENT: return integer(sc, wdiv(a, b));
    case OP_REMAINDER: return integer(sc, wrem(a, b));
    case OP_MODULO: return integer(sc, wmodulo(a, b));
    default: return nullptr;
    }
}

pointer binary(scheme* sc, int op, pointer a, pointer b) {
    switch (op) {
    case OP_EQ: return truth(sc, a == b);
    case OP_CONS: return cons_fast(sc, a, b);
    case OP_VECREF:
        if (type(a) != T_VECTOR || !is_integer_cell(b)) return nullptr;
        if (ivalue_unchecked(b) < 0 || ivalue_unchecked(b) >= ivalue_unchecked(a)) return nullptr;
        return elem_of(a, static_cast<int>(ivalue_unchecked(b)));
    case OP_STRREF:
        if (type(a) != T_STRING || !is_integer_cell(b)) return nullptr;
        if (ivalue_unchecked(b) < 0 || ivalue_unchecked(b) >= strlength(a)) return nullptr;
        return mk_character(sc, static_cast<unsigned char>(strvalue(a)[ivalue_unchecked(b)]));  // shared
    default:
        if (!is_integer_cell(a) || !is_integer_cell(b)) return nullptr;
        return on_integers(sc, op, ivalue_unchecked(a), ivalue_unchecked(b));
    }
}

// A call is marked never to be tried here again once its head has named something not done here: a closure, a
// special form, another primitive. Only a hint: should the name be rebound, the call still goes the general way.
bool marked_not_direct(pointer call) { return call->_flag & CALL_NOT_DIRECT; }

value not_direct(pointer call) {
    call->_flag |= CALL_NOT_DIRECT;
    return {};
}

value apply_direct(scheme* sc, int op, pointer operands, int depth);

// The value of a call whose head names a primitive done here.
value call_value(scheme* sc, pointer call, int depth) {
    pointer head = car(call);
    if (!is_symbol_fast(head) || (head->_flag & T_SYNTAX)) return not_direct(call);
    pointer slot = lookup_slot(sc, sc->envir, head);
    if (slot == sc->NIL) return {};  // perhaps defined later
    pointer f = cdr(slot);
    if (type(f) != T_PROC || procnum(f) >= OP_MAXDEFINED || DIRECT_KINDS[procnum(f)].arity == 0)
        return not_direct(call);
    return apply_direct(sc, procnum(f), cdr(call), depth);
}

// The value of an operand, if it can be had here.
inline value operand_value(scheme* sc, pointer x, int depth) {
    if (is_symbol_fast(x)) {
        pointer slot = lookup_slot(sc, sc->envir, x);
        return {slot == sc->NIL ? nullptr : cdr(slot), false};
    }
    if (!is_pair_fast(x)) return {x, false};
    if (car(x) == sc->sym_quote) return is_pair_fast(cdr(x)) && cddr(x) == sc->NIL ? value{cadr(x), false} : value{};
    if (depth >= NESTING || marked_not_direct(x)) return {};
    const value v = call_value(sc, x, depth + 1);
    if (!v.cell) sc->not_direct = x;
    return v;
}

// `op` on `operands`, when every operand and the result can be had here without a fresh value outliving an
// allocation that could collect it.
value apply_direct(scheme* sc, int op, pointer operands, int depth) {
    const direct_kind kind = DIRECT_KINDS[op];
    if (!is_pair_fast(operands)) return {};
    const value a = operand_value(sc, car(operands), depth);
    if (!a.cell) return {};
    pointer rest = cdr(operands);
    if (kind.arity == 1) {
        if (rest != sc->NIL || (a.fresh && kind.allocates)) return {};
        return {unary(sc, op, a.cell), a.fresh || kind.allocates};
    }
    if (!is_pair_fast(rest) || cdr(rest) != sc->NIL) return {};
    const value b = operand_value(sc, car(rest), depth);
    if (!b.cell) return {};
    if ((a.fresh || b.fresh) && (kind.allocates || (a.fresh && b.fresh))) return {};  // a fresh one may be collected
    return {binary(sc, op, a.cell, b.cell), a.fresh || b.fresh || kind.allocates};
}

// (vector-set! v i x) on plain operands: the vector itself is the result, as the general way gives.
pointer vector_set(scheme* sc, pointer operands) {
    if (!is_pair_fast(operands) || !is_pair_fast(cdr(operands)) || !is_pair_fast(cddr(operands)) ||
        cdddr(operands) != sc->NIL)
        return nullptr;
    const value v = operand_value(sc, car(operands), NESTING), i = operand_value(sc, cadr(operands), NESTING),
                x = operand_value(sc, caddr(operands), NESTING);
    if (!v.cell || !i.cell || !x.cell) return nullptr;
    if (type(v.cell) != T_VECTOR || is_immutable_fast(v.cell) || !is_integer_cell(i.cell)) return nullptr;
    if (ivalue_unchecked(i.cell) < 0 || ivalue_unchecked(i.cell) >= ivalue_unchecked(v.cell)) return nullptr;
    set_elem_of(v.cell, static_cast<int>(ivalue_unchecked(i.cell)), x.cell);
    return s_return(sc, v.cell);
}

}  // namespace

bool quick_value(scheme* sc, pointer x, pointer* out) {
    if (sc->tracing) return false;
    *out = operand_value(sc, x, 0).cell;
    return *out != nullptr;
}

bool direct_value(scheme* sc, pointer call, pointer* out) {
    if (sc->tracing || !is_pair_fast(call) || call == sc->not_direct || marked_not_direct(call)) return false;
    *out = call_value(sc, call, 1).cell;
    return *out != nullptr;
}

pointer try_direct_call(scheme* sc) {
    const int op = procnum(sc->value);
    if (op == OP_VECSET) return vector_set(sc, sc->code);
    if (op < 0 || op >= OP_MAXDEFINED || DIRECT_KINDS[op].arity == 0) return nullptr;
    const value result = apply_direct(sc, op, sc->code, 0);
    return result.cell ? s_return(sc, result.cell) : nullptr;
}

}  // namespace omb
