// The evaluation loop: the dispatch table, argument checks, the dump of pending frames, and the top level.
#include <algorithm>
#include <sstream>

#include "cell_renderer.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "scheme_private.h"

namespace omb {

pointer opexe_0(scheme* sc, int op);
pointer opexe_1(scheme* sc, int op);
pointer opexe_2(scheme* sc, int op);
pointer opexe_3(scheme* sc, int op);
pointer opexe_4(scheme* sc, int op);
pointer opexe_5(scheme* sc, int op);
pointer opexe_6(scheme* sc, int op);

// ---- argument tests --------------------------------------------------------------------------------------------
namespace {

using test_predicate = bool (*)(pointer);
struct test_entry {
    test_predicate fct;
    const char* kind;
};

bool tst_any(pointer) { return true; }
bool tst_string(pointer p) { return type(p) == T_STRING; }
bool tst_symbol(pointer p) { return type(p) == T_SYMBOL; }
bool tst_port(pointer p) { return type(p) == T_PORT; }
bool tst_environment(pointer p) { return type(p) == T_ENVIRONMENT; }
bool tst_pair(pointer p) { return type(p) == T_PAIR; }
bool tst_character(pointer p) { return type(p) == T_CHARACTER; }
bool tst_vector(pointer p) { return type(p) == T_VECTOR; }
bool tst_number(pointer p) { return type(p) == T_NUMBER; }
bool tst_integer(pointer p) { return type(p) == T_NUMBER && numref(p).num_type == NUM_INTEGER; }
bool tst_natural(pointer p) { return tst_integer(p) && ivalue_unchecked(p) >= 0; }
bool tst_cptr(pointer p) { return type(p) == T_CPTR; }
bool tst_objc(pointer p) { return type(p) == T_OBJC; }

enum : char { TST_ANY_C = 1, TST_INPORT_C = 5, TST_OUTPORT_C = 6, TST_PAIR_C = 8, TST_LIST_C = 9, TST_NUMBER_C = 12 };

// Codes 5, 6 and 9 have no predicate here: the loop tests them itself.
const test_entry tests[] = {
    {nullptr, nullptr},          {tst_any, nullptr},         {tst_string, "string"},
    {tst_symbol, "symbol"},      {tst_port, "port"},         {nullptr, "input port"},
    {nullptr, "output_port"},    {tst_environment, "environment"}, {tst_pair, "pair"},
    {nullptr, "pair or '()"},    {tst_character, "character"}, {tst_vector, "vector"},
    {tst_number, "number"},      {tst_integer, "integer"},   {tst_natural, "non-negative integer"},
    {tst_cptr, "cptr"},          {tst_objc, "objc"},
};

}  // namespace

#define TST_NONE nullptr
#define TST_ANY "\001"
#define TST_STRING "\002"
#define TST_SYMBOL "\003"
#define TST_PORT "\004"
#define TST_INPORT "\005"
#define TST_OUTPORT "\006"
#define TST_ENVIRONMENT "\007"
#define TST_PAIR "\010"
#define TST_LIST "\011"
#define TST_CHAR "\012"
#define TST_VECTOR "\013"
#define TST_NUMBER "\014"
#define TST_INTEGER "\015"
#define TST_NATURAL "\016"
#define TST_CPTR "\017"
#define TST_OBJC "\020"

#define INTERNAL(f) {f, nullptr, 0, 0, TST_NONE}

const op_code_info dispatch_table[OP_LAST_INTERNAL + 2] = {
    {opexe_0, "load", 1, 1, TST_STRING},                          // 0
    INTERNAL(opexe_0), INTERNAL(opexe_0), INTERNAL(opexe_0),      // 1-3
    {opexe_0, "gensym", 0, 0, TST_NONE},                          // 4
    INTERNAL(opexe_0), INTERNAL(opexe_0), INTERNAL(opexe_0), INTERNAL(opexe_0), INTERNAL(opexe_0),
    INTERNAL(opexe_0), INTERNAL(opexe_0),                         // 5-11
    {opexe_0, "tracing", 1, 1, TST_NATURAL},                      // 12
    INTERNAL(opexe_0), INTERNAL(opexe_0),                         // 13-14
    {opexe_0, "make-closure", 1, 2, TST_PAIR TST_ENVIRONMENT},    // 15
    INTERNAL(opexe_0), INTERNAL(opexe_0), INTERNAL(opexe_0),      // 16-18
    {opexe_0, "defined?", 1, 2, TST_SYMBOL TST_ENVIRONMENT},      // 19
    INTERNAL(opexe_0), INTERNAL(opexe_0), INTERNAL(opexe_0), INTERNAL(opexe_0), INTERNAL(opexe_0),
    INTERNAL(opexe_0), INTERNAL(opexe_0), INTERNAL(opexe_0), INTERNAL(opexe_0), INTERNAL(opexe_0),
    INTERNAL(opexe_0),                                            // 20-30
    INTERNAL(opexe_1), INTERNAL(opexe_1), INTERNAL(opexe_1), INTERNAL(opexe_1), INTERNAL(opexe_1),
    INTERNAL(opexe_1), INTERNAL(opexe_1), INTERNAL(opexe_1), INTERNAL(opexe_1), INTERNAL(opexe_1),
    INTERNAL(opexe_1), INTERNAL(opexe_1), INTERNAL(opexe_1), INTERNAL(opexe_1), INTERNAL(opexe_1),
    INTERNAL(opexe_1), INTERNAL(opexe_1),                         // 31-47
    {opexe_1, "eval", 1, 2, TST_ANY TST_ENVIRONMENT},             // 48
    {opexe_1, "apply", 1, INF_ARG, TST_NONE},                     // 49
    {opexe_1, "call-with-current-continuation", 1, 1, TST_NONE},  // 50
    {opexe_2, "inexact->exact", 1, 1, TST_NUMBER},
    {opexe_2, "exp", 1, 1, TST_NUMBER},
    {opexe_2, "log", 1, 1, TST_NUMBER},
    {opexe_2, "sin", 1, 1, TST_NUMBER},
    {opexe_2, "cos", 1, 1, TST_NUMBER},
    {opexe_2, "tan", 1, 1, TST_NUMBER},
    {opexe_2, "asin", 1, 1, TST_NUMBER},
    {opexe_2, "acos", 1, 1, TST_NUMBER},
    {opexe_2, "atan", 1, 2, TST_NUMBER},
    {opexe_2, "sqrt", 1, 1, TST_NUMBER},
    {opexe_2, "expt", 2, 2, TST_NUMBER},
    {opexe_2, "floor", 1, 1, TST_NUMBER},
    {opexe_2, "ceiling", 1, 1, TST_NUMBER},
    {opexe_2, "truncate", 1, 1, TST_NUMBER},
    {opexe_2, "round", 1, 1, TST_NUMBER},
    {opexe_2, "+", 0, INF_ARG, TST_NUMBER},
    {opexe_2, "-", 1, INF_ARG, TST_NUMBER},
    {opexe_2, "*", 0, INF_ARG, TST_NUMBER},
    {opexe_2, "/", 1, INF_ARG, TST_NUMBER},
    {opexe_2, "quotient", 1, INF_ARG, TST_INTEGER},
    {opexe_2, "remainder", 2, 2, TST_INTEGER},
    {opexe_2, "modulo", 2, 2, TST_NUMBER},
    {opexe_2, "car", 1, 1, TST_PAIR},
    {opexe_2, "cdr", 1, 1, TST_PAIR},
    {opexe_2, "cons", 2, 2, TST_NONE},
    {opexe_2, "set-car!", 2, 2, TST_PAIR TST_ANY},
    {opexe_2, "set-cdr!", 2, 2, TST_PAIR TST_ANY},
    {opexe_2, "char->integer", 1, 1, TST_CHAR},
    {opexe_2, "integer->char", 1, 1, TST_NATURAL},
    {opexe_2, "char-upcase", 1, 1, TST_CHAR},
    {opexe_2, "char-downcase", 1, 1, TST_CHAR},
    {opexe_2, "symbol->string", 1, 1, TST_SYMBOL},
    {opexe_2, "atom->string", 1, 1, TST_ANY},
    {opexe_2, "string->symbol", 1, 1, TST_STRING},
    {opexe_2, "string->atom", 1, 1, TST_STRING},
    {opexe_2, "make-string", 1, 2, TST_NATURAL TST_CHAR},
    {opexe_2, "string-length", 1, 1, TST_STRING},
    {opexe_2, "string-ref", 2, 2, TST_STRING TST_NATURAL},
    {opexe_2, "string-set!", 3, 3, TST_STRING TST_NATURAL TST_CHAR},
    {opexe_2, "string-append", 0, INF_ARG, TST_STRING},
    {opexe_2, "substring", 2, 3, TST_STRING TST_NATURAL},
    {opexe_2, "vector", 0, INF_ARG, TST_NONE},
    {opexe_2, "make-vector", 1, 2, TST_NATURAL TST_ANY},
    {opexe_2, "vector-length", 1, 1, TST_VECTOR},
    {opexe_2, "vector-ref", 2, 2, TST_VECTOR TST_NATURAL},
    {opexe_2, "vector-set!", 3, 3, TST_VECTOR TST_NATURAL TST_ANY},  // 96
    {opexe_3, "not", 1, 1, TST_NONE},
    {opexe_3, "boolean?", 1, 1, TST_NONE},
    {opexe_3, "eof-object?", 1, 1, TST_NONE},
    {opexe_3, "null?", 1, 1, TST_NONE},
    {opexe_3, "=", 2, INF_ARG, TST_NUMBER},
    {opexe_3, "<", 2, INF_ARG, TST_NUMBER},
    {opexe_3, ">", 2, INF_ARG, TST_NUMBER},
    {opexe_3, "<=", 2, INF_ARG, TST_NUMBER},
    {opexe_3, ">=", 2, INF_ARG, TST_NUMBER},
    {opexe_3, "symbol?", 1, 1, TST_ANY},
    {opexe_3, "number?", 1, 1, TST_ANY},
    {opexe_3, "string?", 1, 1, TST_ANY},
    {opexe_3, "integer?", 1, 1, TST_ANY},
    {opexe_3, "real?", 1, 1, TST_ANY},
    {opexe_3, "rational?", 1, 1, TST_ANY},
    {opexe_3, "char?", 1, 1, TST_ANY},
    {opexe_3, "char-alphabetic?", 1, 1, TST_CHAR},
    {opexe_3, "char-numeric?", 1, 1, TST_CHAR},
    {opexe_3, "char-whitespace?", 1, 1, TST_CHAR},
    {opexe_3, "char-upper-case?", 1, 1, TST_CHAR},
    {opexe_3, "char-lower-case?", 1, 1, TST_CHAR},
    {opexe_3, "port?", 1, 1, TST_ANY},
    {opexe_3, "input-port?", 1, 1, TST_ANY},
    {opexe_3, "output-port?", 1, 1, TST_ANY},
    {opexe_3, "procedure?", 1, 1, TST_ANY},
    {opexe_3, "pair?", 1, 1, TST_ANY},
    {opexe_3, "list?", 1, 1, TST_ANY},
    {opexe_3, "environment?", 1, 1, TST_ANY},
    {opexe_3, "vector?", 1, 1, TST_ANY},
    {opexe_3, "cptr?", 1, 1, TST_ANY},
    {opexe_3, "objc?", 1, 1, TST_ANY},
    {opexe_3, "eq?", 2, 2, TST_ANY},
    {opexe_3, "eqv?", 2, 2, TST_ANY},  // 129
    {opexe_4, "force", 1, 1, TST_ANY},
    INTERNAL(opexe_4),  // 131
    {opexe_4, "write", 1, 2, TST_ANY TST_OUTPORT},
    {opexe_4, "write-char", 1, 2, TST_CHAR TST_OUTPORT},
    {opexe_4, "display", 1, 2, TST_ANY TST_OUTPORT},
    {opexe_4, "newline", 0, 1, TST_OUTPORT},
    {opexe_4, "error", 1, INF_ARG, TST_NONE},
    INTERNAL(opexe_4),  // 137: unused since the error report is composed in one step
    {opexe_4, "reverse", 1, 1, TST_PAIR},
    {opexe_4, "list*", 1, INF_ARG, TST_NONE},
    {opexe_4, "append", 0, INF_ARG, TST_NONE},
    {opexe_4, "put", 3, 3, TST_NONE},
    {opexe_4, "get", 2, 2, TST_NONE},
    {opexe_4, "quit", 0, 1, TST_NUMBER},
    {opexe_4, "gc", 0, 0, TST_NONE},
    {opexe_4, "gc-verbose", 0, 1, TST_NONE},
    {opexe_4, "new-segment", 0, 1, TST_NUMBER},
    {opexe_4, "oblist", 0, 0, TST_NONE},
    {opexe_4, "current-input-port", 0, 0, TST_NONE},
    {opexe_4, "current-output-port", 0, 0, TST_NONE},
    {opexe_4, "open-input-file", 1, 1, TST_STRING},
    {opexe_4, "open-output-file", 1, 1, TST_STRING},
    {opexe_4, "open-input-output-file", 1, 1, TST_STRING},
    {opexe_4, "open-input-string", 1, 1, TST_STRING},
    {opexe_4, "open-output-string", 1, 1, TST_STRING},
    {opexe_4, "open-input-output-string", 1, 1, TST_STRING},
    {opexe_4, "close-input-port", 1, 1, TST_INPORT},
    {opexe_4, "close-output-port", 1, 1, TST_OUTPORT},
    {opexe_4, "interaction-environment", 0, 0, TST_NONE},
    {opexe_4, "current-environment", 0, 0, TST_NONE},  // 159
    {opexe_5, "read", 0, 1, TST_INPORT},
    {opexe_5, "read-char", 0, 1, TST_INPORT},
    {opexe_5, "peek-char", 0, 1, TST_INPORT},
    {opexe_5, "char-ready?", 0, 1, TST_INPORT},
    {opexe_5, "set-input-port", 1, 1, TST_INPORT},
    {opexe_5, "set-output-port", 1, 1, TST_OUTPORT},  // 165
    INTERNAL(opexe_5), INTERNAL(opexe_5), INTERNAL(opexe_5), INTERNAL(opexe_5), INTERNAL(opexe_5),
    INTERNAL(opexe_5), INTERNAL(opexe_5), INTERNAL(opexe_5), INTERNAL(opexe_5), INTERNAL(opexe_5),
    INTERNAL(opexe_5), INTERNAL(opexe_5),  // 166-177
    {opexe_6, "length", 1, 1, TST_LIST},
    {opexe_6, "assq", 2, 2, TST_NONE},
    {opexe_6, "get-closure-code", 1, 1, TST_NONE},
    {opexe_6, "closure?", 1, 1, TST_NONE},
    {opexe_6, "macro?", 1, 1, TST_NONE},  // 182
    INTERNAL(opexe_5), INTERNAL(opexe_5),  // 183-184: restoring the current ports after a port argument
    INTERNAL(opexe_0),                     // 185: returning from *error-hook*
    {nullptr, nullptr, 0, 0, TST_NONE},
};

// ---- the dump --------------------------------------------------------------------------------------------------
namespace {
constexpr int DUMP_INITIAL_FRAMES = 256;
// Beyond this depth the cells would be exhausted anyway; refusing it keeps a runaway recursion finite.
constexpr int DUMP_MAX_FRAMES = CELL_SEGSIZE * CELL_NSEGMENT;
}  // namespace

bool dump_reserve(scheme* sc, int frames) {
    if (frames <= sc->dump_capacity) return true;
    if (frames > DUMP_MAX_FRAMES) return false;
    long want = std::max<long>(DUMP_INITIAL_FRAMES, sc->dump_capacity);
    while (want < frames) want *= 2;
    want = std::min<long>(want, DUMP_MAX_FRAMES);
    auto* bigger = static_cast<dump_frame*>(sc->alloc_fn(sizeof(dump_frame) * static_cast<size_t>(want)));
    if (!bigger) return false;
    if (sc->dump_base) {
        std::copy(sc->dump_base, sc->dump_base + sc->dump_size, bigger);
        sc->free_fn(sc->dump_base);
    }
    sc->dump_base = bigger;
    sc->dump_capacity = static_cast<int>(want);
    return true;
}

void dump_reset(scheme* sc) {
    sc->dump_size = 0;
    // A deep recursion leaves a large stack behind; give it back rather than hold it for ever.
    if (sc->dump_capacity > 64 * DUMP_INITIAL_FRAMES) {
        sc->free_fn(sc->dump_base);
        sc->dump_base = nullptr;
        sc->dump_capacity = 0;
        dump_reserve(sc, DUMP_INITIAL_FRAMES);
    }
}

// ---- list helpers ----------------------------------------------------------------------------------------------

pointer reverse_in_place(scheme* sc, pointer term, pointer list) {
    pointer p = list, result = term;
    while (p != sc->NIL) {
        pointer q = cdr(p);
        cdr_ref(p) = result;
        result = p;
        p = q;
    }
    return result;
}

pointer reverse(scheme* sc, pointer a) {
    // Roots: `a` and the copy so far are passed to every allocation.
    pointer p = sc->NIL;
    for (; is_pair_fast(a); a = cdr(a)) p = cons_fast(sc, car(a), p);
    return p;
}

int list_length(scheme* sc, pointer a) {
    int i = 0;
    pointer slow = a, fast = a;
    for (;;) {
        if (fast == sc->NIL) return i;
        if (!is_pair_fast(fast)) return -1;
        fast = cdr(fast);
        ++i;
        if (fast == sc->NIL) return i;
        if (!is_pair_fast(fast)) return -1;
        fast = cdr(fast);
        ++i;
        slow = cdr(slow);
        if (fast == slow) return -1;  // circular: not a list, and the walk must end
    }
}

pointer vector_from_list(scheme* sc, pointer list) {
    int len = list_length(sc, list);
    if (len < 0) return sc->F;
    protect_cell(sc, list);
    pointer vec = mk_vector(sc, len);
    unprotect_cell(sc, list);
    if (vec == sc->F) return vec;
    for (int i = 0; is_pair_fast(list); list = cdr(list), ++i) set_elem_of(vec, i, car(list));
    return vec;
}

// ---- the cycle -------------------------------------------------------------------------------------------------
namespace {

// The commonest tests come first as plain branches: a jump through a table here is mispredicted often.
inline bool test_argument(scheme* sc, char code, pointer arg) {
    if (code == TST_NUMBER_C) return type(arg) == T_NUMBER;
    if (code == TST_PAIR_C) return type(arg) == T_PAIR;
    if (code == TST_ANY_C) return true;
    switch (code) {
    case TST_INPORT_C: return type(arg) == T_PORT && (portvalue(arg)->kind & port_input);
    case TST_OUTPORT_C: return type(arg) == T_PORT && (portvalue(arg)->kind & port_output);
    case TST_LIST_C: return arg == sc->NIL || type(arg) == T_PAIR;
    default: return tests[static_cast<int>(code)].fct(arg);
    }
}

void log_argument_failure(scheme* sc, const char* name, int i, const char* kind) {
    if (!devlog_enabled()) return;  // the renderings are costly; only build them for a reader
    std::ostringstream os;
    os << "ERROR: " << name << ": argument " << i << " must be " << kind << "  args: ";
    printSchemeCell(sc, os, sc->args, false);
    os << "\n --- dump stack ------\n";
    printSchemeCell(sc, os, dump_as_list(sc), false);
    os << "\n ---- Code ----- \n";
    printSchemeCell(sc, os, sc->code, false);
    os << "\n ---- Environ ---- \n";
    printSchemeCell(sc, os, sc->envir, false);
    devlog("%s", os.str().c_str());
}

const char* arity_error(const op_code_info* pcd, int n, char* msg, size_t size) {
    if (n < pcd->min_arity) {
        std::snprintf(msg, size, "%s: needs%s %d argument(s)", pcd->name,
                      pcd->min_arity == pcd->max_arity ? "" : " at least", pcd->min_arity);
        devlog("PROBLEM HERE A? ");
        return msg;
    }
    if (pcd->max_arity != INF_ARG && n > pcd->max_arity) {  // 65535 stands for no limit
        std::snprintf(msg, size, "%s: needs%s %d argument(s)", pcd->name,
                      pcd->min_arity == pcd->max_arity ? "" : " at most", pcd->max_arity);
        devlog("PROBLEM HERE B? ");
        return msg;
    }
    return nullptr;
}

const char* type_error(scheme* sc, const op_code_info* pcd, int i, char code, char* msg, size_t size) {
    const char* kind = tests[static_cast<int>(code)].kind;
    std::snprintf(msg, size, "%s: argument %d must be: %s", pcd->name, i, kind);
    log_argument_failure(sc, pcd->name, i, kind);
    return msg;
}

// Checks a primitive's arguments against its row; returns the error message or nullptr. A count that is wrong is
// reported before a type that is.
const char* check_arguments(scheme* sc, const op_code_info* pcd, char* msg, size_t size) {
    const char* t = pcd->arg_tests_encoding;
    if (sc->args == sc->fresh_args) {
        // A list eval_args made is proper and short: counted and tested in one pass.
        int n = 0, bad = 0;
        char bad_code = 0;
        for (pointer arglist = sc->args; arglist != sc->NIL; arglist = cdr(arglist)) {
            ++n;
            if (!t) continue;
            if (bad == 0 && !test_argument(sc, *t, car(arglist))) {
                bad = n;
                bad_code = *t;
            }
            if (t[1] != 0) ++t;  // the last test repeats for the remaining arguments
        }
        if (const char* err = arity_error(pcd, n, msg, size)) return err;
        return bad ? type_error(sc, pcd, bad, bad_code, msg, size) : nullptr;
    }
    if (const char* err = arity_error(pcd, list_length(sc, sc->args), msg, size)) return err;
    if (!t) return nullptr;
    int i = 0;
    for (pointer arglist = sc->args; arglist != sc->NIL; arglist = cdr(arglist)) {
        ++i;
        if (!test_argument(sc, *t, car(arglist))) return type_error(sc, pcd, i, *t, msg, size);
        if (t[1] != 0) ++t;
    }
    return nullptr;
}

}  // namespace

namespace {
// The numeric, pair, character, string, vector and predicate primitives read their arguments and keep none of the
// list's own cells, nor return one.
bool keeps_no_argument_cell(int op) { return op >= OP_INEXACT_TO_EXACT && op <= OP_EQV; }

// An interrupt ends the evaluation like an error without a hook: a hook could resume the runaway code.
bool take_interrupt(scheme* sc) {
    if (sc->interrupt.load(std::memory_order_relaxed) == 0) return false;
    sc->interrupt.store(0, std::memory_order_relaxed);
    CPPBridge::error("interrupted");
    sc->args = cons_fast(sc, mk_string(sc, "interrupted"), sc->NIL);
    sc->op = OP_ERR0;
    return true;
}

// Exhausted memory ends the evaluation as an error. The report is written without a cell: there are none to be had.
// The next entry drops the runaway computation and collects (see embed.cpp).
void report_no_memory(scheme* sc) {
    CPPBridge::error("No memory!");
    devlog(" NO MEMORY ERROR ");
    std::fputs("No memory!\n", stderr);
    sc->retcode = -1;
    if (type(sc->entry_outport) == T_PORT) sc->outport = sc->entry_outport;
    static const char report[] = "Error: No memory! \n";
    put_report(sc, report, sizeof report - 1);
}
}  // namespace

pointer run_primitive(scheme* sc) {
    const op_code_info* pcd = dispatch_table + sc->op;
    char msg[STRBUFFSIZE];
    if (const char* err = check_arguments(sc, pcd, msg, sizeof msg)) {
        devlog("GENERAL EVAL ERROR !!!");
        return _Error_1(sc, err, nullptr);
    }
    if (sc->args != sc->fresh_args || !keeps_no_argument_cell(sc->op)) {
        sc->fresh_args = sc->NIL;
        return pcd->func(sc, sc->op);
    }
    pointer spent = sc->args;
    pointer more = pcd->func(sc, sc->op);
    // An error in the primitive clears fresh_args: its report may still show them.
    if (sc->fresh_args == spent && !sc->no_memory) recycle_list(sc, spent);
    sc->fresh_args = sc->NIL;
    return more;
}

void Eval_Cycle(scheme* sc, int op) {
    sc->op = op;
    for (;;) {
        take_interrupt(sc);
        if (sc->op < 0 || sc->op > OP_LAST_INTERNAL) {
            std::snprintf(sc->strbuff, STRBUFFSIZE, "%d: illegal operator", sc->op);
            if (Error_0(sc, sc->strbuff) == sc->NIL) return;
        }
        const op_code_info* pcd = dispatch_table + sc->op;
        pointer more = pcd->name ? run_primitive(sc) : pcd->func(sc, sc->op);
        // Checked before the end of the cycle too: the step that ran out may have been the last one.
        if (sc->no_memory) {
            report_no_memory(sc);
            return;
        }
        if (more == sc->NIL) return;
    }
}

pointer illegal_operator(scheme* sc, int op) {
    std::snprintf(sc->strbuff, STRBUFFSIZE, "%d: illegal operator", op);
    return Error_0(sc, sc->strbuff);
}

}  // namespace omb
