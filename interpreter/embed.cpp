// Creating and destroying instances, running code, and the checked readers native code uses.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "numbers.h"
#include "platform/exception.h"
#include "platform/log_bridge.h"
#include "platform/objects/object.h"
#include "scheme_private.h"

namespace omb {

namespace {

const char* const syntax_names[] = {"lambda", "quote", "define", "if", "begin", "set!", "let", "let*",
                                    "letrec", "cond", "delay", "and", "or", "cons-stream", "macro", "case"};

void setup_special_cell(pointer c, pointer self_or_nil, bool self) {
    c->_flag = T_ATOM | MARK;
    c->_hash = 0;
    car_ref(c) = self ? c : self_or_nil;
    cdr_ref(c) = self ? c : self_or_nil;
}

void release_segments(scheme* sc) {
    for (int i = 0; i <= sc->last_cell_seg; ++i) sc->free_fn(sc->alloc_seg[i]);
    sc->last_cell_seg = -1;
}

[[noreturn]] void incorrect(const char* reason) { throw PlatformException("IncorrectSchemeOBJ", reason); }

// The port record of a load lives inside the instance: its cell must never finalise it.
void retire_if_load_port(scheme* sc, pointer p) {
    if (p && type(p) == T_PORT && portvalue(p) >= sc->load_stack && portvalue(p) < sc->load_stack + MAXFIL)
        p->_flag = T_ATOM;
}

// A load that ended in an error leaves the files of its nested loads open: they are the instance's to close.
void close_nested_loads(scheme* sc) {
    for (int i = 1; i <= sc->file_i && i < MAXFIL; ++i)
        if ((sc->load_stack[i].kind & port_file) && sc->load_stack[i].rep.stdio.file) {
            std::fclose(sc->load_stack[i].rep.stdio.file);
            sc->load_stack[i].rep.stdio.file = nullptr;
        }
    sc->file_i = 0;
}

// Any other exception leaves the cycle half way through. The instance is put back in a state the next entry can
// use (nested loads closed, the load port retired, the collector on, output back on the entry's port) before
// the exception goes on to the caller, who reports it.
void recover_from_native_exception(scheme* sc) {
    close_nested_loads(sc);
    retire_if_load_port(sc, sc->loadport);
    retire_if_load_port(sc, sc->inport);
    sc->gc_enabled = 1;
    if (sc->entry_outport != sc->NIL) sc->outport = sc->entry_outport;
    sc->retcode = -1;
}

// A quarter of physical memory: several instances may run side by side, and the machine has other work.
size_t default_string_limit() {
    long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return SIZE_MAX;
    return static_cast<size_t>(pages) * static_cast<size_t>(page_size) / 4;
}

// Runs the cycle; a wrong-type access by native code ends the evaluation with its reason in the log.
void run_guarded(scheme* sc, int op) {
    try {
        Eval_Cycle(sc, op);
    } catch (const PlatformException& e) {
        CPPBridge::error_text(e.reason());
    } catch (...) {
        recover_from_native_exception(sc);
        throw;
    }
}

// After "No memory!" the registers still hold the runaway computation; dropping it and collecting makes the
// instance usable again, so the flag does not stay set for ever.
void recover_from_exhaustion(scheme* sc) {
    if (!sc->no_memory) return;
    dump_reset(sc);
    sc->args = sc->code = sc->value = sc->NIL;
    sc->envir = sc->global_env;  // the runaway's frames hold its data too
    sc->copy_scratch_a = sc->copy_scratch_b = sc->NIL;
    sc->no_memory = 0;
    gc(sc, sc->NIL, sc->NIL);
    if (sc->free_count < CELL_MINRECOVER && alloc_cellseg(sc, 1) == 0 && sc->free_cell == sc->NIL) sc->no_memory = 1;
}

void prepare_entry(scheme* sc) {
    recover_from_exhaustion(sc);
    dump_reset(sc);
    sc->fresh_args = sc->NIL;  // an evaluation cut short may have left them
    sc->eval_nesting = 0;
    sc->envir = sc->global_env;
    sc->retcode = 0;
    sc->interactive_repl = 0;
    sc->entry_outport = sc->outport;
}

// The load port is a record inside the instance; once the load is done its cell must never finalise it.
void retire_load_port(scheme* sc) { sc->loadport->_flag = T_ATOM; }

}  // namespace

int scheme_init_custom_alloc(scheme* sc, func_alloc malloc_fn, func_dealloc free_fn) {
    std::memset(static_cast<void*>(sc), 0, sizeof *sc);
    sc->vptr = &vtbl;
    sc->gensym_counter = 0;
    sc->last_cell_seg = -1;
    sc->alloc_fn = malloc_fn;
    sc->free_fn = free_fn;
    sc->sink = &sc->_sink;
    sc->NIL = &sc->_NIL;
    sc->T = &sc->_HASHT;
    sc->F = &sc->_HASHF;
    sc->EOF_OBJ = &sc->_EOF_OBJ;
    setup_special_cell(sc->NIL, nullptr, true);
    setup_special_cell(sc->T, nullptr, true);
    setup_special_cell(sc->F, nullptr, true);
    setup_special_cell(sc->EOF_OBJ, sc->NIL, false);
    setup_special_cell(sc->sink, sc->NIL, false);
    sc->free_cell = sc->NIL;
    sc->string_limit = default_string_limit();
    sc->string_collect_at = STRING_COLLECT_FLOOR;
    sc->inport = sc->outport = sc->save_inport = sc->loadport = sc->NIL;
    sc->args = sc->envir = sc->code = sc->value = sc->NIL;
    sc->last_called = sc->copy_scratch_a = sc->copy_scratch_b = sc->entry_outport = sc->fresh_args = sc->NIL;
    sc->protected_cells = new std::multiset<pointer>();
    sc->builtin_names = new std::set<const char*, CharPtrLess>();
    sc->name_signatures = new std::map<const char*, const std::string, CharPtrLess>();
    sc->value_names = new std::map<pointer, pointer>();
    sc->mark_stack = static_cast<pointer*>(malloc_fn(sizeof(pointer) * MARK_STACK_SIZE));
    sc->mark_stack_capacity = MARK_STACK_SIZE;
    sc->global_cache = static_cast<global_cache_entry*>(malloc_fn(sizeof(global_cache_entry) * GLOBAL_CACHE_SIZE));
    if (sc->global_cache) std::fill_n(sc->global_cache, GLOBAL_CACHE_SIZE, global_cache_entry{});
    if (!sc->mark_stack || !sc->global_cache || !make_shared_atoms(sc) || !dump_reserve(sc, 256) ||
        alloc_cellseg(sc, 3) != 3) {
        sc->no_memory = 1;
        return 0;
    }
    sc->gc_enabled = 1;

    oblist_init(sc);
    new_frame_in_env(sc, sc->NIL);
    sc->global_env = sc->envir;
    new_slot_in_env(sc, mk_symbol(sc, "else"), sc->T);
    for (const char* name : syntax_names) {
        pointer keyword = oblist_add_by_name(sc, name);
        keyword->_flag |= T_SYNTAX | static_cast<uint32_t>(syntaxnum(keyword) - OP_LAMBDA) << SYNTAX_OP_SHIFT;
        sc->builtin_names->insert(name);
    }
    for (int i = 0; i < OP_MAXDEFINED; ++i) {
        const char* name = dispatch_table[i].name;
        if (!name) continue;
        new_slot_in_env(sc, mk_symbol(sc, name), mk_proc(sc, i));
        sc->builtin_names->insert(name);
    }
    sc->sym_lambda = mk_symbol(sc, "lambda");
    sc->sym_quote = mk_symbol(sc, "quote");
    sc->sym_quasiquote = mk_symbol(sc, "quasiquote");
    sc->sym_unquote = mk_symbol(sc, "unquote");
    sc->sym_unquote_splicing = mk_symbol(sc, "unquote-splicing");
    sc->sym_feed_to = mk_symbol(sc, "=>");
    sc->sym_colon_hook = mk_symbol(sc, "*colon-hook*");
    sc->sym_error_hook = mk_symbol(sc, "*error-hook*");
    sc->sym_sharp_hook = mk_symbol(sc, "*sharp-hook*");
    return !sc->no_memory;
}

int scheme_init(scheme* sc) { return scheme_init_custom_alloc(sc, std::malloc, std::free); }

scheme* ombrel_scheme_init_new() { return static_cast<scheme*>(std::malloc(sizeof(scheme))); }

scheme* scheme_init_new_custom_alloc(func_alloc malloc_fn, func_dealloc free_fn) {
    auto* sc = static_cast<scheme*>(malloc_fn(sizeof(scheme)));
    if (!sc) return nullptr;
    if (!scheme_init_custom_alloc(sc, malloc_fn, free_fn)) {
        scheme_deinit(sc);
        free_fn(sc);
        return nullptr;
    }
    return sc;
}

scheme* scheme_init_new() { return scheme_init_new_custom_alloc(std::malloc, std::free); }

void scheme_deinit(scheme* sc) {
    sc->oblist = sc->global_env = sc->envir = sc->code = sc->args = sc->value = sc->NIL;
    sc->dump_size = 0;
    // A port cell whose record lies in the load stack must not free it; any other port is finalised normally.
    for (pointer p : {sc->inport, sc->save_inport, sc->loadport}) {
        if (p && type(p) == T_PORT && portvalue(p) >= sc->load_stack && portvalue(p) < sc->load_stack + MAXFIL)
            p->_flag = T_ATOM;
    }
    sc->inport = sc->outport = sc->save_inport = sc->loadport = sc->NIL;
    sc->copy_scratch_a = sc->copy_scratch_b = sc->last_called = sc->entry_outport = sc->NIL;
    // Nothing outlives the instance: protected cells are dropped so the last collection finalises everything.
    if (sc->protected_cells) sc->protected_cells->clear();
    sc->gc_verbose = 0;
    sc->gc_enabled = 1;
    if (sc->mark_stack && sc->last_cell_seg >= 0) gc(sc, sc->NIL, sc->NIL);
    for (int i = 1; i <= sc->file_i; ++i)
        if ((sc->load_stack[i].kind & port_file) && sc->load_stack[i].rep.stdio.file)
            std::fclose(sc->load_stack[i].rep.stdio.file);
    sc->file_i = 0;
    release_segments(sc);
    delete sc->protected_cells;
    delete sc->builtin_names;
    delete sc->name_signatures;
    delete sc->value_names;
    sc->protected_cells = nullptr;
    sc->builtin_names = nullptr;
    sc->name_signatures = nullptr;
    sc->value_names = nullptr;
    if (sc->mark_stack) sc->free_fn(sc->mark_stack);
    if (sc->dump_base) sc->free_fn(sc->dump_base);
    if (sc->shared_atoms) sc->free_fn(sc->shared_atoms);
    if (sc->global_cache) sc->free_fn(sc->global_cache);
    sc->shared_atoms = nullptr;
    sc->global_cache = nullptr;
    if (sc->last_loaded_text) sc->free_fn(sc->last_loaded_text);
    sc->last_loaded_text = nullptr;
    sc->mark_stack = nullptr;
    sc->dump_base = nullptr;
    sc->dump_capacity = 0;
}

void scheme_set_external_data(scheme* sc, void* p) { sc->external_data = p; }

// ---- running code ----------------------------------------------------------------------------------------------

namespace {
// Reads and evaluates every datum of the level-0 load port `base` describes; an interactive load carries on
// after an error.
void load_from(scheme* sc, const port& base, bool interactive) {
    prepare_entry(sc);
    sc->interactive_repl = interactive;
    sc->file_i = 0;
    sc->load_stack[0] = base;
    sc->loaded_data = 0;
    sc->value = sc->NIL;  // a text without a datum has no value, not the last one's
    sc->loadport = mk_port(sc, &sc->load_stack[0]);
    sc->inport = sc->loadport;
    sc->args = mk_integer(sc, sc->file_i);
    run_guarded(sc, OP_TOPLEVEL);
    close_nested_loads(sc);
    retire_load_port(sc);
}

void remember_loaded_text(scheme* sc, const char* cmd) {
    if (sc->last_loaded_text) sc->free_fn(sc->last_loaded_text);
    size_t n = std::strlen(cmd);
    sc->last_loaded_text = static_cast<char*>(sc->alloc_fn(n + 1));
    if (sc->last_loaded_text) std::memcpy(sc->last_loaded_text, cmd, n + 1);
}
}  // namespace

void scheme_load_file(scheme* sc, FILE* fin) {
    port base{};
    base.kind = port_file | port_input;
    base.rep.stdio.file = fin;
    load_from(sc, base, fin == stdin);
}

void scheme_load_string(scheme* sc, const char* cmd) {
    remember_loaded_text(sc, cmd);
    port base{};
    base.kind = port_string | port_input;
    base.rep.string.start = const_cast<char*>(cmd);  // only read
    base.rep.string.curr = base.rep.string.start;
    base.rep.string.past_the_end = base.rep.string.start + std::strlen(cmd);
    load_from(sc, base, false);
}

void scheme_call(scheme* sc, pointer func, pointer args) {
    prepare_entry(sc);
    sc->args = args;
    sc->code = func;
    sc->last_called = func;
    run_guarded(sc, OP_APPLY);
}

void scheme_apply0(scheme* sc, const char* procname) {
    prepare_entry(sc);
    sc->code = s_cons(sc, mk_symbol(sc, procname), sc->NIL);
    run_guarded(sc, OP_EVAL);
}

pointer scheme_dump_as_list(scheme* sc) { return dump_as_list(sc); }

pointer scheme_read(scheme* sc) {
    prepare_entry(sc);
    sc->value = sc->NIL;
    run_guarded(sc, OP_TOPLEVEL_READ);
    return sc->value;
}

void scheme_print(scheme* sc, pointer x, bool write) {
    prepare_entry(sc);
    sc->print_flag = write ? 1 : 0;
    sc->args = x;
    run_guarded(sc, OP_P0LIST);
}

// ---- checked readers -------------------------------------------------------------------------------------------

int is_string(pointer p) { return type(p) == T_STRING; }
char* string_value(pointer p) {
    if (type(p) != T_STRING) incorrect("Attempting to return a string from a non-string obj");
    return strvalue(p);
}
int is_number(pointer p) { return type(p) == T_NUMBER; }
num nvalue(pointer p) { return p->_object._number; }
int64_t ivalue(pointer p) { return num_ivalue(p->_object._number); }
double rvalue(pointer p) { return num_rvalue(p->_object._number); }
int is_integer(pointer p) { return type(p) == T_NUMBER && numref(p).num_type == NUM_INTEGER; }
int is_real(pointer p) { return type(p) == T_NUMBER && numref(p).num_type == NUM_REAL; }
int is_rational(pointer p) { return type(p) == T_NUMBER && numref(p).num_type == NUM_RATIONAL; }
int is_character(pointer p) { return type(p) == T_CHARACTER; }
int64_t charvalue(pointer p) {
    if (type(p) != T_CHARACTER) incorrect("Attempting to return a character from a non-character obj");
    return ivalue_unchecked(p);
}
int is_vector(pointer p) { return type(p) == T_VECTOR; }
int64_t vector_length(pointer p) { return ivalue_unchecked(p); }
int is_port(pointer p) { return type(p) == T_PORT; }
int is_pair(pointer p) { return type(p) == T_PAIR; }
pointer pair_car(pointer p) {
    if (type(p) != T_PAIR) incorrect("Attempting to access the car of a primitive");
    return car(p);
}
pointer pair_cdr(pointer p) {
    if (type(p) != T_PAIR) incorrect("Attempting to access the cdr of a primitive");
    return cdr(p);
}
pointer set_car(pointer p, pointer q) {
    if (type(p) != T_PAIR) incorrect("Attempting to set the car of a primitive");
    return car_ref(p) = q;
}
pointer set_cdr(pointer p, pointer q) {
    if (type(p) != T_PAIR) incorrect("Attempting to set the cdr of a primitive");
    return cdr_ref(p) = q;
}
int is_symbol(pointer p) { return type(p) == T_SYMBOL; }
char* symname(pointer p) {
    if (type(p) != T_SYMBOL) incorrect("Attempting to return a string from non-symbol obj");
    return symname_fast(p);
}
int is_syntax(pointer p) { return (p->_flag & T_SYNTAX) != 0; }
int is_proc(pointer p) { return type(p) == T_PROC; }
int is_foreign(pointer p) { return type(p) == T_FOREIGN; }
int is_cptr(pointer p) { return type(p) == T_CPTR; }
void* cptr_value(pointer p) {
    if (type(p) != T_CPTR) incorrect("Attempting to return a cptr from a non-cptr obj");
    return p->_object._cptr;
}
int is_objc(pointer p) { return type(p) == T_OBJC; }
Object* objc_value(pointer p) {
    if (type(p) != T_OBJC) incorrect("Attempting to return an objc from a non-objc obj");
    return static_cast<Object*>(p->_object._cptr);
}
char* syntaxname(pointer p) { return symname_fast(p); }
int is_closure(pointer p) { return type(p) == T_CLOSURE; }
int is_macro(pointer p) { return type(p) == T_MACRO; }
pointer closure_code(pointer p) { return car(p); }
pointer closure_env(pointer p) { return cdr(p); }
int is_continuation(pointer p) { return type(p) == T_CONTINUATION; }
int is_promise(pointer p) { return type(p) == T_PROMISE; }
int is_environment(pointer p) { return type(p) == T_ENVIRONMENT; }
int is_immutable(pointer p) { return (p->_flag & T_IMMUTABLE) != 0; }
void setimmutable(pointer p) { p->_flag |= T_IMMUTABLE; }

const scheme_interface vtbl = {
    scheme_define, s_cons, s_immutable_cons, mk_integer, mk_real, mk_rational, mk_symbol, gensym, rungc,
    mk_string, mk_counted_string, mk_character, mk_vector, mk_foreign_func, mk_cptr, mk_objc, putstr,
    putcharacter, is_string, string_value, is_number, nvalue, ivalue, rvalue, is_integer, is_real, is_rational,
    is_character, charvalue, is_vector, vector_length, fill_vector, vector_elem, set_vector_elem, is_port,
    is_pair, pair_car, pair_cdr, set_car, set_cdr, is_symbol, symname, is_syntax, is_proc, is_foreign, is_cptr,
    cptr_value, is_objc, objc_value, syntaxname, is_closure, is_macro, closure_code, closure_env,
    is_continuation, is_promise, is_environment, is_immutable, setimmutable, scheme_load_file,
    scheme_load_string,
};

}  // namespace omb
