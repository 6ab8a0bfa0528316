// Opcodes 0-50: the top level, evaluation, application, the special forms, eval, apply and continuations.
#include <sstream>

#include "interpreter/cell_renderer.h"
#include "numbers.h"
#include "scheme_private.h"

namespace omb {

namespace {

// ---- continuations ---------------------------------------------------------------------------------------------

// A fresh copy of a list's spine (an improper tail is kept), so in-place reversal of the running argument list
// never reaches a copy a continuation holds.
pointer copy_spine(scheme* sc, pointer list) {
    sc->copy_scratch_b = sc->NIL;
    pointer p = list;
    for (; is_pair_fast(p); p = cdr(p)) sc->copy_scratch_b = cons_fast(sc, car(p), sc->copy_scratch_b);
    pointer copy = reverse_in_place(sc, p, sc->copy_scratch_b);
    sc->copy_scratch_b = sc->NIL;
    return copy;
}

// The dump as cells, newest frame first, four cells a frame: opcode, args, envir, code.
pointer frames_to_list(scheme* sc, bool fresh_args) {
    sc->copy_scratch_a = sc->NIL;
    for (int i = 0; i < sc->dump_size; ++i) {
        const dump_frame& f = sc->dump_base[i];
        sc->copy_scratch_a = cons_fast(sc, f.code, sc->copy_scratch_a);
        sc->copy_scratch_a = cons_fast(sc, f.envir, sc->copy_scratch_a);
        pointer a = fresh_args ? copy_spine(sc, f.args) : f.args;
        sc->copy_scratch_a = cons_fast(sc, a, sc->copy_scratch_a);
        sc->copy_scratch_a = cons_fast(sc, mk_integer(sc, f.op), sc->copy_scratch_a);
    }
    pointer list = sc->copy_scratch_a;
    sc->copy_scratch_a = sc->NIL;
    return list;
}

}  // namespace

pointer dump_as_list(scheme* sc) { return frames_to_list(sc, false); }

pointer mk_continuation(scheme* sc) {
    // Its frames will come back with their environments: none of those may be taken over by a tail call.
    capture_env(sc->envir);
    for (int i = 0; i < sc->dump_size; ++i) capture_env(sc->dump_base[i].envir);
    pointer frames = frames_to_list(sc, true);
    pointer x = get_cell(sc, sc->NIL, frames);
    if (x == sc->sink) return x;
    x->_flag = T_CONTINUATION;
    car_ref(x) = sc->NIL;
    cdr_ref(x) = frames;
    return x;
}

void restore_continuation(scheme* sc, pointer cont) {
    pointer frames = cdr(cont);
    int n = 0;
    for (pointer p = frames; is_pair_fast(p); p = cdr(p)) ++n;
    n /= 4;
    if (!dump_reserve(sc, n)) {
        sc->no_memory = 1;
        return;
    }
    // Every slot is valid before any allocation, so a collection while copying sees only live cells.
    for (int i = 0; i < n; ++i) sc->dump_base[i] = dump_frame{0, sc->NIL, sc->NIL, sc->NIL};
    sc->dump_size = n;
    pointer p = frames;
    for (int i = n - 1; i >= 0; --i) {
        dump_frame& f = sc->dump_base[i];
        f.op = procnum(car(p));
        p = cdr(p);
        f.args = copy_spine(sc, car(p));
        p = cdr(p);
        f.envir = car(p);
        p = cdr(p);
        f.code = car(p);
        p = cdr(p);
    }
}

bool eqv(pointer a, pointer b) {
    if (a == b) return true;
    uint32_t t = type(a);
    if (t != type(b)) return false;
    switch (t) {
    case T_STRING: return strvalue(a) == strvalue(b);
    case T_NUMBER: return num_eq(numref(a), numref(b));
    case T_CHARACTER: return ivalue_unchecked(a) == ivalue_unchecked(b);
    case T_PROC: return procnum(a) == procnum(b);
    default: return false;
    }
}

namespace {

pointer form_error(scheme* sc, const char* message, pointer irritant) { return Error_1(sc, message, irritant); }

}  // namespace

// The opcode of a special form, from its name's length and one character.
int syntaxnum(pointer p) {
    const char* s = symname_fast(p);
    switch (std::strlen(s)) {
    case 2: return s[0] == 'i' ? OP_IF0 : OP_OR0;
    case 3: return s[0] == 'a' ? OP_AND0 : OP_LET0;
    case 4:
        switch (s[3]) {
        case 'd': return OP_COND0;
        case 'e': return OP_CASE0;
        case '*': return OP_LETSTAR0;
        default: return OP_SET0;
        }
    case 5:
        switch (s[2]) {
        case 'g': return OP_BEGIN;
        case 'l': return OP_DELAY;
        case 'c': return OP_MACRO0;
        default: return OP_QUOTE;
        }
    case 6:
        switch (s[2]) {
        case 'f': return OP_DEFINE0;
        case 'm': return OP_LAMBDA;
        default: return OP_LETREC0;
        }
    default: return OP_CONS_STREAM0;
    }
}

namespace {

// A binding of let, let* or letrec is (name init) or (name); anything else would be read past its end.
bool good_binding(scheme* sc, pointer b) {
    return is_pair_fast(b) && (is_pair_fast(cdr(b)) || cdr(b) == sc->NIL);
}

pointer bad_binding(scheme* sc, const char* form, pointer b) {
    char msg[64];
    std::snprintf(msg, sizeof msg, "syntax error in %s: bad binding:", form);
    return form_error(sc, msg, b);
}

pointer eval_symbol(scheme* sc) {
    pointer x = lookup_slot(sc, sc->envir, sc->code);
    if (x != sc->NIL) return s_return(sc, cdr(x));
    return Error_1(sc, "eval: unbound variable:", sc->code);
}

pointer eval_args(scheme* sc);

// The operator's value is in `value` and the call in `code`: a macro expands, anything else has its arguments
// evaluated.
pointer eval_operator(scheme* sc) {
    if (type(sc->value) == T_MACRO) {
        s_save(sc, OP_DOMACRO, sc->NIL, sc->NIL);
        sc->args = cons_fast(sc, sc->code, sc->NIL);
        sc->code = sc->value;
        return s_goto(sc, OP_APPLY);
    }
    sc->code = cdr(sc->code);
    if (!sc->tracing && type(sc->value) == T_PROC)
        if (pointer done = try_direct_call(sc)) return done;
    return eval_args(sc);
}

pointer real_eval(scheme* sc);

// Evaluates `code` in this step rather than the next. Only where nothing calls back here, so the C stack stays
// a few calls deep: a call's body starts in a step of its own.
pointer eval_here(scheme* sc) { return sc->tracing ? s_goto(sc, OP_EVAL) : real_eval(sc); }

// Evaluates `code` in this step where that may call back here (a nested argument, a test): the depth is bounded,
// and beyond it the evaluation takes the next step as always.
pointer eval_nested(scheme* sc) {
    if (sc->tracing || sc->eval_nesting >= 16) return s_goto(sc, OP_EVAL);
    struct nesting {
        int& depth;
        explicit nesting(int& d) : depth(d) { ++depth; }
        ~nesting() { --depth; }  // a native function's exception passes through here too
    } inside(sc->eval_nesting);
    return real_eval(sc);
}

pointer real_eval(scheme* sc) {
    pointer code = sc->code;
    if (is_symbol_fast(code)) return eval_symbol(sc);
    if (!is_pair_fast(code)) return s_return(sc, code);
    pointer head = car(code);
    if (type(head) == T_SYMBOL && (head->_flag & T_SYNTAX)) {
        // Special forms are proper lists; checking here lets each form take its parts apart safely.
        if (list_length(sc, code) < 0) return form_error(sc, "syntax error: improper special form:", code);
        sc->code = cdr(code);
        return s_goto(sc, OP_LAMBDA + static_cast<int>((head->_flag & SYNTAX_OP_BITS) >> SYNTAX_OP_SHIFT));
    }
    // A bound symbol as operator is looked up here rather than through a frame and two more steps; anything
    // else (and an unbound name, so that its error unfolds as always) takes the general road.
    if (!sc->tracing && is_symbol_fast(head)) {
        pointer slot = lookup_slot(sc, sc->envir, head);
        if (slot != sc->NIL) {
            sc->value = cdr(slot);
            sc->args = sc->NIL;
            return eval_operator(sc);
        }
    }
    s_save(sc, OP_EVAL_OPERATOR, sc->NIL, code);
    sc->code = head;
    return s_goto(sc, OP_EVAL);
}

// Arguments that are constants, quoted data, bound symbols or direct calls are evaluated in place: no frame, no
// extra steps.
void eval_simple_args(scheme* sc) {
    if (sc->tracing) return;
    while (is_pair_fast(sc->code)) {
        pointer x = car(sc->code);
        if (is_symbol_fast(x)) {
            pointer slot = lookup_slot(sc, sc->envir, x);
            if (slot == sc->NIL) return;
            sc->args = cons_fast(sc, cdr(slot), sc->args);
        } else if (!is_pair_fast(x)) {
            sc->args = cons_fast(sc, x, sc->args);
        } else if (car(x) == sc->sym_quote && is_pair_fast(cdr(x)) && cddr(x) == sc->NIL) {
            sc->args = cons_fast(sc, cadr(x), sc->args);
        } else if (pointer v = nullptr; direct_value(sc, x, &v)) {
            sc->args = cons_fast(sc, v, sc->args);  // the allocation holds v while it may collect
        } else {
            return;
        }
        sc->code = cdr(sc->code);
    }
}

pointer real_apply(scheme* sc);

pointer eval_args(scheme* sc) {
    sc->args = cons_fast(sc, sc->value, sc->args);
    eval_simple_args(sc);
    if (is_pair_fast(sc->code)) {
        s_save(sc, OP_EVAL_ARGS, sc->args, cdr(sc->code));
        sc->code = car(sc->code);
        sc->args = sc->NIL;
        return eval_nested(sc);
    }
    pointer operator_cell = reverse_in_place(sc, sc->NIL, sc->args);
    sc->code = car(operator_cell);
    sc->args = cdr(operator_cell);
    recycle_cell(sc, operator_cell);
    sc->fresh_args = sc->args;
    return sc->tracing ? s_goto(sc, OP_APPLY) : real_apply(sc);
}

// Binds a parameter to the first of the arguments, making that argument's own cell the frame's link to the slot.
void bind_in_argument_cell(scheme* sc, pointer name) {
    pointer link = sc->args;
    pointer slot = immutable_cons_fast(sc, name, car(link));  // the arguments stay rooted while it allocates
    if (sc->no_memory) return;
    name->_flag |= T_LOCAL_NAME;
    sc->args = cdr(link);
    link->_flag = T_PAIR | T_IMMUTABLE;
    car_ref(link) = slot;
    cdr_ref(link) = car(sc->envir);
    car_ref(sc->envir) = link;
}

// A call in tail position from a frame that nothing else refers to, of a closure whose frame would have the same
// parent and names, takes that frame over: its slots get the new values and nothing is allocated. True when done.
bool take_over_frame(scheme* sc, pointer closure) {
    pointer frame = sc->envir;
    if (type(frame) != T_ENVIRONMENT || (frame->_flag & ENV_CAPTURED) || cdr(frame) != cdr(closure) ||
        frame->_hash != static_cast<uint32_t>(sc->dump_size) || type(car(frame)) == T_VECTOR)
        return false;
    // The frame's slots are the parameters in reverse order, exactly (frames of up to eight are taken over).
    constexpr int MOST = 8;
    pointer names[MOST], values[MOST];
    int n = 0;
    pointer p = car(car(closure)), a = sc->args;
    for (; is_pair_fast(p) && is_pair_fast(a); p = cdr(p), a = cdr(a)) {
        if (n == MOST) return false;
        names[n] = car(p);
        values[n++] = car(a);
    }
    if (p != sc->NIL || a != sc->NIL) return false;
    pointer slots = car(frame);
    for (int i = n - 1; i >= 0; --i, slots = cdr(slots))
        if (!is_pair_fast(slots) || caar(slots) != names[i]) return false;
    if (slots != sc->NIL) return false;
    slots = car(frame);
    for (int i = n - 1; i >= 0; --i, slots = cdr(slots)) cdr_ref(car(slots)) = values[i];
    return true;
}

pointer apply_closure(scheme* sc) {
    pointer code = sc->code;
    const bool own_arguments = sc->args == sc->fresh_args;
    sc->fresh_args = sc->NIL;
    if (own_arguments && type(code) == T_CLOSURE && take_over_frame(sc, code)) {
        recycle_list(sc, sc->args);
        sc->args = sc->NIL;
        sc->code = cdr(car(code));
        return s_goto(sc, OP_BEGIN);
    }
    new_frame_in_env(sc, cdr(code));
    pointer x = car(car(code));
    for (; is_pair_fast(x); x = cdr(x)) {
        if (sc->args == sc->NIL) return Error_0(sc, "not enough arguments");
        if (own_arguments) {
            bind_in_argument_cell(sc, car(x));
        } else {
            new_slot_in_env(sc, car(x), car(sc->args));
            sc->args = cdr(sc->args);
        }
        if (sc->no_memory) return sc->T;
    }
    pointer y = sc->args;
    if (is_symbol_fast(x))
        new_slot_in_env(sc, x, y);
    else if (x != sc->NIL)
        return Error_1(sc, "syntax error in closure: not a symbol:", x);
    sc->code = cdr(car(code));
    sc->args = sc->NIL;
    return s_goto(sc, OP_BEGIN);
}

pointer real_apply(scheme* sc) {
    pointer code = sc->code;
    if (type(code) != T_PROC && type(code) != T_CLOSURE) sc->fresh_args = sc->NIL;  // a foreign function may keep them
    switch (type(code)) {
    case T_PROC:
        sc->op = procnum(code);
        return dispatch_table[sc->op].name ? run_primitive(sc) : sc->T;
    case T_FOREIGN: return s_return(sc, code->_object._ff(sc, sc->args));
    case T_CLOSURE:
    case T_MACRO:
    case T_PROMISE: return apply_closure(sc);
    case T_CONTINUATION: {
        pointer result = sc->args != sc->NIL ? car(sc->args) : sc->NIL;
        sc->value = result;  // rooted while the dump is rebuilt
        restore_continuation(sc, code);
        return s_return(sc, result);
    }
    default: return Error_0(sc, "illegal function");
    }
}

void record_signature(scheme* sc, pointer name, const std::string& text) {
    const char* key = symname_fast(name);
    sc->name_signatures->erase(key);
    sc->name_signatures->emplace(key, text);
}

std::string short_text(scheme* sc, pointer x) {
    std::ostringstream os;
    printSchemeCell(sc, os, x, false);
    return os.str();
}

pointer define0(scheme* sc) {
    pointer code = sc->code;
    pointer name;
    if (is_pair_fast(car(code))) {
        name = caar(code);
        if (!is_symbol_fast(name)) return Error_0(sc, "variable is not a symbol");
        record_signature(sc, name, short_text(sc, car(code)));
        sc->code = cons_fast(sc, sc->sym_lambda, cons_fast(sc, cdar(code), cdr(code)));
        sc->value_names->emplace(cdr(sc->code), name);
    } else {
        name = car(code);
        if (!is_symbol_fast(name)) return Error_0(sc, "variable is not a symbol");
        pointer expr = cadr(code);
        if (is_pair_fast(expr)) {
            // (define f (lambda (x) ...)) is recorded as "(f lambda (x) ...)".
            std::string text = short_text(sc, expr);
            text.insert(1, std::string(symname_fast(name)) + " ");
            record_signature(sc, name, text);
            sc->value_names->emplace(cdr(expr), name);
        }
        sc->code = expr;
    }
    sc->builtin_names->insert(symname_fast(name));
    s_save(sc, OP_DEFINE1, sc->NIL, name);
    return s_goto(sc, OP_EVAL);
}

pointer define_in_current_frame(scheme* sc, pointer name, pointer value) {
    pointer x = find_slot_in_env(sc, sc->envir, name, 0);
    if (x != sc->NIL)
        set_slot_in_env(sc, x, value);
    else
        new_slot_in_env(sc, name, value);
    return s_return(sc, name);
}

pointer let_bindings(pointer form) { return is_symbol_fast(car(form)) ? cadr(form) : car(form); }

// let and letrec evaluate their inits one by one on the dump; once all are done, `done_op` binds them.
pointer eval_next_init(scheme* sc, int self_op, int done_op, const char* form) {
    sc->args = cons_fast(sc, sc->value, sc->args);
    if (is_pair_fast(sc->code)) {
        if (!good_binding(sc, car(sc->code))) return bad_binding(sc, form, car(sc->code));
        s_save(sc, self_op, sc->args, cdr(sc->code));
        sc->code = cadar(sc->code);
        sc->args = sc->NIL;
        return eval_nested(sc);
    }
    if (sc->code != sc->NIL) return bad_binding(sc, form, sc->code);
    sc->args = reverse_in_place(sc, sc->NIL, sc->args);
    sc->code = car(sc->args);
    sc->args = cdr(sc->args);
    return s_goto(sc, done_op);
}

pointer let1(scheme* sc) { return eval_next_init(sc, OP_LET1, OP_LET2, "let"); }

pointer let2(scheme* sc) {
    new_frame_in_env(sc, sc->envir);
    pointer form = sc->code;
    pointer x = let_bindings(form);
    for (pointer y = sc->args; y != sc->NIL; x = cdr(x), y = cdr(y)) new_slot_in_env(sc, caar(x), car(y));
    if (is_symbol_fast(car(form))) {
        // A named let binds its name, inside the new frame, to a procedure over the binding names.
        sc->copy_scratch_b = sc->NIL;
        for (x = cadr(form); is_pair_fast(x); x = cdr(x)) sc->copy_scratch_b = cons_fast(sc, caar(x), sc->copy_scratch_b);
        pointer names = reverse_in_place(sc, sc->NIL, sc->copy_scratch_b);
        sc->copy_scratch_b = sc->NIL;
        pointer lambda_code = cons_fast(sc, names, cddr(form));
        new_slot_in_env(sc, car(form), mk_closure(sc, lambda_code, sc->envir));
        sc->code = cddr(form);
    } else {
        sc->code = cdr(form);
    }
    sc->args = sc->NIL;
    return s_goto(sc, OP_BEGIN);
}

pointer letstar0(scheme* sc) {
    pointer code = sc->code;
    if (car(code) == sc->NIL) {
        new_frame_in_env(sc, sc->envir);
        sc->code = cdr(code);
        return s_goto(sc, OP_BEGIN);
    }
    if (is_symbol_fast(car(code))) return Error_0(sc, "Let* cannot be used for a named let!");
    if (!is_pair_fast(car(code))) return bad_binding(sc, "let*", car(code));
    if (!good_binding(sc, caar(code))) return bad_binding(sc, "let*", caar(code));
    s_save(sc, OP_LETSTAR1, cdr(code), car(code));
    sc->code = cadaar(code);
    return s_goto(sc, OP_EVAL);
}

pointer letstar2(scheme* sc) {
    new_slot_in_env(sc, caar(sc->code), sc->value);
    sc->code = cdr(sc->code);
    if (is_pair_fast(sc->code)) {
        if (!good_binding(sc, car(sc->code))) return bad_binding(sc, "let*", car(sc->code));
        s_save(sc, OP_LETSTAR1, sc->args, sc->code);
        sc->code = cadar(sc->code);
        sc->args = sc->NIL;
        return s_goto(sc, OP_EVAL);
    }
    if (sc->code != sc->NIL) return bad_binding(sc, "let*", sc->code);
    sc->code = sc->args;
    sc->args = sc->NIL;
    return s_goto(sc, OP_BEGIN);
}

pointer load_file_op(scheme* sc) {
    const char* name = strvalue(car(sc->args));
    if (is_console(sc)) {
        char msg[LINESIZE];
        std::snprintf(msg, sizeof msg, "Loading %s\n", name);
        putstr(sc, msg);
    }
    // Refusing the 65th nesting keeps the load stack inside its array.
    if (sc->file_i >= MAXFIL - 1) return Error_1(sc, "load: too many nested loads:", car(sc->args));
    FILE* f = std::fopen(name, "r");
    if (!f) return Error_1(sc, "unable to open", car(sc->args));
    ++sc->file_i;
    port& level = sc->load_stack[sc->file_i];
    level = port{};
    level.kind = port_file | port_input;
    level.rep.stdio.file = f;
    level.rep.stdio.closeit = 1;
    sc->loadport->_object._port = &level;
    return s_goto(sc, OP_TOPLEVEL);
}

pointer tracing_op(scheme* sc) {
    int was = sc->tracing;
    sc->tracing = static_cast<int>(ivalue_unchecked(car(sc->args)));
    return s_return(sc, mk_integer(sc, was));
}

}  // namespace

pointer opexe_0(scheme* sc, int op) {
    switch (op) {
    case OP_LOAD: return load_file_op(sc);
    case OP_TOPLEVEL:
        if (is_console(sc)) putstr(sc, "\n");
        sc->envir = sc->global_env;
        dump_reset(sc);
        sc->save_inport = sc->inport;
        sc->inport = sc->loadport;
        s_save(sc, OP_TOPLEVEL, sc->NIL, sc->NIL);
        s_save(sc, OP_VALUEPRINT, sc->NIL, sc->NIL);
        s_save(sc, OP_TOPLEVEL_EVAL, sc->NIL, sc->NIL);
        if (is_console(sc)) putstr(sc, "> ");
        return s_goto(sc, OP_TOPLEVEL_READ);
    case OP_TOPLEVEL_EVAL:
        if (sc->file_i == 0) ++sc->loaded_data;
        sc->code = sc->value;
        sc->inport = sc->save_inport;
        return s_goto(sc, OP_EVAL);
    case OP_TOPLEVEL_READ:
        sc->tok = token(sc);
        if (sc->tok == TOK_EOF) return end_of_input_before_datum(sc);
        return s_goto(sc, OP_RDSEXPR);
    case OP_GENSYM: return s_return(sc, gensym(sc));
    case OP_VALUEPRINT:
        if (sc->tracing) putstr(sc, "\nGives: ");
        if (is_console(sc)) {
            sc->print_flag = 1;
            sc->args = sc->value;
            return s_goto(sc, OP_P0LIST);
        }
        return s_return(sc, sc->value);
    case OP_EVAL:
        if (sc->tracing) {
            s_save(sc, OP_REAL_EVAL, sc->args, sc->code);
            sc->args = sc->code;
            putstr(sc, "\nEval: ");
            sc->print_flag = 1;
            return s_goto(sc, OP_P0LIST);
        }
        return real_eval(sc);
    case OP_REAL_EVAL: return real_eval(sc);
    case OP_EVAL_OPERATOR: return eval_operator(sc);
    case OP_EVAL_ARGS: return eval_args(sc);
    case OP_APPLY:
        if (sc->tracing) {
            s_save(sc, OP_REAL_APPLY, sc->args, sc->code);
            sc->print_flag = 1;
            putstr(sc, "\nApply to: ");
            return s_goto(sc, OP_P0LIST);
        }
        return real_apply(sc);
    case OP_REAL_APPLY: return real_apply(sc);
    case OP_TRACING: return tracing_op(sc);
    case OP_DOMACRO:
        sc->code = sc->value;
        return s_goto(sc, OP_EVAL);
    case OP_LAMBDA: return s_return(sc, mk_closure(sc, sc->code, sc->envir));
    case OP_MKCLOSURE: {
        pointer x = car(sc->args);
        if (car(x) == sc->sym_lambda) x = cdr(x);
        pointer env = cdr(sc->args) == sc->NIL ? sc->envir : cadr(sc->args);
        return s_return(sc, mk_closure(sc, x, env));
    }
    case OP_QUOTE: return s_return(sc, car(sc->code));
    case OP_DEFINE0: return define0(sc);
    case OP_DEFINE1: return define_in_current_frame(sc, sc->code, sc->value);
    case OP_DEFINEDP: {
        pointer env = cdr(sc->args) != sc->NIL ? cadr(sc->args) : sc->envir;
        return s_return(sc, find_slot_in_env(sc, env, car(sc->args), 1) != sc->NIL ? sc->T : sc->F);
    }
    case OP_BEGIN:
        if (!is_pair_fast(sc->code)) return s_return(sc, sc->code);
        if (cdr(sc->code) != sc->NIL) s_save(sc, OP_BEGIN, sc->NIL, cdr(sc->code));
        sc->code = car(sc->code);
        return eval_here(sc);
    case OP_IF0: {
        pointer test;
        if (quick_value(sc, car(sc->code), &test)) {
            pointer branches = cdr(sc->code);
            sc->code = test != sc->F ? car(branches) : cadr(branches);
            return eval_here(sc);
        }
        s_save(sc, OP_IF1, sc->NIL, cdr(sc->code));
        sc->code = car(sc->code);
        return eval_nested(sc);
    }
    case OP_IF1:
        sc->code = sc->value != sc->F ? car(sc->code) : cadr(sc->code);
        return eval_here(sc);
    case OP_SET0:
        s_save(sc, OP_SET1, sc->NIL, car(sc->code));
        sc->code = cadr(sc->code);
        return s_goto(sc, OP_EVAL);
    case OP_SET1: {
        pointer slot = find_slot_in_env(sc, sc->envir, sc->code, 1);
        if (slot == sc->NIL) return Error_1(sc, "set!: unbound variable:", sc->code);
        set_slot_in_env(sc, slot, sc->value);
        return s_return(sc, sc->value);
    }
    case OP_LET0:
        sc->args = sc->NIL;
        sc->value = sc->code;
        sc->code = let_bindings(sc->code);
        return let1(sc);
    case OP_LET1: return let1(sc);
    case OP_LET2: return let2(sc);
    case OP_LETSTAR0: return letstar0(sc);
    case OP_LETSTAR1:
        new_frame_in_env(sc, sc->envir);
        return letstar2(sc);
    case OP_LETSTAR2: return letstar2(sc);
    case OP_ERROR_HOOK_DONE: return s_return(sc, sc->value);
    default: return illegal_operator(sc, op);
    }
}

namespace {

pointer letrec1(scheme* sc) { return eval_next_init(sc, OP_LETREC1, OP_LETREC2, "letrec"); }

// Every init has been evaluated in the new frame; now the names join it, so the inits' closures see them.
pointer letrec2(scheme* sc) {
    pointer x = car(sc->code);
    for (pointer y = sc->args; y != sc->NIL; x = cdr(x), y = cdr(y)) new_slot_in_env(sc, caar(x), car(y));
    sc->code = cdr(sc->code);
    sc->args = sc->NIL;
    return s_goto(sc, OP_BEGIN);
}

pointer cond_taken(scheme* sc);

// Tests the clauses from the first in `code` on; a test whose value can be had at once takes no step of its own.
pointer cond_clause_test(scheme* sc) {
    for (;;) {
        if (!is_pair_fast(car(sc->code))) return Error_0(sc, "syntax error in cond");
        pointer v;
        if (!quick_value(sc, caar(sc->code), &v)) {
            s_save(sc, OP_COND1, sc->NIL, sc->code);
            sc->code = caar(sc->code);
            return eval_nested(sc);
        }
        if (v != sc->F) {
            sc->value = v;
            return cond_taken(sc);
        }
        sc->code = cdr(sc->code);
        if (sc->code == sc->NIL) return s_return(sc, sc->NIL);
    }
}

pointer cond1(scheme* sc) {
    if (sc->value == sc->F) {
        sc->code = cdr(sc->code);
        if (sc->code == sc->NIL) return s_return(sc, sc->NIL);
        return cond_clause_test(sc);
    }
    return cond_taken(sc);
}

// The clause in `code` was chosen by the test value in `value`.
pointer cond_taken(scheme* sc) {
    sc->code = cdar(sc->code);
    if (sc->code == sc->NIL) return s_return(sc, sc->value);
    if (car(sc->code) == sc->sym_feed_to) {
        if (!is_pair_fast(cdr(sc->code))) return Error_0(sc, "syntax error in cond");
        // (receiver (quote value))
        pointer quoted = cons_fast(sc, sc->sym_quote, cons_fast(sc, sc->value, sc->NIL));
        sc->code = cons_fast(sc, cadr(sc->code), cons_fast(sc, quoted, sc->NIL));
        return s_goto(sc, OP_EVAL);
    }
    return s_goto(sc, OP_BEGIN);
}

pointer mk_promise(scheme* sc, pointer body) {
    pointer x = mk_closure(sc, cons_fast(sc, sc->NIL, body), sc->envir);
    if (x != sc->sink) x->_flag = T_PROMISE;
    return x;
}

pointer and_or_next(scheme* sc, int next_op) {
    if (cdr(sc->code) != sc->NIL) s_save(sc, next_op, sc->NIL, cdr(sc->code));
    sc->code = car(sc->code);
    return eval_nested(sc);
}

pointer macro0(scheme* sc) {
    pointer code = sc->code;
    pointer name;
    if (is_pair_fast(car(code))) {
        name = caar(code);
        sc->code = cons_fast(sc, sc->sym_lambda, cons_fast(sc, cdar(code), cdr(code)));
    } else {
        name = car(code);
        sc->code = cadr(code);
    }
    if (!is_symbol_fast(name)) return Error_0(sc, "variable is not a symbol");
    sc->builtin_names->insert(symname_fast(name));
    s_save(sc, OP_MACRO1, sc->NIL, name);
    return s_goto(sc, OP_EVAL);
}

pointer macro1(scheme* sc) {
    // Only a procedure can become a macro: retagging any other cell would corrupt it.
    uint32_t t = type(sc->value);
    if (t != T_CLOSURE && t != T_MACRO) return Error_1(sc, "macro: value is not a closure:", sc->value);
    sc->value->_flag = T_MACRO;
    return define_in_current_frame(sc, sc->code, sc->value);
}

pointer case1(scheme* sc) {
    pointer x = sc->code;
    for (; is_pair_fast(x); x = cdr(x)) {
        pointer clause = car(x);
        if (!is_pair_fast(clause)) return Error_1(sc, "syntax error in case:", clause);
        pointer y = car(clause);
        if (!is_pair_fast(y)) break;  // an else clause
        for (; is_pair_fast(y); y = cdr(y))
            if (eqv(car(y), sc->value)) break;
        if (is_pair_fast(y)) break;
    }
    if (!is_pair_fast(x)) return s_return(sc, sc->NIL);
    if (is_pair_fast(caar(x))) {
        sc->code = cdar(x);
        return s_goto(sc, OP_BEGIN);
    }
    s_save(sc, OP_CASE2, sc->NIL, cdar(x));
    sc->code = caar(x);
    return s_goto(sc, OP_EVAL);
}

pointer apply_op(scheme* sc) {
    sc->code = car(sc->args);
    pointer rest = cdr(sc->args);
    if (rest == sc->NIL) {
        sc->args = sc->NIL;
        return s_goto(sc, OP_APPLY);
    }
    pointer last = rest;
    while (cdr(last) != sc->NIL) last = cdr(last);
    if (list_length(sc, car(last)) < 0) return Error_1(sc, "apply: last argument must be a list:", car(last));
    sc->args = list_star(sc, rest);
    return s_goto(sc, OP_APPLY);
}

}  // namespace

pointer opexe_1(scheme* sc, int op) {
    switch (op) {
    case OP_LETREC0:
        new_frame_in_env(sc, sc->envir);
        sc->args = sc->NIL;
        sc->value = sc->code;
        sc->code = car(sc->code);
        return letrec1(sc);
    case OP_LETREC1: return letrec1(sc);
    case OP_LETREC2: return letrec2(sc);
    case OP_COND0:
        if (!is_pair_fast(sc->code)) return Error_0(sc, "syntax error in cond");
        return cond_clause_test(sc);
    case OP_COND1: return cond1(sc);
    case OP_DELAY: return s_return(sc, mk_promise(sc, sc->code));
    case OP_AND0:
        if (sc->code == sc->NIL) return s_return(sc, sc->T);
        return and_or_next(sc, OP_AND1);
    case OP_AND1:
        if (sc->value == sc->F || sc->code == sc->NIL) return s_return(sc, sc->value);
        return and_or_next(sc, OP_AND1);
    case OP_OR0:
        if (sc->code == sc->NIL) return s_return(sc, sc->F);
        return and_or_next(sc, OP_OR1);
    case OP_OR1:
        if (sc->value != sc->F || sc->code == sc->NIL) return s_return(sc, sc->value);
        return and_or_next(sc, OP_OR1);
    case OP_CONS_STREAM0:
        s_save(sc, OP_CONS_STREAM1, sc->NIL, sc->code);
        sc->code = car(sc->code);
        return s_goto(sc, OP_EVAL);
    case OP_CONS_STREAM1:
        sc->args = sc->value;
        return s_return(sc, cons_fast(sc, sc->args, mk_promise(sc, cdr(sc->code))));
    case OP_MACRO0: return macro0(sc);
    case OP_MACRO1: return macro1(sc);
    case OP_CASE0:
        s_save(sc, OP_CASE1, sc->NIL, cdr(sc->code));
        sc->code = car(sc->code);
        return s_goto(sc, OP_EVAL);
    case OP_CASE1: return case1(sc);
    case OP_CASE2:
        if (sc->value != sc->F) return s_goto(sc, OP_BEGIN);
        return s_return(sc, sc->NIL);
    case OP_PEVAL:
        if (cdr(sc->args) != sc->NIL) sc->envir = cadr(sc->args);
        sc->code = car(sc->args);
        return s_goto(sc, OP_EVAL);
    case OP_PAPPLY: return apply_op(sc);
    case OP_CALLCC:
        sc->code = car(sc->args);
        sc->args = cons_fast(sc, mk_continuation(sc), sc->NIL);
        return s_goto(sc, OP_APPLY);
    default: return illegal_operator(sc, op);
    }
}

}  // namespace omb
