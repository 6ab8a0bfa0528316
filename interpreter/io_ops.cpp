// Opcodes 130-159: promises, output, the error primitive, list building, property lists, memory and ports.
#include <algorithm>
#include <cstdint>
#include <string>

#include "platform/dev_log.h"
#include "scheme_private.h"

namespace omb {

namespace {

// Makes `p` the current output port for the rest of this primitive, restoring the old one afterwards.
void switch_outport(scheme* sc, pointer p) {
    if (p == sc->outport) return;
    s_save(sc, OP_RESTORE_OUTPORT, s_cons(sc, sc->outport, sc->NIL), sc->NIL);
    sc->outport = p;
}

pointer open_file_op(scheme* sc, int kind) {
    pointer p = port_from_filename(sc, strvalue(car(sc->args)), kind);
    return s_return(sc, p == sc->NIL ? sc->F : p);
}

pointer open_string_op(scheme* sc, int kind) {
    pointer s = car(sc->args);
    pointer p = port_from_string(sc, strvalue(s), strvalue(s) + strlength(s), kind);
    if (p == sc->NIL) return s_return(sc, sc->F);
    // The port reads and writes the string's own text: it keeps the string alive.
    cdr_ref(p) = s;
    return s_return(sc, p);
}

pointer append_op(scheme* sc) {
    if (sc->args == sc->NIL) return s_return(sc, sc->NIL);
    // Copy every argument but the last onto a reversed list, then chain the copies onto the last.
    pointer copy = sc->NIL;
    pointer x = sc->args;
    for (; cdr(x) != sc->NIL; x = cdr(x))
        for (pointer y = car(x); is_pair_fast(y); y = cdr(y)) copy = s_cons(sc, car(y), copy);
    return s_return(sc, reverse_in_place(sc, car(x), copy));
}

pointer put_op(scheme* sc) {
    pointer sym = car(sc->args), prop = cadr(sc->args);
    if (!is_symbol_fast(sym) || !is_symbol_fast(prop)) return Error_0(sc, "illegal use of put");
    for (pointer x = cdr(sym); is_pair_fast(x); x = cdr(x))
        if (caar(x) == prop) {
            cdr_ref(car(x)) = caddr(sc->args);
            return s_return(sc, sc->T);
        }
    cdr_ref(sym) = s_cons(sc, s_cons(sc, prop, caddr(sc->args)), cdr(sym));
    return s_return(sc, sc->T);
}

pointer get_op(scheme* sc) {
    pointer sym = car(sc->args), prop = cadr(sc->args);
    if (!is_symbol_fast(sym) || !is_symbol_fast(prop)) return Error_0(sc, "illegal use of get");
    for (pointer x = cdr(sym); is_pair_fast(x); x = cdr(x))
        if (caar(x) == prop) return s_return(sc, cdar(x));
    return s_return(sc, sc->NIL);
}

// Whether a copy of the cell is the same value. A text, a stream or an object would get a second owner, a vector
// would lose the elements that follow its header, and a symbol or a constant outside the heap is known by its
// address.
bool copy_is_same_value(scheme* sc, pointer p) {
    if (p == sc->NIL || p == sc->T || p == sc->F || p == sc->EOF_OBJ || p == sc->sink) return false;
    switch (type(p)) {
    case T_NUMBER:
    case T_CHARACTER:
    case T_PAIR:
    case T_CLOSURE:
    case T_MACRO:
    case T_PROMISE:
    case T_CONTINUATION:
    case T_PROC:
    case T_FOREIGN:
    case T_CPTR: return true;
    default: return false;
    }
}

// The promise cell becomes its value, so it is computed once. A value that cannot be copied stays where it is:
// the promise's body becomes (quote value) instead.
pointer save_forced(scheme* sc) {
    if (copy_is_same_value(sc, sc->value)) {
        *sc->code = *sc->value;
        return s_return(sc, sc->value);
    }
    pointer quoted = s_cons(sc, sc->sym_quote, s_cons(sc, sc->value, sc->NIL));
    pointer code = s_cons(sc, sc->NIL, s_cons(sc, quoted, sc->NIL));
    if (code != sc->sink) car_ref(sc->code) = code;
    return s_return(sc, sc->value);
}

// The error primitive: "Error: " and the message, then each irritant in write form after a blank, then " \n",
// composed whole before it is written so the report can claim room in a full string port. It goes to the
// entry's output port, not to one a procedure switched to. A message that is not a string leads the irritants.
pointer error_op(scheme* sc) {
    if (sc->no_memory) return sc->NIL;  // the cycle reports that instead
    sc->retcode = -1;
    if (type(sc->entry_outport) == T_PORT) sc->outport = sc->entry_outport;
    // A string port keeps no more than its buffer: rendering past that would be wasted work.
    size_t max_bytes = SIZE_MAX;
    if (type(sc->outport) == T_PORT && (portvalue(sc->outport)->kind & port_string))
        max_bytes = static_cast<size_t>(portvalue(sc->outport)->rep.string.past_the_end -
                                        portvalue(sc->outport)->rep.string.start);
    std::string report = "Error: ";
    pointer irritants = sc->args;
    if (type(car(irritants)) == T_STRING) {
        report.append(strvalue(car(irritants)), std::min(static_cast<size_t>(strlength(car(irritants))), max_bytes));
        irritants = cdr(irritants);
    } else {
        report += " -- ";
    }
    for (; is_pair_fast(irritants) && report.size() < max_bytes; irritants = cdr(irritants)) {
        report += ' ';
        append_written(sc, report, car(irritants), max_bytes);
    }
    report += " \n";
    put_report(sc, report.data(), report.size());
    if (sc->interactive_repl) return s_goto(sc, OP_TOPLEVEL);
    return sc->NIL;
}

}  // namespace

pointer list_star(scheme* sc, pointer d) {
    if (cdr(d) == sc->NIL) return car(d);
    pointer copy = sc->NIL;
    for (; cdr(d) != sc->NIL; d = cdr(d)) copy = s_cons(sc, car(d), copy);
    return reverse_in_place(sc, car(d), copy);
}

pointer opexe_4(scheme* sc, int op) {
    switch (op) {
    case OP_FORCE:
        sc->code = car(sc->args);
        if (type(sc->code) != T_PROMISE) return s_return(sc, sc->code);
        sc->args = sc->NIL;
        s_save(sc, OP_SAVE_FORCED, sc->NIL, sc->code);
        return s_goto(sc, OP_APPLY);
    case OP_SAVE_FORCED: return save_forced(sc);
    case OP_WRITE:
    case OP_DISPLAY:
    case OP_WRITE_CHAR:
        if (cdr(sc->args) != sc->NIL) switch_outport(sc, cadr(sc->args));
        sc->args = car(sc->args);
        sc->print_flag = op == OP_WRITE ? 1 : 0;
        return s_goto(sc, OP_P0LIST);
    case OP_NEWLINE:
        if (sc->args != sc->NIL) switch_outport(sc, car(sc->args));
        putstr(sc, "\n");
        return s_return(sc, sc->T);
    case OP_ERR0: return error_op(sc);
    case OP_REVERSE: return s_return(sc, reverse(sc, car(sc->args)));
    case OP_LIST_STAR: return s_return(sc, list_star(sc, sc->args));
    case OP_APPEND: return append_op(sc);
    case OP_PUT: return put_op(sc);
    case OP_GET: return get_op(sc);
    case OP_QUIT:
        if (sc->args != sc->NIL) sc->retcode = static_cast<int>(ivalue(car(sc->args)));
        return sc->NIL;
    case OP_GC:
        devlog("GC FROM OP");
        gc(sc, sc->NIL, sc->NIL);
        return s_return(sc, sc->T);
    case OP_GCVERB: {
        bool was = sc->gc_verbose;
        sc->gc_verbose = sc->args == sc->NIL || car(sc->args) != sc->F;
        return s_return(sc, was ? sc->T : sc->F);
    }
    case OP_NEWSEGMENT:
        if (sc->args == sc->NIL || type(car(sc->args)) != T_NUMBER)
            return Error_0(sc, "new-segment: argument must be a number");
        alloc_cellseg(sc, static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(ivalue(car(sc->args)),
                                                                                  CELL_NSEGMENT))));
        return s_return(sc, sc->T);
    case OP_OBLIST: return s_return(sc, oblist_all_symbols(sc));
    case OP_CURR_INPORT: return s_return(sc, sc->inport);
    case OP_CURR_OUTPORT: return s_return(sc, sc->outport);
    case OP_OPEN_INFILE: return open_file_op(sc, port_input);
    case OP_OPEN_OUTFILE: return open_file_op(sc, port_output);
    case OP_OPEN_INOUTFILE: return open_file_op(sc, port_input | port_output);
    case OP_OPEN_INSTRING: return open_string_op(sc, port_input);
    case OP_OPEN_OUTSTRING: return open_string_op(sc, port_output);
    case OP_OPEN_INOUTSTRING: return open_string_op(sc, port_input | port_output);
    case OP_CLOSE_INPORT: port_close(sc, car(sc->args), port_input); return s_return(sc, sc->T);
    case OP_CLOSE_OUTPORT: port_close(sc, car(sc->args), port_output); return s_return(sc, sc->T);
    case OP_INT_ENV: return s_return(sc, sc->global_env);
    case OP_CURR_ENV:
        capture_env(sc->envir);
        return s_return(sc, sc->envir);
    default: return illegal_operator(sc, op);
    }
}

}  // namespace omb
