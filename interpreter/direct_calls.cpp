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

pointer not_direct(pointer call) {
    call->_flag |= CALL_NOT_DIRECT;
    return nullptr;
}

// The primitive a call's head names, when it is one done here; else -1.
int direct_op(scheme* sc, pointer call) {
    pointer head = car(call);
    if (!is_symbol_fast(head) || (head->_flag & T_SYNTAX)) return not_direct(call), -1;
    pointer slot = lookup_slot(sc, sc->envir, head);
    if (slot == sc->NIL) return -1;  // perhaps defined later
    if (type(cdr(slot)) != T_PROC || DIRECT_KINDS[procnum(cdr(slot))].arity == 0) return not_direct(call), -1;
    return static_cast<int>(procnum(cdr(slot)));
}

bool apply_direct(scheme* sc, int op, pointer operands, int depth, value& out);

// The value of an operand, if it can be had here.
bool operand_value(scheme* sc, pointer x, int depth, value& out) {
    if (is_symbol_fast(x)) {
        pointer slot = lookup_slot(sc, sc->envir, x);
        if (slot == sc->NIL) return false;
        out = {cdr(slot), false};
        return true;
    }
    if (!is_pair_fast(x)) {
        out = {x, false};
        return true;
    }
    if (car(x) == sc->sym_quote && is_pair_fast(cdr(x)) && cddr(x) == sc->NIL) {
        out = {cadr(x), false};
        return true;
    }
    if (depth >= NESTING || sc->tracing || marked_not_direct(x)) return false;
    const int op = direct_op(sc, x);
    if (op >= 0 && apply_direct(sc, op, cdr(x), depth + 1, out)) return true;
    sc->not_direct = x;
    return false;
}

// `op` on `operands`, when every operand and the result can be had here without a fresh value outliving an
// allocation that could collect it.
bool apply_direct(scheme* sc, int op, pointer operands, int depth, value& out) {
    const direct_kind kind = DIRECT_KINDS[op];
    const int n = kind.arity;
    if (n == 0 || !is_pair_fast(operands)) return false;
    value a, b;
    if (!operand_value(sc, car(operands), depth, a)) return false;
    if (n == 1) {
        if (cdr(operands) != sc->NIL || (a.fresh && kind.allocates)) return false;
        pointer r = unary(sc, op, a.cell);
        out = {r, a.fresh || kind.allocates};
        return r != nullptr;
    }
    pointer rest = cdr(operands);
    if (!is_pair_fast(rest) || cdr(rest) != sc->NIL) return false;
    if (!operand_value(sc, car(rest), depth, b)) return false;
    if (a.fresh && (b.fresh || kind.allocates)) return false;  // a may have been collected: the general way
    if (b.fresh && kind.allocates) return false;
    pointer r = binary(sc, op, a.cell, b.cell);
    out = {r, a.fresh || b.fresh || kind.allocates};
    return r != nullptr;
}

// (vector-set! v i x) on plain operands: the vector itself is the result, as the general way gives.
pointer vector_set(scheme* sc, pointer operands) {
    if (!is_pair_fast(operands) || !is_pair_fast(cdr(operands)) || !is_pair_fast(cddr(operands)) ||
        cdddr(operands) != sc->NIL)
        return nullptr;
    value v, i, x;
    if (!operand_value(sc, car(operands), NESTING, v) || !operand_value(sc, cadr(operands), NESTING, i) ||
        !operand_value(sc, caddr(operands), NESTING, x))
        return nullptr;
    if (type(v.cell) != T_VECTOR || is_immutable_fast(v.cell) || !is_integer_cell(i.cell)) return nullptr;
    if (ivalue_unchecked(i.cell) < 0 || ivalue_unchecked(i.cell) >= ivalue_unchecked(v.cell)) return nullptr;
    set_elem_of(v.cell, static_cast<int>(ivalue_unchecked(i.cell)), x.cell);
    return s_return(sc, v.cell);
}

}  // namespace

bool quick_value(scheme* sc, pointer x, pointer* out) {
    value v;
    if (sc->tracing || !operand_value(sc, x, 0, v)) return false;
    *out = v.cell;
    return true;
}

bool direct_value(scheme* sc, pointer call, pointer* out) {
    if (sc->tracing || !is_pair_fast(call) || call == sc->not_direct || marked_not_direct(call)) return false;
    const int op = direct_op(sc, call);
    value v;
    if (op < 0 || !apply_direct(sc, op, cdr(call), 1, v)) return false;
    *out = v.cell;
    return true;
}

pointer try_direct_call(scheme* sc) {
    const int op = procnum(sc->value);
    if (op == OP_VECSET) return vector_set(sc, sc->code);
    if (op < 0 || op >= OP_MAXDEFINED) return nullptr;
    value result;
    if (!apply_direct(sc, op, sc->code, 0, result)) return nullptr;
    return s_return(sc, result.cell);
}

}  // namespace omb
