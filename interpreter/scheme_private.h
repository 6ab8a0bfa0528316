// Internals shared by the interpreter's files: cell accessors, opcodes, tokens and cross-module helpers.
#pragma once

#include <string>

#include "scheme.h"

namespace omb {

// ---- cell access (unchecked; the evaluator tests types before it calls these) ---------------------------------
inline uint32_t typeflag(pointer p) { return p->_flag; }
inline uint32_t type(pointer p) { return p->_flag & T_MASKTYPE; }
inline pointer car(pointer p) { return p->_object._cons._car; }
inline pointer cdr(pointer p) { return p->_object._cons._cdr; }
inline pointer& car_ref(pointer p) { return p->_object._cons._car; }
inline pointer& cdr_ref(pointer p) { return p->_object._cons._cdr; }
inline pointer caar(pointer p) { return car(car(p)); }
inline pointer cadr(pointer p) { return car(cdr(p)); }
inline pointer cdar(pointer p) { return cdr(car(p)); }
inline pointer cddr(pointer p) { return cdr(cdr(p)); }
inline pointer cadar(pointer p) { return car(cdr(car(p))); }
inline pointer caddr(pointer p) { return car(cdr(cdr(p))); }
inline pointer cdddr(pointer p) { return cdr(cdr(cdr(p))); }
inline pointer cadaar(pointer p) { return car(cdr(car(car(p)))); }
inline bool is_atom(pointer p) { return p->_flag & T_ATOM; }
inline void setatom(pointer p) { p->_flag |= T_ATOM; }
inline void clratom(pointer p) { p->_flag &= CLRATOM; }
inline bool is_mark(pointer p) { return p->_flag & MARK; }
inline void setmark(pointer p) { p->_flag |= MARK; }
inline void clrmark(pointer p) { p->_flag &= UNMARK; }
inline bool is_pair_fast(pointer p) { return type(p) == T_PAIR; }
inline bool is_symbol_fast(pointer p) { return type(p) == T_SYMBOL; }
inline bool is_immutable_fast(pointer p) { return p->_flag & T_IMMUTABLE; }
inline char* strvalue(pointer p) { return p->_object._string._svalue; }
inline int strlength(pointer p) { return p->_object._string._length; }
inline const num& numref(pointer p) { return p->_object._number; }
inline int64_t ivalue_unchecked(pointer p) { return p->_object._number.value.ivalue; }
inline port* portvalue(pointer p) { return p->_object._port; }
inline char* symname_fast(pointer p) { return strvalue(car(p)); }
inline int procnum(pointer p) { return static_cast<int>(ivalue_unchecked(p)); }

// Element i of a vector lives in the car (even i) or cdr (odd i) of cell header + 1 + i/2.
inline pointer elem_of(pointer vec, int i) {
    pointer c = vec + 1 + i / 2;
    return i % 2 == 0 ? car(c) : cdr(c);
}
inline pointer set_elem_of(pointer vec, int i, pointer a) {
    pointer c = vec + 1 + i / 2;
    (i % 2 == 0 ? car_ref(c) : cdr_ref(c)) = a;
    return a;
}

// On a symbol: it has been bound in a local frame at least once. A symbol without it is looked up in the hashed
// (top-level) frames alone. Below MARK, as the collector clears every bit above it.
constexpr uint32_t T_LOCAL_NAME = 1024;

// On a pair that is a call: its head has named something the direct calls do not do (see direct_calls.cpp).
constexpr uint32_t CALL_NOT_DIRECT = 1u << 6;

// Top-level slots are cached by symbol until the next collection (symbols.cpp).
inline global_cache_entry& cache_entry(scheme* sc, pointer sym) {
    return sc->global_cache[(reinterpret_cast<uintptr_t>(sym) / sizeof(cell)) & (GLOBAL_CACHE_SIZE - 1)];
}
pointer find_top_level_slot(scheme* sc, pointer sym);  // and caches what it finds

// Every environment ends in the top-level frame, the only hashed one, so a name never bound in a local frame is
// looked up there at once, whatever the depth.
inline pointer top_level_slot(scheme* sc, pointer sym) {
    const global_cache_entry& e = cache_entry(sc, sym);
    return e.symbol == sym ? e.slot : find_top_level_slot(sc, sym);
}

// The slot `sym` names from `env`, or nil: find_slot_in_env(sc, env, sym, 1) with its commonest case inline.
inline pointer lookup_slot(scheme* sc, pointer env, pointer sym) {
    if (!(sym->_flag & T_LOCAL_NAME) && sc->global_env != sc->NIL) return top_level_slot(sc, sym);
    if (env != sc->NIL && type(car(env)) != T_VECTOR) {  // the innermost frame, where most names are found
        for (pointer y = car(env); y != sc->NIL; y = cdr(y))
            if (car(car(y)) == sym) return car(y);
        env = cdr(env);
    }
    return find_slot_in_env(sc, env, sym, 1);
}

// On an environment: something may refer to it besides the running evaluation (a closure, a continuation, a
// Scheme value), so a tail call never takes it over. Its `_hash` word holds the dump's depth when it was made.
constexpr uint32_t ENV_CAPTURED = 1u << 5;
// Marks `env` and every environment it lies in as captured.
inline void capture_env(pointer env) {
    for (; type(env) == T_ENVIRONMENT && !(env->_flag & ENV_CAPTURED); env = cdr(env)) env->_flag |= ENV_CAPTURED;
}

// On a syntax symbol: its special form's opcode, less OP_LAMBDA, in bits 5 to 9 (set when the instance starts).
constexpr int SYNTAX_OP_SHIFT = 5;
constexpr uint32_t SYNTAX_OP_BITS = 31u << SYNTAX_OP_SHIFT;

constexpr uint32_t FLAG_STRING = T_STRING | T_ATOM;
constexpr uint32_t FLAG_NUMBER = T_NUMBER | T_ATOM;
constexpr uint32_t FLAG_CHARACTER = T_CHARACTER | T_ATOM;
constexpr uint32_t FLAG_VECTOR = T_VECTOR | T_ATOM;
constexpr uint32_t FLAG_PORT = T_PORT | T_ATOM;
constexpr uint32_t FLAG_PROC = T_PROC | T_ATOM;
constexpr uint32_t FLAG_FOREIGN = T_FOREIGN | T_ATOM;
constexpr uint32_t FLAG_CPTR = T_CPTR | T_ATOM;
constexpr uint32_t FLAG_OBJC = T_OBJC | T_ATOM;

// Allocation fast path: pop the free list; the slow path may collect or add a segment.
inline pointer get_cell(scheme* sc, pointer a, pointer b) {
    pointer x = sc->free_cell;
    if (x != sc->NIL) [[likely]] {
        sc->free_cell = cdr(x);
        --sc->free_count;
        return x;
    }
    return _get_cell(sc, a, b);
}

// Gives a cell that nothing refers to back to the free list at once.
inline void recycle_cell(scheme* sc, pointer p) {
    p->_flag = 0;
    car_ref(p) = sc->NIL;
    cdr_ref(p) = sc->free_cell;
    sc->free_cell = p;
    ++sc->free_count;
}

// Gives back every cell of a list's spine that nothing refers to.
inline void recycle_list(scheme* sc, pointer list) {
    while (list != sc->NIL) {
        pointer next = cdr(list);
        recycle_cell(sc, list);
        list = next;
    }
}

// s_cons and s_immutable_cons for the interpreter's own hot paths, inlined.
inline pointer cons_with_flag(scheme* sc, pointer a, pointer b, uint32_t flag) {
    pointer x = get_cell(sc, a, b);
    if (x == sc->sink) [[unlikely]] return x;
    x->_flag = flag;
    car_ref(x) = a;
    cdr_ref(x) = b;
    return x;
}
inline pointer cons_fast(scheme* sc, pointer a, pointer b) { return cons_with_flag(sc, a, b, T_PAIR); }
inline pointer immutable_cons_fast(scheme* sc, pointer a, pointer b) {
    return cons_with_flag(sc, a, b, T_PAIR | T_IMMUTABLE);
}

// ---- opcodes ---------------------------------------------------------------------------------------------------
enum opcode : int {
    OP_LOAD = 0, OP_TOPLEVEL, OP_TOPLEVEL_EVAL, OP_TOPLEVEL_READ, OP_GENSYM, OP_VALUEPRINT, OP_EVAL, OP_REAL_EVAL,
    OP_EVAL_OPERATOR, OP_EVAL_ARGS, OP_APPLY, OP_REAL_APPLY, OP_TRACING, OP_DOMACRO, OP_LAMBDA, OP_MKCLOSURE,
    OP_QUOTE, OP_DEFINE0, OP_DEFINE1, OP_DEFINEDP, OP_BEGIN, OP_IF0, OP_IF1, OP_SET0, OP_SET1, OP_LET0, OP_LET1,
    OP_LET2, OP_LETSTAR0, OP_LETSTAR1, OP_LETSTAR2, OP_LETREC0, OP_LETREC1, OP_LETREC2, OP_COND0, OP_COND1,
    OP_DELAY, OP_AND0, OP_AND1, OP_OR0, OP_OR1, OP_CONS_STREAM0, OP_CONS_STREAM1, OP_MACRO0, OP_MACRO1, OP_CASE0,
    OP_CASE1, OP_CASE2, OP_PEVAL, OP_PAPPLY, OP_CALLCC,
    OP_INEXACT_TO_EXACT = 51, OP_EXP, OP_LOG, OP_SIN, OP_COS, OP_TAN, OP_ASIN, OP_ACOS, OP_ATAN, OP_SQRT, OP_EXPT,
    OP_FLOOR, OP_CEILING, OP_TRUNCATE, OP_ROUND, OP_ADD, OP_SUB, OP_MUL, OP_DIV, OP_QUOTIENT, OP_REMAINDER,
    OP_MODULO, OP_CAR, OP_CDR, OP_CONS, OP_SETCAR, OP_SETCDR, OP_CHAR2INT, OP_INT2CHAR, OP_CHARUPCASE,
    OP_CHARDOWNCASE, OP_SYM2STR, OP_ATOM2STR, OP_STR2SYM, OP_STR2ATOM, OP_MKSTRING, OP_STRLEN, OP_STRREF,
    OP_STRSET, OP_STRAPPEND, OP_SUBSTR, OP_VECTOR, OP_MKVECTOR, OP_VECLEN, OP_VECREF, OP_VECSET,
    OP_NOT = 97, OP_BOOLP, OP_EOFOBJP, OP_NULLP, OP_NUMEQ, OP_LESS, OP_GREATER, OP_LEQ, OP_GEQ, OP_SYMBOLP,
    OP_NUMBERP, OP_STRINGP, OP_INTEGERP, OP_REALP, OP_RATIONALP, OP_CHARP, OP_CHAR_ALPHAP, OP_CHAR_NUMERICP,
    OP_CHAR_WHITESPACEP, OP_CHAR_UPPERP, OP_CHAR_LOWERP, OP_PORTP, OP_INPORTP, OP_OUTPORTP, OP_PROCP, OP_PAIRP,
    OP_LISTP, OP_ENVP, OP_VECTORP, OP_CPTRP, OP_OBJCP, OP_EQ, OP_EQV,
    OP_FORCE = 130, OP_SAVE_FORCED, OP_WRITE, OP_WRITE_CHAR, OP_DISPLAY, OP_NEWLINE, OP_ERR0, OP_ERR1, OP_REVERSE,
    OP_LIST_STAR, OP_APPEND, OP_PUT, OP_GET, OP_QUIT, OP_GC, OP_GCVERB, OP_NEWSEGMENT, OP_OBLIST,
    OP_CURR_INPORT, OP_CURR_OUTPORT, OP_OPEN_INFILE, OP_OPEN_OUTFILE, OP_OPEN_INOUTFILE, OP_OPEN_INSTRING,
    OP_OPEN_OUTSTRING, OP_OPEN_INOUTSTRING, OP_CLOSE_INPORT, OP_CLOSE_OUTPORT, OP_INT_ENV, OP_CURR_ENV,
    OP_READ = 160, OP_READ_CHAR, OP_PEEK_CHAR, OP_CHAR_READY, OP_SET_INPORT, OP_SET_OUTPORT,
    OP_RDSEXPR, OP_RDLIST, OP_RDDOT, OP_RDQUOTE, OP_RDQQUOTE, OP_RDQQUOTEVEC, OP_RDUNQUOTE, OP_RDUQTSP,
    OP_RDVEC, OP_P0LIST, OP_P1LIST, OP_PVECFROM,
    OP_LIST_LENGTH = 178, OP_ASSQ, OP_GET_CLOSURE, OP_CLOSUREP, OP_MACROP,
    OP_MAXDEFINED
};
static_assert(OP_CALLCC == 50 && OP_VECSET == 96 && OP_EQV == 129 && OP_CURR_ENV == 159 && OP_PVECFROM == 177 &&
              OP_MAXDEFINED == 183, "opcode numbers are part of the printed form of primitives");

static_assert(OP_CASE0 - OP_LAMBDA <= 31 && OP_CONS_STREAM0 - OP_LAMBDA <= 31, "special forms fit SYNTAX_OP_BITS");

// Internal steps past the last primitive: putting a current port back once a primitive given another port is
// done, and marking the return from an *error-hook* call.
constexpr int OP_RESTORE_INPORT = OP_MAXDEFINED;
constexpr int OP_RESTORE_OUTPORT = OP_MAXDEFINED + 1;
constexpr int OP_ERROR_HOOK_DONE = OP_MAXDEFINED + 2;
constexpr int OP_LAST_INTERNAL = OP_ERROR_HOOK_DONE;

// ---- tokens ----------------------------------------------------------------------------------------------------
enum token_code : int {
    TOK_EOF = -1, TOK_LPAREN = 0, TOK_RPAREN, TOK_DOT, TOK_ATOM, TOK_QUOTE, TOK_COMMENT, TOK_DQUOTE, TOK_BQUOTE,
    TOK_COMMA, TOK_ATMARK, TOK_SHARP, TOK_SHARP_CONST, TOK_VEC
};

// ---- the dispatch table ----------------------------------------------------------------------------------------
using dispatch_func = pointer (*)(scheme*, int);
struct op_code_info {
    dispatch_func func;
    const char* name;
    int min_arity;
    int max_arity;
    const char* arg_tests_encoding;
};
constexpr int INF_ARG = 65535;
extern const op_code_info dispatch_table[OP_LAST_INTERNAL + 2];
extern const char* const charnames[32];

// ---- evaluator plumbing (eval.cpp) -----------------------------------------------------------------------------
void Eval_Cycle(scheme* sc, int op);
// A call of the primitive in `value` on the operands in `code`, done without an argument list when its answer is
// certain (direct_calls.cpp); nullptr when it must go the general way.
pointer try_direct_call(scheme* sc);
// The value of `call` when it is such a call, in `out`; false when it must be evaluated the general way. A value
// made here is held by nothing: the caller keeps it before anything else allocates (passing it to the allocation
// keeps it).
bool direct_value(scheme* sc, pointer call, pointer* out);
// The value of an expression that is a constant, quoted data, a bound name or such a direct call; false otherwise.
// The same care as for direct_value.
bool quick_value(scheme* sc, pointer x, pointer* out);
// One step of the primitive `sc->op` on `sc->args`: its arguments checked, then run.
pointer run_primitive(scheme* sc);
void dump_reset(scheme* sc);
bool dump_reserve(scheme* sc, int frames);
inline void s_save(scheme* sc, int op, pointer args, pointer code) {
    if (sc->dump_size == sc->dump_capacity && !dump_reserve(sc, sc->dump_size + 1)) [[unlikely]] {
        sc->no_memory = 1;
        return;
    }
    sc->dump_base[sc->dump_size++] = dump_frame{op, args, sc->envir, code};
}
// Pops a frame; nil when the dump is empty (the cycle ends).
inline pointer s_return(scheme* sc, pointer value) {
    sc->value = value;
    if (sc->dump_size == 0) return sc->NIL;
    const dump_frame& f = sc->dump_base[--sc->dump_size];
    sc->op = f.op;
    sc->args = f.args;
    sc->envir = f.envir;
    sc->code = f.code;
    return sc->T;
}
inline pointer s_goto(scheme* sc, int op) { sc->op = op; return sc->T; }
pointer reverse_in_place(scheme* sc, pointer term, pointer list);
pointer reverse(scheme* sc, pointer a);  // fresh copy
pointer list_star(scheme* sc, pointer d);
pointer vector_from_list(scheme* sc, pointer list);  // false for an improper list
pointer dump_as_list(scheme* sc);  // the pending frames as cells, newest first, for reports
pointer illegal_operator(scheme* sc, int op);
int syntaxnum(pointer p);  // the opcode of a special form, from its name
pointer mk_continuation(scheme* sc);
void restore_continuation(scheme* sc, pointer cont);
bool eqv(pointer a, pointer b);

// ---- errors (errors.cpp) ---------------------------------------------------------------------------------------
pointer _Error_1(scheme* sc, const char* s, pointer a);
inline pointer Error_0(scheme* sc, const char* s) { return _Error_1(sc, s, nullptr); }
inline pointer Error_1(scheme* sc, const char* s, pointer a) { return _Error_1(sc, s, a); }

// ---- memory internals (cells.cpp) ------------------------------------------------------------------------------
// Garbage strings hold few cells, so cell allocation alone would let them pile up to the limit before a
// collection. Their growth to twice what survived the last collection (and at least this) collects as well.
constexpr size_t STRING_COLLECT_FLOOR = size_t{64} << 20;
void finalize_cell(scheme* sc, pointer a);
pointer find_consecutive_cells(scheme* sc, int n);
pointer mk_port(scheme* sc, port* p);
pointer mk_proc(scheme* sc, int op);
pointer mk_closure(scheme* sc, pointer code, pointer env);
char* store_string(scheme* sc, int len, const char* str, char fill);
void oblist_init(scheme* sc);
pointer oblist_add_by_name(scheme* sc, const char* name);
pointer oblist_find_by_name(scheme* sc, const char* name);
pointer oblist_all_symbols(scheme* sc);
uint32_t hash_fn(const char* key, int table_size);
pointer new_frame_vector(scheme* sc);
bool make_shared_atoms(scheme* sc);

// ---- ports (ports.cpp) -----------------------------------------------------------------------------------------
int inchar(scheme* sc);
void backchar(scheme* sc, int c);
void putchars(scheme* sc, const char* s, int len);
// Writes an error report whole. A string port short of room gives up its earliest output for it; a report longer
// than the whole buffer keeps its beginning. Ordinary output into a full string port is dropped instead.
void put_report(scheme* sc, const char* s, size_t len);
// At the end of a nested load's file, resumes the file that loaded it; false when reading is not at such an end.
bool finish_nested_load(scheme* sc);
port* port_rep_from_file(scheme* sc, FILE* f, int kind, int closeit);
port* port_rep_from_string(scheme* sc, char* start, char* past_the_end, int kind);
pointer port_from_filename(scheme* sc, const char* fn, int kind);
pointer port_from_string(scheme* sc, char* start, char* past_the_end, int kind);
void port_close(scheme* sc, pointer p, int flag);
bool is_console(scheme* sc);  // level 0 is standard input and the current input is a file port

// ---- reader (reader.cpp) ---------------------------------------------------------------------------------------
int token(scheme* sc);
// Reads an atom's text into strbuff; false when it does not fit (the rest of the token is skipped).
bool readstr_upto(scheme* sc, const char* delim);
// Reads a string literal; nil on failure.
pointer readstrexp(scheme* sc);
void skip_comment(scheme* sc);
pointer mk_atom(scheme* sc, char* q);
pointer mk_sharp_const(scheme* sc, char* name);
// The reader's step where the input ends before a datum starts (read_print_ops.cpp).
pointer end_of_input_before_datum(scheme* sc);

// ---- printer (printer.cpp) -------------------------------------------------------------------------------------
void atom2str(scheme* sc, pointer l, int f, char** pp, int* plen);
void printatom(scheme* sc, pointer l, int f);
// Appends the write form of `x` as the printer gives it, cut with " ..." where the cell renderer would cut (a
// circular irritant must not make an endless report), and cut short once `out` reaches `max_bytes`.
void append_written(scheme* sc, std::string& out, pointer x, size_t max_bytes);

// ---- numbers (numbers.cpp; see numbers.h) ----------------------------------------------------------------------

}  // namespace omb
