// Symbols and environments: the oblist, gensym, frames and slots.
#include <cctype>
#include <strings.h>

#include "scheme_private.h"

namespace omb {

// Folding case before hashing keeps the hash consistent with the case-blind comparison of names, so a symbol
// made as "Foo" is found again as "foo".
uint32_t hash_fn(const char* key, int table_size) {
    uint32_t hashed = 0;
    for (const char* c = key; *c; ++c) {
        int byte = static_cast<signed char>(std::tolower(static_cast<unsigned char>(*c)));
        hashed = ((hashed << 5) | (hashed >> 27)) ^ static_cast<uint32_t>(byte);
    }
    return table_size > 0 ? hashed % static_cast<uint32_t>(table_size) : hashed;
}

void oblist_init(scheme* sc) { sc->oblist = mk_vector(sc, OBLIST_SIZE); }

pointer oblist_find_by_name(scheme* sc, const char* name) {
    uint32_t full = hash_fn(name, 0);
    int location = static_cast<int>(full % static_cast<uint32_t>(ivalue_unchecked(sc->oblist)));
    for (pointer x = elem_of(sc->oblist, location); x != sc->NIL; x = cdr(x)) {
        pointer sym = car(x);
        if (sym->_hash == full && strcasecmp(name, symname_fast(sym)) == 0) return sym;
    }
    return sc->NIL;
}

pointer oblist_add_by_name(scheme* sc, const char* name) {
    uint32_t full = hash_fn(name, 0);
    pointer text = mk_string(sc, name);
    setimmutable(text);
    pointer x = immutable_cons_fast(sc, text, sc->NIL);
    if (x == sc->sink) return x;
    x->_flag = T_SYMBOL;
    x->_hash = full;
    int location = static_cast<int>(full % static_cast<uint32_t>(ivalue_unchecked(sc->oblist)));
    set_elem_of(sc->oblist, location, immutable_cons_fast(sc, x, elem_of(sc->oblist, location)));
    return x;
}

pointer mk_symbol(scheme* sc, const char* name) {
    pointer x = oblist_find_by_name(sc, name);
    return x != sc->NIL ? x : oblist_add_by_name(sc, name);
}

pointer gensym(scheme* sc) {
    char name[40];
    for (; sc->gensym_counter < 2147483647L; ++sc->gensym_counter) {
        std::snprintf(name, sizeof name, "gensym-%ld", sc->gensym_counter);
        if (oblist_find_by_name(sc, name) == sc->NIL) return oblist_add_by_name(sc, name);
    }
    return sc->NIL;
}

pointer oblist_all_symbols(scheme* sc) {
    pointer ob_list = sc->NIL;
    int64_t n = ivalue_unchecked(sc->oblist);
    for (int i = 0; i < n; ++i)
        for (pointer x = elem_of(sc->oblist, i); x != sc->NIL; x = cdr(x)) ob_list = cons_fast(sc, car(x), ob_list);
    return ob_list;
}

// ---- environments ----------------------------------------------------------------------------------------------

pointer new_frame_vector(scheme* sc) { return mk_vector(sc, OBLIST_SIZE); }

void new_frame_in_env(scheme* sc, pointer old_env) {
    pointer new_frame = old_env == sc->NIL ? new_frame_vector(sc) : sc->NIL;
    sc->envir = immutable_cons_fast(sc, new_frame, old_env);
    if (sc->envir == sc->sink) return;
    sc->envir->_flag = T_ENVIRONMENT;
    sc->envir->_hash = static_cast<uint32_t>(sc->dump_size);
}

namespace {
int bucket_of(pointer frame, pointer sym) {
    const auto size = static_cast<uint32_t>(ivalue_unchecked(frame));
    // Every hashed frame has the oblist's size; a constant divisor is a multiplication.
    return static_cast<int>(size == OBLIST_SIZE ? sym->_hash % OBLIST_SIZE : sym->_hash % size);
}

pointer find_in_buckets(scheme* sc, pointer frame, pointer sym) {
    for (pointer y = elem_of(frame, bucket_of(frame, sym)); y != sc->NIL; y = cdr(y))
        if (caar(y) == sym) return car(y);
    return sc->NIL;
}

pointer find_in_hashed_frame(scheme* sc, pointer frame, pointer sym) {
    return frame == car(sc->global_env) ? top_level_slot(sc, sym) : find_in_buckets(sc, frame, sym);
}
}  // namespace

pointer find_top_level_slot(scheme* sc, pointer sym) {
    pointer slot = find_in_buckets(sc, car(sc->global_env), sym);
    if (slot != sc->NIL) cache_entry(sc, sym) = {sym, slot};
    return slot;
}

void new_slot_spec_in_env(scheme* sc, pointer env, pointer variable, pointer value) {
    pointer slot = immutable_cons_fast(sc, variable, value);
    pointer frame = car(env);
    if (type(frame) == T_VECTOR) {
        global_cache_entry& e = cache_entry(sc, variable);
        if (e.symbol == variable) e = {};  // the new slot shadows the one cached
        int location = bucket_of(frame, variable);
        set_elem_of(frame, location, immutable_cons_fast(sc, slot, elem_of(frame, location)));
    } else {
        variable->_flag |= T_LOCAL_NAME;
        car_ref(env) = immutable_cons_fast(sc, slot, frame);
    }
}

void new_slot_in_env(scheme* sc, pointer variable, pointer value) {
    new_slot_spec_in_env(sc, sc->envir, variable, value);
}

pointer find_slot_in_env(scheme* sc, pointer env, pointer hdl, int all) {
    if (all && !(hdl->_flag & T_LOCAL_NAME) && sc->global_env != sc->NIL) return top_level_slot(sc, hdl);
    for (pointer x = env; x != sc->NIL; x = cdr(x)) {
        pointer frame = car(x);
        if (type(frame) == T_VECTOR) {
            pointer slot = find_in_hashed_frame(sc, frame, hdl);
            if (slot != sc->NIL) return slot;
        } else {
            for (pointer y = frame; y != sc->NIL; y = cdr(y))
                if (caar(y) == hdl) return car(y);
        }
        if (!all) break;
    }
    return sc->NIL;
}

void set_slot_in_env(scheme*, pointer slot, pointer value) { cdr_ref(slot) = value; }

pointer slot_value_in_env(pointer slot) { return cdr(slot); }

void scheme_define(scheme* sc, pointer envir, pointer symbol, pointer value) {
    sc->builtin_names->insert(symname_fast(symbol));
    sc->value_names->emplace(value, symbol);  // the first name given to a value wins
    pointer x = find_slot_in_env(sc, envir, symbol, 0);
    if (x != sc->NIL)
        set_slot_in_env(sc, x, value);
    else
        new_slot_spec_in_env(sc, envir, symbol, value);
}

}  // namespace omb
