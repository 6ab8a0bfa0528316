// The Scheme interpreter: one `scheme` instance per process, its cells, collector, numbers, ports and entry points.
//
// An instance is driven by one thread at a time; nothing here locks. Native code that holds cells across
// allocations inserts them into `protected_cells` (or blocks the collector with `gc_enabled = 0`).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>

namespace omb {

class Object;

struct scheme;
struct cell;
using pointer = cell*;
using foreign_func = pointer (*)(scheme*, pointer);
using func_alloc = void* (*)(size_t);
using func_dealloc = void (*)(void*);

// An exact integer, a rational of two 64-bit integers (kept as the reduction leaves it), or a double.
enum num_kind : int32_t { NUM_INTEGER = 0, NUM_REAL = 1, NUM_RATIONAL = 3 };

struct num {
    int32_t num_type;
    union {
        int64_t ivalue;
        double rvalue;
        struct {
            int64_t n;
            int64_t d;
        } ratvalue;
    } value;
};

// Port kinds (bits of `port::kind`); 0 means closed.
enum : uint8_t { port_free = 0, port_file = 1, port_string = 2, port_input = 16, port_output = 32 };

struct port {
    uint8_t kind;
    uint8_t nback;  // characters put back on a file port, newest last (the reader needs two)
    int back[2];
    union {
        struct {
            FILE* file;
            int32_t closeit;
        } stdio;
        struct {
            char* start;
            char* past_the_end;
            char* curr;
        } string;
    } rep;
};

// A value. 32 bytes: the flag word, a spare word (symbols cache their name hash there), and a 24-byte payload
// whose first pointer overlays `num_type` and whose second overlays the low half of a number's value.
struct cell {
    uint32_t _flag;
    uint32_t _hash;
    union {
        struct {
            char* _svalue;
            int32_t _length;
        } _string;
        num _number;
        port* _port;
        foreign_func _ff;
        struct {
            cell* _car;
            cell* _cdr;
        } _cons;
        void* _cptr;
    } _object;
};
static_assert(sizeof(cell) == 32, "vectors and segment sizes assume 32-byte cells");

// Type tags (`_flag & 31`) and flag bits.
constexpr uint32_t T_STRING = 1, T_NUMBER = 2, T_SYMBOL = 3, T_PROC = 4, T_PAIR = 5, T_CLOSURE = 6,
                   T_CONTINUATION = 7, T_FOREIGN = 8, T_CHARACTER = 9, T_PORT = 10, T_VECTOR = 11, T_MACRO = 12,
                   T_PROMISE = 13, T_ENVIRONMENT = 14, T_CPTR = 15, T_OBJC = 16, T_LAST_SYSTEM_TYPE = 16;
constexpr uint32_t T_MASKTYPE = 31, T_SYNTAX = 4096, T_IMMUTABLE = 8192, T_ATOM = 16384, MARK = 32768,
                   CLRATOM = 49151, UNMARK = 32767;
// Reserved for the vector math library: a number cell it made to hold a result, which it may overwrite in place.
constexpr uint32_t T_RESULT_CELL = 2048;

constexpr int CELL_SEGSIZE = 20000;     // cells per segment
constexpr int CELL_NSEGMENT = 500;      // segments at most
constexpr int CELL_MINRECOVER = 7000;   // fewer free cells than this after a collection adds a segment
constexpr int OBLIST_SIZE = 461;        // buckets of the oblist and of top-level frames
constexpr int MARK_STACK_SIZE = 200000; // initial entries of the marking stack (it grows)
constexpr int MAXFIL = 64;              // nested loads
constexpr int LINESIZE = 1024;
constexpr int STRBUFFSIZE = 256;
constexpr int MAX_VECTOR_LENGTH = 2 * CELL_SEGSIZE - 2;  // 39998 elements fill one segment
constexpr size_t SEGMENT_ALIGN = 32;
// Small integers and the byte characters are made once per instance and shared: most numbers a piece computes
// (counters, indexes, note numbers) and every character it reads need no cell of their own.
constexpr int SMALL_INT_MIN = -512, SMALL_INT_MAX = 1023;
constexpr int SMALL_INT_COUNT = SMALL_INT_MAX - SMALL_INT_MIN + 1;
constexpr int SHARED_CHAR_COUNT = 256;
// Entries of the cache of top-level slots (a power of two).
constexpr int GLOBAL_CACHE_SIZE = 1024;
constexpr size_t SEGMENT_BLOCK_BYTES = CELL_SEGSIZE * sizeof(cell) + SEGMENT_ALIGN;

struct CharPtrLess {
    bool operator()(const char* a, const char* b) const { return std::strcmp(a, b) < 0; }
};

// One pending computation of the evaluator. The dump is a stack of these; a continuation keeps a copy of it
// as a list of cells (opcode, args, envir, code per frame), so capture and re-entry cost one walk of the stack.
struct dump_frame {
    int op;
    pointer args;
    pointer envir;
    pointer code;
};

struct scheme_interface;

// A slot found in a hashed (top-level) frame: slots never move while their frame lives, so the pair stays right
// until a collection, which empties the cache, or a new slot of the same name in that frame.
struct global_cache_entry {
    pointer symbol;
    pointer slot;  // the symbol's slot in the top-level frame
};

struct scheme {
    func_alloc alloc_fn;
    func_dealloc free_fn;
    int retcode;
    int tracing;

    char* alloc_seg[CELL_NSEGMENT];
    pointer cell_seg[CELL_NSEGMENT];
    // First cell of each segment not yet handed out or linked: a segment's memory is touched only as it is used,
    // so an instance starts without faulting in all of its first segments.
    pointer seg_fresh[CELL_NSEGMENT];
    int last_cell_seg;

    std::set<const char*, CharPtrLess>* builtin_names;
    std::map<const char*, const std::string, CharPtrLess>* name_signatures;
    std::map<pointer, pointer>* value_names;
    std::multiset<pointer>* protected_cells;

    pointer* mark_stack;  // grows; see cells.cpp
    long mark_stack_capacity;

    pointer args;
    pointer envir;
    pointer code;
    // The dump: a growable stack of frames (owned, from alloc_fn). `dump_size` frames are live.
    dump_frame* dump_base;
    int dump_size;
    int dump_capacity;

    pointer last_called;
    // The argument list eval_args has just built, until the procedure it is for takes it (else nil). Its cells
    // are shared with nothing: a closure binds its frame in them, and a primitive that keeps none of them gives
    // them back to the free list.
    pointer fresh_args;
    int eval_nesting;  // evaluations begun inside the current step (see evaluator.cpp)
    // The last operand a direct call could not be had for, so the general way does not try it again at once. A hint
    // only, compared and never followed.
    pointer not_direct;
    pointer copy_scratch_a;
    pointer copy_scratch_b;
    int interactive_repl;

    cell _sink;
    pointer sink;
    cell _NIL;
    pointer NIL;
    cell _HASHT;
    pointer T;
    cell _HASHF;
    pointer F;
    cell _EOF_OBJ;
    pointer EOF_OBJ;

    pointer oblist;
    pointer global_env;
    pointer sym_lambda, sym_quote, sym_quasiquote, sym_unquote, sym_unquote_splicing, sym_feed_to,
        sym_colon_hook, sym_error_hook, sym_sharp_hook;

    pointer free_cell;
    long free_count;

    cell* shared_atoms;  // SMALL_INT_COUNT integers, then SHARED_CHAR_COUNT characters; outside every segment
    global_cache_entry* global_cache;

    pointer inport;
    pointer outport;
    pointer save_inport;
    pointer loadport;

    port load_stack[MAXFIL];
    int file_i;
    // Data the top level read from the text or stream of the last scheme_load_string or scheme_load_file, nested
    // loads not counted: none means the text held only blanks and comments.
    long loaded_data;

    char gc_verbose;
    int gc_enabled;
    char no_memory;
    // Bytes the instance's strings hold (each text and its terminator), and the most they may hold. A string
    // that would pass the limit even after a collection raises "No memory!". Garbage strings hold no cells
    // worth collecting for, so their growth alone brings a collection at `string_collect_at`.
    size_t string_bytes;
    size_t string_limit;
    size_t string_collect_at;

    char linebuff[LINESIZE];
    char strbuff[STRBUFFSIZE];
    FILE* tmpfp;
    int tok;
    int print_flag;
    pointer value;
    int op;
    void* external_data;
    long gensym_counter;
    const scheme_interface* vptr;
    // The output port when the running entry point began: an error's message goes there, not to a port a
    // procedure had switched to (that output would be lost, and every later evaluation's with it).
    pointer entry_outport;
    // A copy of the text of the last scheme_load_string, for the extended error report: the caller's own buffer
    // may be gone by the time a later call fails.
    char* last_loaded_text;
    // Errors the evaluator has reported to the log so far; an error raised by the `error` primitive alone is not
    // among them, and its embedder reports it where no reply carries it (a callback).
    uint64_t errors_logged;
    // Set from another thread to stop a runaway evaluation: the cycle ends with "interrupted" at its next step.
    // The owner clears it between evaluations.
    std::atomic<int> interrupt;
};

// ---- creating and destroying ----------------------------------------------------------------------------------
int scheme_init(scheme* sc);
int scheme_init_custom_alloc(scheme* sc, func_alloc, func_dealloc);
scheme* scheme_init_new();
scheme* scheme_init_new_custom_alloc(func_alloc, func_dealloc);
scheme* ombrel_scheme_init_new();  // uninitialised record memory from malloc; scheme_init must follow
void scheme_deinit(scheme* sc);
void scheme_set_external_data(scheme* sc, void* p);

// ---- ports ----------------------------------------------------------------------------------------------------
void scheme_set_input_port_file(scheme* sc, FILE* fin);
void scheme_set_input_port_string(scheme* sc, char* start, char* past_the_end);
void scheme_set_output_port_file(scheme* sc, FILE* fout);
void scheme_set_output_port_string(scheme* sc, char* start, char* past_the_end);
void putstr(scheme* sc, const char* s);
void putcharacter(scheme* sc, int c);

// ---- running code ----------------------------------------------------------------------------------------------
void scheme_load_file(scheme* sc, FILE* fin);
void scheme_load_string(scheme* sc, const char* text);
// Applies a procedure to an argument list; the result is left in `sc->value`.
void scheme_call(scheme* sc, pointer func, pointer args);
// Calls the procedure a global name is bound to, with no arguments.
void scheme_apply0(scheme* sc, const char* procname);
// The pending frames of the running evaluation as cells (newest first), for diagnostics.
pointer scheme_dump_as_list(scheme* sc);
// Any thread: asks the evaluation running in `sc` to stop at its next step with the error "interrupted".
inline void scheme_interrupt(scheme* sc) { sc->interrupt.store(1, std::memory_order_relaxed); }
// Reads one datum from the current input port (the end-of-file object at its end); the reader runs on the dump.
pointer scheme_read(scheme* sc);
// Prints a value to the current output port: write form when `write` is true, display form otherwise.
void scheme_print(scheme* sc, pointer x, bool write);

// ---- memory ----------------------------------------------------------------------------------------------------
// The most the instance's strings may hold together (by default a quarter of physical memory).
void scheme_set_string_limit(scheme* sc, size_t bytes);
// The bytes the instance's strings hold now.
size_t scheme_string_bytes(const scheme* sc);
pointer _get_cell(scheme* sc, pointer a, pointer b);
int alloc_cellseg(scheme* sc, int n);
void gc(scheme* sc, pointer a, pointer b);
pointer rungc(scheme* sc);
void protect_cell(scheme* sc, pointer p);    // insert into protected_cells
void unprotect_cell(scheme* sc, pointer p);  // erase one entry for p

// ---- constructors ---------------------------------------------------------------------------------------------
pointer _cons(scheme* sc, pointer a, pointer b, int immutable);
pointer s_cons(scheme* sc, pointer a, pointer b);
pointer s_immutable_cons(scheme* sc, pointer a, pointer b);
pointer mk_integer(scheme* sc, int64_t n);
pointer mk_real(scheme* sc, double d);
pointer mk_rational(scheme* sc, int64_t n, int64_t d);
pointer mk_number(scheme* sc, num n);
pointer mk_character(scheme* sc, int c);
pointer mk_string(scheme* sc, const char* str);
pointer mk_counted_string(scheme* sc, const char* str, int len);
pointer mk_empty_string(scheme* sc, int len, char fill);
pointer mk_symbol(scheme* sc, const char* name);
pointer gensym(scheme* sc);
pointer mk_vector(scheme* sc, int len);
pointer mk_foreign_func(scheme* sc, foreign_func f);
pointer mk_cptr(scheme* sc, void* p);
pointer mk_objc(scheme* sc, Object* retained);
void fill_vector(pointer vec, pointer obj);
pointer vector_elem(pointer vec, int ielem);
pointer set_vector_elem(pointer vec, int ielem, pointer a);

// ---- environments ---------------------------------------------------------------------------------------------
void new_frame_in_env(scheme* sc, pointer old_env);
void new_slot_spec_in_env(scheme* sc, pointer env, pointer variable, pointer value);
void new_slot_in_env(scheme* sc, pointer variable, pointer value);
pointer find_slot_in_env(scheme* sc, pointer env, pointer sym, int all);
void set_slot_in_env(scheme* sc, pointer slot, pointer value);
pointer slot_value_in_env(pointer slot);
void scheme_define(scheme* sc, pointer env, pointer symbol, pointer value);

// ---- readers (the checked ones raise PlatformException "IncorrectSchemeOBJ" on a wrong type) ---------------------
int is_string(pointer p);
char* string_value(pointer p);
int is_number(pointer p);
num nvalue(pointer p);
int64_t ivalue(pointer p);
double rvalue(pointer p);
int is_integer(pointer p);
int is_real(pointer p);
int is_rational(pointer p);
int is_character(pointer p);
int64_t charvalue(pointer p);
int is_vector(pointer p);
int64_t vector_length(pointer p);
int is_port(pointer p);
int is_pair(pointer p);
pointer pair_car(pointer p);
pointer pair_cdr(pointer p);
pointer set_car(pointer p, pointer q);
pointer set_cdr(pointer p, pointer q);
int is_symbol(pointer p);
char* symname(pointer p);
int is_syntax(pointer p);
int is_proc(pointer p);
int is_foreign(pointer p);
int is_cptr(pointer p);
void* cptr_value(pointer p);
int is_objc(pointer p);
Object* objc_value(pointer p);
char* syntaxname(pointer p);
int is_closure(pointer p);
int is_macro(pointer p);
pointer closure_code(pointer p);
pointer closure_env(pointer p);
int is_continuation(pointer p);
int is_promise(pointer p);
int is_environment(pointer p);
int is_immutable(pointer p);
void setimmutable(pointer p);
int list_length(scheme* sc, pointer a);

// The table foreign code reaches through `sc->vptr`; every instance points at the one static `vtbl`.
struct scheme_interface {
    void (*scheme_define)(scheme*, pointer, pointer, pointer);
    pointer (*cons)(scheme*, pointer, pointer);
    pointer (*immutable_cons)(scheme*, pointer, pointer);
    pointer (*mk_integer)(scheme*, int64_t);
    pointer (*mk_real)(scheme*, double);
    pointer (*mk_rational)(scheme*, int64_t, int64_t);
    pointer (*mk_symbol)(scheme*, const char*);
    pointer (*gensym)(scheme*);
    pointer (*rungc)(scheme*);
    pointer (*mk_string)(scheme*, const char*);
    pointer (*mk_counted_string)(scheme*, const char*, int);
    pointer (*mk_character)(scheme*, int);
    pointer (*mk_vector)(scheme*, int);
    pointer (*mk_foreign_func)(scheme*, foreign_func);
    pointer (*mk_cptr)(scheme*, void*);
    pointer (*mk_objc)(scheme*, Object*);
    void (*putstr)(scheme*, const char*);
    void (*putcharacter)(scheme*, int);
    int (*is_string)(pointer);
    char* (*string_value)(pointer);
    int (*is_number)(pointer);
    num (*nvalue)(pointer);
    int64_t (*ivalue)(pointer);
    double (*rvalue)(pointer);
    int (*is_integer)(pointer);
    int (*is_real)(pointer);
    int (*is_rational)(pointer);
    int (*is_character)(pointer);
    int64_t (*charvalue)(pointer);
    int (*is_vector)(pointer);
    int64_t (*vector_length)(pointer);
    void (*fill_vector)(pointer, pointer);
    pointer (*vector_elem)(pointer, int);
    pointer (*set_vector_elem)(pointer, int, pointer);
    int (*is_port)(pointer);
    int (*is_pair)(pointer);
    pointer (*pair_car)(pointer);
    pointer (*pair_cdr)(pointer);
    pointer (*set_car)(pointer, pointer);
    pointer (*set_cdr)(pointer, pointer);
    int (*is_symbol)(pointer);
    char* (*symname)(pointer);
    int (*is_syntax)(pointer);
    int (*is_proc)(pointer);
    int (*is_foreign)(pointer);
    int (*is_cptr)(pointer);
    void* (*cptr_value)(pointer);
    int (*is_objc)(pointer);
    Object* (*objc_value)(pointer);
    char* (*syntaxname)(pointer);
    int (*is_closure)(pointer);
    int (*is_macro)(pointer);
    pointer (*closure_code)(pointer);
    pointer (*closure_env)(pointer);
    int (*is_continuation)(pointer);
    int (*is_promise)(pointer);
    int (*is_environment)(pointer);
    int (*is_immutable)(pointer);
    void (*setimmutable)(pointer);
    void (*load_file)(scheme*, FILE*);
    void (*load_string)(scheme*, const char*);
};

extern const scheme_interface vtbl;

}  // namespace omb
