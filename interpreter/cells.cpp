// Cells and the collector: segments, the free list, marking, sweeping, vectors and the basic constructors.
#include <algorithm>
#include <iterator>
#include <new>

#include "numbers.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "platform/objects/object.h"
#include "scheme_private.h"

namespace omb {

namespace {

// Counter of verbose collections, shared by every instance: the hundredth one reaches the log.
long verbose_collections = 0;

pointer pop_free_cell(scheme* sc) {
    pointer x = sc->free_cell;
    sc->free_cell = cdr(x);
    --sc->free_count;
    return x;
}

// The sink is what allocation hands out once memory is exhausted. Constructors leave it an inert atom (a string
// constructor makes it an empty string, so writers bounded by its length stay in bounds); each hand-out resets it.
pointer reset_sink(scheme* sc) {
    sc->sink->_flag = T_ATOM | MARK;
    car_ref(sc->sink) = sc->NIL;
    cdr_ref(sc->sink) = sc->NIL;
    return sc->sink;
}

constexpr int FRESH_CHUNK = 512;  // cells linked at a time from untouched memory: four pages

void init_free_cells(scheme* sc, pointer first, pointer last) {
    for (pointer p = first; p <= last; ++p) {
        p->_flag = 0;
        p->_hash = 0;
        car_ref(p) = sc->NIL;
        cdr_ref(p) = p + 1;
    }
}

// Links up to `limit` untouched cells of segment i onto the front of the free list.
void link_fresh(scheme* sc, int i, long limit) {
    pointer first = sc->seg_fresh[i];
    pointer end = sc->cell_seg[i] + CELL_SEGSIZE;
    long n = std::min<long>(limit, end - first);
    if (n <= 0) return;
    pointer last = first + n - 1;
    init_free_cells(sc, first, last);
    cdr_ref(last) = sc->free_cell;
    sc->free_cell = first;
    sc->seg_fresh[i] = last + 1;
}

// Refills an empty free list from untouched memory; false when every segment is in use.
bool take_fresh_chunk(scheme* sc) {
    for (int i = sc->last_cell_seg; i >= 0; --i)
        if (sc->seg_fresh[i] < sc->cell_seg[i] + CELL_SEGSIZE) {
            link_fresh(sc, i, FRESH_CHUNK);
            return true;
        }
    return false;
}

// Hands out k consecutive untouched cells, or nil.
pointer carve_fresh(scheme* sc, int k) {
    for (int i = sc->last_cell_seg; i >= 0; --i) {
        pointer first = sc->seg_fresh[i];
        if (sc->cell_seg[i] + CELL_SEGSIZE - first >= k) {
            sc->seg_fresh[i] = first + k;
            sc->free_count -= k;
            return first;
        }
    }
    return sc->NIL;
}

// ---- marking ---------------------------------------------------------------------------------------------------
// The stack grows by doubling. Should memory for it run out, the marker falls back to rescanning the segments
// for marked cells whose children are not marked yet: slower, still iterative, never written past.
struct marker {
    scheme* sc;
    bool overflowed = false;

    void push(pointer p, long& top) {
        if (top == sc->mark_stack_capacity && !grow()) {
            overflowed = true;
            return;
        }
        sc->mark_stack[top++] = p;
    }

    bool grow() {
        long want = sc->mark_stack_capacity * 2;
        auto* bigger = static_cast<pointer*>(sc->alloc_fn(sizeof(pointer) * static_cast<size_t>(want)));
        if (!bigger) return false;
        std::copy(sc->mark_stack, sc->mark_stack + sc->mark_stack_capacity, bigger);
        sc->free_fn(sc->mark_stack);
        sc->mark_stack = bigger;
        sc->mark_stack_capacity = want;
        return true;
    }

    void mark_child(pointer c, long& top) {
        if (is_mark(c)) return;
        setmark(c);
        push(c, top);
    }

    void mark_children(pointer p, long& top) {
        if (type(p) == T_VECTOR) {
            int64_t n = ivalue_unchecked(p);
            int64_t cells = n / 2 + n % 2;
            for (int64_t i = 1; i <= cells; ++i) mark_child(p + i, top);
        } else if (!is_atom(p)) {
            mark_child(car(p), top);
            mark_child(cdr(p), top);
        } else if (type(p) == T_PORT && cdr(p)) {
            mark_child(cdr(p), top);  // the string a string port reads or writes in place
        }
    }

    void drain(long& top) {
        while (top > 0) mark_children(sc->mark_stack[--top], top);
    }

    void root(pointer p, long& top) {
        if (!p) return;
        setmark(p);
        push(p, top);
    }

    // Re-finds the frontier after an overflow: every marked cell may have unmarked children.
    void rescan(long& top) {
        while (overflowed) {
            overflowed = false;
            for (int i = 0; i <= sc->last_cell_seg; ++i) {
                pointer p = sc->cell_seg[i];
                for (pointer e = sc->seg_fresh[i]; p < e; ++p) {
                    if (!is_mark(p)) continue;
                    mark_children(p, top);
                    drain(top);
                }
            }
        }
    }
};

void mark_roots(scheme* sc, pointer a, pointer b) {
    marker m{sc};
    long top = 0;
    for (pointer r : {sc->oblist, sc->global_env, sc->args, sc->envir, sc->code}) m.root(r, top);
    for (int i = 0; i < sc->dump_size; ++i) {
        const dump_frame& f = sc->dump_base[i];
        m.root(f.args, top);
        m.root(f.envir, top);
        m.root(f.code, top);
        m.drain(top);
    }
    for (pointer r : {sc->copy_scratch_a, sc->copy_scratch_b, sc->value, sc->inport, sc->save_inport, sc->outport,
                      sc->loadport, sc->entry_outport, a, b})
        m.root(r, top);
    if (sc->protected_cells)
        for (pointer p : *sc->protected_cells) {
            m.root(p, top);
            m.drain(top);
        }
    m.drain(top);
    m.rescan(top);
}

// The free list and its count are kept in locals: the loop touches every cell of the heap, and stores through `sc`
// would be made again for each of them.
void sweep(scheme* sc) {
    clrmark(sc->NIL);
    pointer free_list = sc->NIL;
    long free_count = 0;
    for (int i = sc->last_cell_seg; i >= 0; --i) {
        pointer first = sc->cell_seg[i];
        // Untouched memory past seg_fresh holds no cells yet: it stays free without being read.
        free_count += first + CELL_SEGSIZE - sc->seg_fresh[i];
        for (pointer p = sc->seg_fresh[i] - 1; p >= first; --p) {
            const uint32_t flag = p->_flag;
            if (flag & MARK) {
                p->_flag = flag & UNMARK;
                continue;
            }
            if (flag != 0) {
                const uint32_t t = flag & T_MASKTYPE;
                if (t == T_STRING || t == T_OBJC || t == T_PORT) finalize_cell(sc, p);
                p->_flag = 0;
                car_ref(p) = sc->NIL;
            }
            ++free_count;
            cdr_ref(p) = free_list;
            free_list = p;
        }
    }
    sc->free_cell = free_list;
    sc->free_count = free_count;
}

}  // namespace

// ---- shared atoms ----------------------------------------------------------------------------------------------

// Marked for good, like the instance's other cells outside the segments: the collector neither follows nor
// frees them.
bool make_shared_atoms(scheme* sc) {
    sc->shared_atoms = static_cast<cell*>(sc->alloc_fn(sizeof(cell) * (SMALL_INT_COUNT + SHARED_CHAR_COUNT)));
    if (!sc->shared_atoms) return false;
    for (int i = 0; i < SMALL_INT_COUNT + SHARED_CHAR_COUNT; ++i) {
        cell& c = sc->shared_atoms[i];
        const bool number = i < SMALL_INT_COUNT;
        c._flag = (number ? FLAG_NUMBER : FLAG_CHARACTER) | MARK;
        c._hash = 0;
        c._object._number = num_from_integer(number ? i + SMALL_INT_MIN : i - SMALL_INT_COUNT);
    }
    return true;
}

// ---- segments --------------------------------------------------------------------------------------------------

int alloc_cellseg(scheme* sc, int n) {
    devlog("FCELLS: %ld", sc->free_count);
    if (sc->last_cell_seg >= CELL_NSEGMENT - 1) return 0;
    int k = 0;
    for (; k < n && sc->last_cell_seg < CELL_NSEGMENT - 1; ++k) {
        auto* raw = static_cast<char*>(sc->alloc_fn(SEGMENT_BLOCK_BYTES));
        if (!raw) return k;
        auto addr = reinterpret_cast<uintptr_t>(raw);
        auto* first = reinterpret_cast<pointer>((addr + SEGMENT_ALIGN - 1) & ~(uintptr_t{SEGMENT_ALIGN} - 1));
        int i = ++sc->last_cell_seg;
        // Keep cell_seg ascending so the sweep rebuilds an address-ordered free list.
        while (i > 0 && sc->cell_seg[i - 1] > first) {
            sc->cell_seg[i] = sc->cell_seg[i - 1];
            sc->alloc_seg[i] = sc->alloc_seg[i - 1];
            sc->seg_fresh[i] = sc->seg_fresh[i - 1];
            --i;
        }
        sc->cell_seg[i] = first;
        sc->alloc_seg[i] = raw;
        sc->seg_fresh[i] = first;  // linked into the free list as it is needed
        sc->free_count += CELL_SEGSIZE;
    }
    if (k == n) {
        CPPBridge::notification("Allocated: %d cell segements for a total of %d.  Free cells = %ld", n,
                                sc->last_cell_seg + 1, sc->free_count);
        devlog("Allocated: %d Cell Segements For A Total Of %d,  Free Cells = %ld", n, sc->last_cell_seg + 1,
               sc->free_count);
    }
    return k;
}

namespace {
long heap_cells(scheme* sc) { return static_cast<long>(sc->last_cell_seg + 1) * CELL_SEGSIZE; }

// Each collection costs about the live cells it marks (scattered reads, the expensive part) and buys the free
// cells it leaves. Keeping the heap at three times the live data makes a collection come once every two live-sets'
// worth of allocation, so collecting stays a small, fixed share of the work however fast the data grows, and a
// program's memory stays within three times what it keeps.
constexpr long HEAP_PER_LIVE = 3;

void grow_if_crowded(scheme* sc) {
    long total = heap_cells(sc);
    long live = total - sc->free_count;
    if (sc->free_count >= (HEAP_PER_LIVE - 1) * live) return;
    long wanted = (HEAP_PER_LIVE * live - total + CELL_SEGSIZE - 1) / CELL_SEGSIZE;
    alloc_cellseg(sc, static_cast<int>(std::clamp<long>(wanted, 1, CELL_NSEGMENT)));
}

// At its largest, a heap that collections keep less than an eighth free is thrashing: each collection walks
// millions of live cells to free a few. Declaring it full ends a runaway evaluation in seconds, not minutes.
bool thrashing(scheme* sc) {
    return sc->last_cell_seg == CELL_NSEGMENT - 1 && sc->free_count < heap_cells(sc) / 8;
}
}  // namespace

pointer _get_cell(scheme* sc, pointer a, pointer b) {
    if (sc->no_memory) return reset_sink(sc);
    if (sc->free_cell != sc->NIL || take_fresh_chunk(sc)) return pop_free_cell(sc);
    if (sc->gc_enabled == 0)
        devlog("GC BLOCKED SO NOT COLLECTING: %ld", sc->free_count);
    else
        gc(sc, a, b);
    if (sc->free_count >= CELL_MINRECOVER && (sc->free_cell != sc->NIL || take_fresh_chunk(sc))) {
        grow_if_crowded(sc);
        if (!thrashing(sc)) return pop_free_cell(sc);
        sc->no_memory = 1;
        return reset_sink(sc);
    }
    // Little was recovered: the data is growing. The heap grows in proportion to it, or a deep recursion would
    // collect once a segment, each collection longer than the last.
    if (sc->gc_enabled != 0) grow_if_crowded(sc);
    if (sc->free_cell == sc->NIL && !take_fresh_chunk(sc)) alloc_cellseg(sc, 1);
    if (sc->free_cell == sc->NIL && !take_fresh_chunk(sc)) {
        sc->no_memory = 1;
        return reset_sink(sc);
    }
    return pop_free_cell(sc);
}

namespace {
// value_names does not keep its keys alive; forget the ones just swept, so a reused cell is never reported under
// a dead definition's name and redefinitions do not grow the map for ever.
void forget_dead_value_names(scheme* sc) {
    if (!sc->value_names) return;
    for (auto it = sc->value_names->begin(); it != sc->value_names->end();)
        it = typeflag(it->first) == 0 ? sc->value_names->erase(it) : std::next(it);
}
}  // namespace

void gc(scheme* sc, pointer a, pointer b) {
    if (sc->gc_verbose) putstr(sc, "gc...");
    // A swept frame's memory may come back as another frame: no cached slot outlives a collection.
    if (sc->global_cache) std::fill_n(sc->global_cache, GLOBAL_CACHE_SIZE, global_cache_entry{});
    mark_roots(sc, a, b);
    sweep(sc);
    forget_dead_value_names(sc);
    sc->string_collect_at = std::max(2 * sc->string_bytes, STRING_COLLECT_FLOOR);
    if (sc->gc_verbose) {
        if (verbose_collections % 100 == 0)
            CPPBridge::notification("gc done: %ld free cells. %ld", sc->free_count,
                                    static_cast<long>(sc->protected_cells ? sc->protected_cells->size() : 0));
        char msg[80];
        std::snprintf(msg, sizeof msg, "gc done: %ld cells were recovered.\n", sc->free_count);
        putstr(sc, msg);
        ++verbose_collections;
    }
}

pointer rungc(scheme* sc) {
    gc(sc, sc->NIL, sc->NIL);
    return sc->NIL;
}

void protect_cell(scheme* sc, pointer p) { sc->protected_cells->insert(p); }

void unprotect_cell(scheme* sc, pointer p) {
    auto it = sc->protected_cells->find(p);
    if (it != sc->protected_cells->end()) sc->protected_cells->erase(it);
}

void finalize_cell(scheme* sc, pointer a) {
    switch (type(a)) {
    case T_STRING:
        // A string whose text could not be allocated points at strbuff, which the instance owns.
        if (strvalue(a) != sc->strbuff) {
            sc->free_fn(strvalue(a));
            sc->string_bytes -= static_cast<size_t>(strlength(a)) + 1;
        }
        break;
    case T_OBJC:
        CPPBridge::release(static_cast<Object*>(a->_object._cptr));  // honours objc:gc
        a->_object._cptr = nullptr;
        break;
    case T_PORT: {
        port* pt = portvalue(a);
        if (!pt) break;
        if ((pt->kind & port_file) && pt->rep.stdio.closeit) port_close(sc, a, port_input | port_output);
        sc->free_fn(pt);
        break;
    }
    default: break;
    }
}

// ---- vectors ---------------------------------------------------------------------------------------------------

pointer find_consecutive_cells(scheme* sc, int n) {
    pointer* pp = &sc->free_cell;
    while (*pp != sc->NIL) {
        pointer p = *pp;
        int cnt = 1;
        while (cdr(p) == p + 1 && cnt < n) {
            ++p;
            ++cnt;
        }
        if (cnt == n) {
            pointer x = *pp;
            *pp = cdr(x + n - 1);
            sc->free_count -= n;
            return x;
        }
        pp = &cdr_ref(p);
    }
    return sc->NIL;
}

namespace {
// No room for the vector: the evaluation ends with "No memory!" (a caller given #f would only try again).
pointer vector_failed(scheme* sc) {
    sc->no_memory = 1;
    return sc->F;
}
}  // namespace

pointer mk_vector(scheme* sc, int len) {
    if (len < 0) return sc->F;
    int k = len / 2 + len % 2 + 1;
    if (k > CELL_SEGSIZE) {
        CPPBridge::error("Vector size is too large for current memory architecture");
        return sc->F;
    }
    if (sc->no_memory) return vector_failed(sc);
    pointer v = find_consecutive_cells(sc, k);
    if (v == sc->NIL) v = carve_fresh(sc, k);
    if (v == sc->NIL) {
        if (sc->gc_enabled) {
            gc(sc, sc->NIL, sc->NIL);
            // As for cells: a heap that stays crowded grows ahead, or every large vector would cost a collection.
            grow_if_crowded(sc);
        } else {
            devlog("BLOCKED ... GC FROM CONSEC CELL: %ld", sc->free_count);
        }
        v = find_consecutive_cells(sc, k);
        if (v == sc->NIL) v = carve_fresh(sc, k);
    }
    if (v == sc->NIL) {
        devlog("Require %d consecutive cells", k);
        if (alloc_cellseg(sc, 1) == 0) {
            devlog("FAILED TO ALLOC MORE MEM CELLS");
            CPPBridge::error("Failed to alloc more memory cells");
            return vector_failed(sc);
        }
        v = find_consecutive_cells(sc, k);
        if (v == sc->NIL) v = carve_fresh(sc, k);
        if (v == sc->NIL) {
            CPPBridge::error("Could not find enough consecutive memory cells to create vector");
            devlog("THIS IS BAD. COULDN'T FIND ANY CONSECUTIVE MEM CELLS; CRASH BANG SMASH");
            return vector_failed(sc);
        }
    }
    v->_flag = FLAG_VECTOR;
    v->_object._number.num_type = NUM_INTEGER;
    v->_object._number.value.ivalue = len;
    for (int i = 1; i < k; ++i) v[i]._flag = 0;
    fill_vector(v, sc->NIL);
    return v;
}

void fill_vector(pointer vec, pointer obj) {
    int64_t n = ivalue_unchecked(vec);
    int64_t cells = n / 2 + n % 2;
    for (int64_t i = 1; i <= cells; ++i) {
        car_ref(vec + i) = obj;
        cdr_ref(vec + i) = obj;
    }
}

pointer vector_elem(pointer vec, int ielem) { return elem_of(vec, ielem); }

pointer set_vector_elem(pointer vec, int ielem, pointer a) { return set_elem_of(vec, ielem, a); }

// ---- constructors ----------------------------------------------------------------------------------------------

pointer _cons(scheme* sc, pointer a, pointer b, int immutable) {
    return cons_with_flag(sc, a, b, immutable ? (T_PAIR | T_IMMUTABLE) : T_PAIR);
}

pointer s_cons(scheme* sc, pointer a, pointer b) { return _cons(sc, a, b, 0); }
pointer s_immutable_cons(scheme* sc, pointer a, pointer b) { return _cons(sc, a, b, 1); }

pointer mk_number(scheme* sc, num n) {
    if (n.num_type == NUM_INTEGER) return mk_integer(sc, n.value.ivalue);
    n = reduce_num(n);
    pointer x = get_cell(sc, sc->NIL, sc->NIL);
    if (x == sc->sink) [[unlikely]] return x;
    x->_flag = FLAG_NUMBER;
    x->_object._number = n;
    return x;
}

pointer mk_integer(scheme* sc, int64_t n) {
    if (n >= SMALL_INT_MIN && n <= SMALL_INT_MAX) [[likely]]
        return sc->shared_atoms + (n - SMALL_INT_MIN);
    pointer x = get_cell(sc, sc->NIL, sc->NIL);
    if (x == sc->sink) [[unlikely]] return x;
    x->_flag = FLAG_NUMBER;
    x->_object._number = num_from_integer(n);
    return x;
}
pointer mk_real(scheme* sc, double d) { return mk_number(sc, num_from_real(d)); }
pointer mk_rational(scheme* sc, int64_t n, int64_t d) { return mk_number(sc, num_from_ratio(n, d)); }

pointer mk_character(scheme* sc, int c) {
    if (c >= 0 && c < SHARED_CHAR_COUNT) return sc->shared_atoms + SMALL_INT_COUNT + c;
    pointer x = get_cell(sc, sc->NIL, sc->NIL);
    if (x == sc->sink) [[unlikely]] return x;
    x->_flag = FLAG_CHARACTER;
    x->_object._number.num_type = NUM_INTEGER;
    x->_object._number.value.ivalue = c;
    return x;
}

char* store_string(scheme* sc, int len, const char* str, char fill) {
    auto* q = static_cast<char*>(sc->alloc_fn(static_cast<size_t>(len) + 1));
    if (!q) {
        sc->no_memory = 1;
        return sc->strbuff;
    }
    sc->string_bytes += static_cast<size_t>(len) + 1;
    if (str)
        std::memcpy(q, str, static_cast<size_t>(len));
    else
        std::memset(q, fill, static_cast<size_t>(len));
    q[len] = 0;
    return q;
}

namespace {
// Whether `bytes` more may go to strings. Past the collection mark a collection comes first, so garbage strings
// give their bytes back; a string that would still pass the limit declares memory exhausted.
bool string_room(scheme* sc, size_t bytes) {
    if (sc->string_bytes + bytes <= std::min(sc->string_collect_at, sc->string_limit)) return true;
    if (sc->gc_enabled) gc(sc, sc->NIL, sc->NIL);
    if (sc->string_bytes + bytes <= sc->string_limit) return true;
    sc->no_memory = 1;
    return false;
}

pointer mk_string_cell(scheme* sc, int len, const char* str, char fill) {
    if (len < 0) len = 0;
    // Any collection comes before the cell is taken (an unrooted fresh cell would be swept); the text comes after
    // it, so a text is never left without a cell to own it.
    pointer x = string_room(sc, static_cast<size_t>(len) + 1) ? get_cell(sc, sc->NIL, sc->NIL) : reset_sink(sc);
    char* text = x == sc->sink ? sc->strbuff : store_string(sc, len, str, fill);
    if (text == sc->strbuff) {
        // Out of memory: an empty text that writers bounded by the stored length cannot overrun.
        sc->strbuff[0] = 0;
        len = 0;
    }
    x->_object._string._svalue = text;
    x->_object._string._length = len;
    x->_flag = FLAG_STRING;
    return x;
}
}  // namespace

pointer mk_string(scheme* sc, const char* str) {
    return mk_string_cell(sc, static_cast<int>(std::strlen(str)), str, 0);
}
pointer mk_counted_string(scheme* sc, const char* str, int len) {
    // A null text gives that many NUL bytes.
    return mk_string_cell(sc, len, str, 0);
}
pointer mk_empty_string(scheme* sc, int len, char fill) { return mk_string_cell(sc, len, nullptr, fill); }

pointer mk_port(scheme* sc, port* p) {
    pointer x = get_cell(sc, sc->NIL, sc->NIL);
    if (x == sc->sink) [[unlikely]] return x;
    x->_flag = FLAG_PORT;
    x->_object._port = p;
    cdr_ref(x) = nullptr;
    return x;
}

pointer mk_proc(scheme* sc, int op) {
    pointer x = get_cell(sc, sc->NIL, sc->NIL);
    if (x == sc->sink) [[unlikely]] return x;
    x->_flag = FLAG_PROC;
    x->_object._number.num_type = NUM_INTEGER;
    x->_object._number.value.ivalue = op;
    return x;
}

pointer mk_closure(scheme* sc, pointer code, pointer env) {
    pointer x = get_cell(sc, code, env);
    if (x == sc->sink) [[unlikely]] return x;
    capture_env(env);
    x->_flag = T_CLOSURE;
    car_ref(x) = code;
    cdr_ref(x) = env;
    return x;
}

pointer mk_foreign_func(scheme* sc, foreign_func f) {
    pointer x = get_cell(sc, sc->NIL, sc->NIL);
    if (x == sc->sink) [[unlikely]] return x;
    x->_flag = FLAG_FOREIGN;
    x->_object._ff = f;
    return x;
}

pointer mk_cptr(scheme* sc, void* p) {
    pointer x = get_cell(sc, sc->NIL, sc->NIL);
    if (x == sc->sink) [[unlikely]] return x;
    x->_flag = FLAG_CPTR;
    x->_object._cptr = p;
    return x;
}

pointer mk_objc(scheme* sc, Object* retained) {
    pointer x = get_cell(sc, sc->NIL, sc->NIL);
    if (x == sc->sink) {
        // No cell to own the reference: give it back rather than leak it.
        if (retained) retained->release();
        return x;
    }
    x->_flag = FLAG_OBJC;
    x->_object._cptr = retained;
    return x;
}

void scheme_set_string_limit(scheme* sc, size_t bytes) { sc->string_limit = bytes; }
size_t scheme_string_bytes(const scheme* sc) { return sc->string_bytes; }

}  // namespace omb
