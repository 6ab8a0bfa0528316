// Opcodes 160-177: reading from ports and the reader and printer steps, which run on the dump.
#include "scheme_private.h"

namespace omb {

namespace {

const char* const ATOM_DELIMITERS = "();\t\n\r ";

// A datum left open at the end of its port is an error: on the load port it would otherwise end the load in
// silence, on any other port it would read as an endless list of #<EOF>.
pointer end_inside_list(scheme* sc) {
    return Error_0(sc, "syntax error: end of input inside a list");
}

bool at_end(scheme* sc) { return sc->tok == TOK_EOF; }

// The next token that is not a comment.
void next_token(scheme* sc) {
    sc->tok = token(sc);
    while (sc->tok == TOK_COMMENT) {
        skip_comment(sc);
        sc->tok = token(sc);
    }
}

pointer start_list(scheme* sc) {
    next_token(sc);
    if (sc->tok == TOK_RPAREN) return s_return(sc, sc->NIL);
    if (sc->tok == TOK_DOT) return Error_0(sc, "syntax error: illegal dot expression");
    if (at_end(sc)) return end_inside_list(sc);
    s_save(sc, OP_RDLIST, sc->NIL, sc->NIL);
    return s_goto(sc, OP_RDSEXPR);
}

// An atom's text must fit the token buffer; a longer one is refused rather than written past it.
bool read_atom_text(scheme* sc) { return readstr_upto(sc, ATOM_DELIMITERS); }
pointer token_too_long(scheme* sc) { return Error_0(sc, "syntax error: token too long"); }

pointer wrap(scheme* sc, pointer sym) { return s_cons(sc, sym, s_cons(sc, sc->value, sc->NIL)); }

// A quote mark with nothing after it would otherwise quote the end-of-file object.
pointer end_after_quote(scheme* sc) { return Error_0(sc, "syntax error: end of input after a quote"); }

pointer read_quoted(scheme* sc, int wrap_op) {
    next_token(sc);
    if (at_end(sc)) return end_after_quote(sc);
    s_save(sc, wrap_op, sc->NIL, sc->NIL);
    return s_goto(sc, OP_RDSEXPR);
}

}  // namespace

// Every step inside a datum checks for the end of input, so the reader meets it here only where a datum would
// start. The end of a nested load's file resumes the file that loaded it, the end of the load itself ends the
// load, and any other port gives the end-of-file object.
pointer end_of_input_before_datum(scheme* sc) {
    if (sc->inport != sc->loadport) return s_return(sc, sc->EOF_OBJ);
    if (finish_nested_load(sc)) return s_goto(sc, OP_TOPLEVEL_READ);
    sc->args = sc->NIL;
    return s_goto(sc, OP_QUIT);
}

namespace {

pointer read_sexpr(scheme* sc) {
    switch (sc->tok) {
    case TOK_EOF: return end_of_input_before_datum(sc);
    case TOK_VEC:
        s_save(sc, OP_RDVEC, sc->NIL, sc->NIL);
        return start_list(sc);
    case TOK_LPAREN: return start_list(sc);
    case TOK_ATOM:
        if (!read_atom_text(sc)) return token_too_long(sc);
        return s_return(sc, mk_atom(sc, sc->strbuff));
    case TOK_DQUOTE: {
        pointer x = readstrexp(sc);
        if (x == sc->NIL) return Error_0(sc, "Error reading string");
        return s_return(sc, x);
    }
    case TOK_QUOTE: return read_quoted(sc, OP_RDQUOTE);
    case TOK_BQUOTE:
        next_token(sc);
        if (at_end(sc)) return end_after_quote(sc);
        if (sc->tok == TOK_VEC) {
            s_save(sc, OP_RDQQUOTEVEC, sc->NIL, sc->NIL);
            sc->tok = TOK_LPAREN;
        } else {
            s_save(sc, OP_RDQQUOTE, sc->NIL, sc->NIL);
        }
        return s_goto(sc, OP_RDSEXPR);
    case TOK_COMMA: return read_quoted(sc, OP_RDUNQUOTE);
    case TOK_ATMARK: return read_quoted(sc, OP_RDUQTSP);
    case TOK_COMMENT:
        skip_comment(sc);
        sc->tok = token(sc);
        return s_goto(sc, OP_RDSEXPR);
    case TOK_SHARP: {
        pointer hook = find_slot_in_env(sc, sc->envir, sc->sym_sharp_hook, 1);
        if (hook == sc->NIL) return Error_0(sc, "undefined sharp expression");
        // The hook reads the rest of the form from the current input port itself.
        sc->code = s_cons(sc, slot_value_in_env(hook), sc->NIL);
        return s_goto(sc, OP_EVAL);
    }
    case TOK_SHARP_CONST: {
        if (!read_atom_text(sc)) return token_too_long(sc);
        pointer x = mk_sharp_const(sc, sc->strbuff);
        if (x == sc->NIL) return Error_0(sc, "undefined sharp expression");
        return s_return(sc, x);
    }
    default: return Error_0(sc, "syntax error: illegal token");
    }
}

pointer read_list_element(scheme* sc) {
    sc->args = s_cons(sc, sc->value, sc->args);
    next_token(sc);
    if (at_end(sc)) return end_inside_list(sc);
    if (sc->tok == TOK_RPAREN) {
        int c = inchar(sc);
        if (c != '\n') backchar(sc, c);  // a newline right after ")" belongs to the datum
        return s_return(sc, reverse_in_place(sc, sc->NIL, sc->args));
    }
    if (sc->tok == TOK_DOT) {
        s_save(sc, OP_RDDOT, sc->args, sc->NIL);
        next_token(sc);
        if (at_end(sc)) return end_inside_list(sc);
        return s_goto(sc, OP_RDSEXPR);
    }
    s_save(sc, OP_RDLIST, sc->args, sc->NIL);
    return s_goto(sc, OP_RDSEXPR);
}

pointer read_dotted_tail(scheme* sc) {
    next_token(sc);
    if (at_end(sc)) return end_inside_list(sc);
    if (sc->tok != TOK_RPAREN) return Error_0(sc, "syntax error: illegal dot expression");
    return s_return(sc, reverse_in_place(sc, sc->value, sc->args));
}

pointer quasiquote_vector(scheme* sc) {
    pointer apply_sym = mk_symbol(sc, "apply");
    pointer vector_sym = mk_symbol(sc, "vector");
    pointer qq = wrap(sc, sc->sym_quasiquote);
    return s_return(sc, s_cons(sc, apply_sym, s_cons(sc, vector_sym, s_cons(sc, qq, sc->NIL))));
}

// Sets the current input port to the argument, if any, for a primitive that completes at once.
struct input_switch {
    scheme* sc;
    pointer saved;
    input_switch(scheme* s, pointer args) : sc(s), saved(s->inport) {
        if (args != s->NIL) s->inport = car(args);
    }
    ~input_switch() { sc->inport = saved; }
};

pointer read_char_op(scheme* sc, bool peek) {
    int c;
    {
        input_switch with(sc, sc->args);
        c = inchar(sc);
        if (peek) backchar(sc, c);
    }
    return s_return(sc, c == EOF ? sc->EOF_OBJ : mk_character(sc, c));
}

pointer print_object(scheme* sc) {
    pointer x = sc->args;
    if (type(x) == T_VECTOR) {
        putstr(sc, "#(");
        sc->args = s_cons(sc, x, mk_integer(sc, 0));
        return s_goto(sc, OP_PVECFROM);
    }
    if (type(x) == T_ENVIRONMENT) {
        putstr(sc, "#<ENVIRONMENT>");
        return s_return(sc, sc->T);
    }
    if (type(x) != T_PAIR) {
        printatom(sc, x, sc->print_flag);
        return s_return(sc, sc->T);
    }
    bool two_elements = type(cdr(x)) == T_PAIR && cddr(x) == sc->NIL;
    const char* prefix = nullptr;
    if (two_elements) {
        if (car(x) == sc->sym_quote) prefix = "'";
        else if (car(x) == sc->sym_quasiquote) prefix = "`";
        else if (car(x) == sc->sym_unquote) prefix = ",";
        else if (car(x) == sc->sym_unquote_splicing) prefix = ",@";
    }
    if (prefix) {
        putstr(sc, prefix);
        sc->args = cadr(x);
        return s_goto(sc, OP_P0LIST);
    }
    putstr(sc, "(");
    s_save(sc, OP_P1LIST, cdr(x), sc->NIL);
    sc->args = car(x);
    return s_goto(sc, OP_P0LIST);
}

pointer print_list_tail(scheme* sc) {
    pointer r = sc->args;
    if (type(r) == T_PAIR) {
        s_save(sc, OP_P1LIST, cdr(r), sc->NIL);
        putstr(sc, " ");
        sc->args = car(r);
        return s_goto(sc, OP_P0LIST);
    }
    if (type(r) == T_VECTOR) {
        s_save(sc, OP_P1LIST, sc->NIL, sc->NIL);
        putstr(sc, " . ");
        return s_goto(sc, OP_P0LIST);
    }
    if (r != sc->NIL) {
        putstr(sc, " . ");
        printatom(sc, r, sc->print_flag);
    }
    putstr(sc, ")");
    return s_return(sc, sc->T);
}

pointer print_vector_from(scheme* sc) {
    pointer vec = car(sc->args);
    pointer index = cdr(sc->args);
    int64_t i = ivalue_unchecked(index);
    if (i == ivalue_unchecked(vec)) {
        putstr(sc, ")");
        return s_return(sc, sc->T);
    }
    cdr_ref(sc->args) = mk_integer(sc, i + 1);  // integers are shared: never changed in place
    s_save(sc, OP_PVECFROM, sc->args, sc->NIL);
    putstr(sc, " ");
    sc->args = elem_of(vec, static_cast<int>(i));
    return s_goto(sc, OP_P0LIST);
}

}  // namespace

pointer opexe_5(scheme* sc, int op) {
    switch (op) {
    case OP_READ:
        if (sc->args != sc->NIL) {
            pointer p = car(sc->args);
            if (type(p) != T_PORT || !(portvalue(p)->kind & port_input))
                return Error_1(sc, "read: not an input port:", p);
            if (p != sc->inport) {
                s_save(sc, OP_RESTORE_INPORT, s_cons(sc, sc->inport, sc->NIL), sc->NIL);
                sc->inport = p;
            }
        }
        return s_goto(sc, OP_TOPLEVEL_READ);
    case OP_READ_CHAR: return read_char_op(sc, false);
    case OP_PEEK_CHAR: return read_char_op(sc, true);
    case OP_CHAR_READY: {
        pointer p = sc->args != sc->NIL ? car(sc->args) : sc->inport;
        bool ready = type(p) == T_PORT && (portvalue(p)->kind & port_string);
        return s_return(sc, ready ? sc->T : sc->F);
    }
    case OP_SET_INPORT: sc->inport = car(sc->args); return s_return(sc, sc->inport);
    case OP_SET_OUTPORT: sc->outport = car(sc->args); return s_return(sc, sc->outport);
    case OP_RDSEXPR: return read_sexpr(sc);
    case OP_RDLIST: return read_list_element(sc);
    case OP_RDDOT: return read_dotted_tail(sc);
    case OP_RDQUOTE: return s_return(sc, wrap(sc, sc->sym_quote));
    case OP_RDQQUOTE: return s_return(sc, wrap(sc, sc->sym_quasiquote));
    case OP_RDQQUOTEVEC: return quasiquote_vector(sc);
    case OP_RDUNQUOTE: return s_return(sc, wrap(sc, sc->sym_unquote));
    case OP_RDUQTSP: return s_return(sc, wrap(sc, sc->sym_unquote_splicing));
    case OP_RDVEC: {
        pointer v = vector_from_list(sc, sc->value);
        if (v == sc->F && list_length(sc, sc->value) < 0) return Error_1(sc, "vector: not a proper list:", sc->value);
        return s_return(sc, v);
    }
    case OP_P0LIST: return print_object(sc);
    case OP_P1LIST: return print_list_tail(sc);
    case OP_PVECFROM: return print_vector_from(sc);
    case OP_RESTORE_INPORT: sc->inport = car(sc->args); return s_return(sc, sc->value);
    case OP_RESTORE_OUTPORT: sc->outport = car(sc->args); return s_return(sc, sc->value);
    default: return illegal_operator(sc, op);
    }
}

}  // namespace omb
