// Ports: file and string streams, reading with put-back, writing, the load stack and the port setters.
#include "scheme_private.h"

namespace omb {

namespace {

int basic_inchar(port* pt) {
    if (pt->kind & port_file) {
        if (pt->nback > 0) return pt->back[--pt->nback];
        return pt->rep.stdio.file ? getc_unlocked(pt->rep.stdio.file) : EOF;  // one thread drives an instance
    }
    if (pt->kind & port_string) {
        char*& curr = pt->rep.string.curr;
        if (curr == pt->rep.string.past_the_end || *curr == 0) return EOF;
        // Bytes are read unsigned: a byte 255 in the text is a character, not the end of input.
        return static_cast<unsigned char>(*curr++);
    }
    return EOF;
}

}  // namespace

bool is_console(scheme* sc) {
    const port& base = sc->load_stack[0];
    return (base.kind & port_file) && base.rep.stdio.file == stdin && type(sc->inport) == T_PORT &&
           (portvalue(sc->inport)->kind & port_file);
}

int inchar(scheme* sc) {
    if (type(sc->inport) != T_PORT) return EOF;
    return basic_inchar(portvalue(sc->inport));
}

bool finish_nested_load(scheme* sc) {
    if (sc->inport != sc->loadport || sc->file_i == 0) return false;
    port_close(sc, sc->loadport, port_input);
    --sc->file_i;
    sc->loadport->_object._port = sc->load_stack + sc->file_i;
    if (is_console(sc)) putstr(sc, "> ");
    return true;
}

void backchar(scheme* sc, int c) {
    if (c == EOF || type(sc->inport) != T_PORT) return;
    port* pt = portvalue(sc->inport);
    if (pt->kind & port_file) {
        if (pt->nback < 2) pt->back[pt->nback++] = c;
    } else if (pt->kind & port_string) {
        if (pt->rep.string.curr != pt->rep.string.start) --pt->rep.string.curr;
    }
}

void putchars(scheme* sc, const char* s, int len) {
    if (type(sc->outport) != T_PORT) return;
    port* pt = portvalue(sc->outport);
    if (pt->kind & port_file) {
        if (pt->rep.stdio.file) std::fwrite(s, 1, static_cast<size_t>(len), pt->rep.stdio.file);
        return;
    }
    if (!(pt->kind & port_string)) return;
    // A string port keeps what fits and drops the rest.
    for (; len > 0 && pt->rep.string.curr != pt->rep.string.past_the_end; --len) *pt->rep.string.curr++ = *s++;
}

void put_report(scheme* sc, const char* s, size_t len) {
    if (type(sc->outport) != T_PORT) return;
    port* pt = portvalue(sc->outport);
    if (!(pt->kind & port_string)) {
        putchars(sc, s, static_cast<int>(len));
        return;
    }
    char* start = pt->rep.string.start;
    char*& curr = pt->rep.string.curr;
    size_t capacity = static_cast<size_t>(pt->rep.string.past_the_end - start);
    size_t used = static_cast<size_t>(curr - start);
    if (len >= capacity) {
        // Longer than the whole buffer: its beginning, the message, is what matters.
        std::memcpy(start, s, capacity);
        curr = start + capacity;
        return;
    }
    if (used + len > capacity) {
        size_t drop = used + len - capacity;
        std::memmove(start, start + drop, used - drop);
        curr -= drop;
    }
    std::memcpy(curr, s, len);
    curr += len;
}

void putstr(scheme* sc, const char* s) { putchars(sc, s, static_cast<int>(std::strlen(s))); }

void putcharacter(scheme* sc, int c) {
    char ch = static_cast<char>(c);
    putchars(sc, &ch, 1);
}

port* port_rep_from_file(scheme* sc, FILE* f, int kind, int closeit) {
    auto* pt = static_cast<port*>(sc->alloc_fn(sizeof(port)));
    if (!pt) return nullptr;
    *pt = port{};
    pt->kind = static_cast<uint8_t>(kind | port_file);
    pt->rep.stdio.file = f;
    pt->rep.stdio.closeit = closeit;
    return pt;
}

port* port_rep_from_string(scheme* sc, char* start, char* past_the_end, int kind) {
    auto* pt = static_cast<port*>(sc->alloc_fn(sizeof(port)));
    if (!pt) return nullptr;
    *pt = port{};
    pt->kind = static_cast<uint8_t>(kind | port_string);
    pt->rep.string.start = start;
    pt->rep.string.curr = start;
    pt->rep.string.past_the_end = past_the_end;
    return pt;
}

namespace {
pointer port_cell(scheme* sc, port* pt) {
    if (!pt) return sc->NIL;
    pointer x = mk_port(sc, pt);
    if (x == sc->sink) {
        sc->free_fn(pt);
        return sc->NIL;
    }
    return x;
}
}  // namespace

pointer port_from_filename(scheme* sc, const char* fn, int kind) {
    const char* mode = kind == (port_input | port_output) ? "a+" : (kind == port_input ? "r" : "w");
    FILE* f = std::fopen(fn, mode);
    if (!f) return sc->NIL;
    port* pt = port_rep_from_file(sc, f, kind, 1);
    if (!pt) {
        std::fclose(f);
        return sc->NIL;
    }
    pointer x = port_cell(sc, pt);
    if (x == sc->NIL) std::fclose(f);
    return x;
}

pointer port_from_string(scheme* sc, char* start, char* past_the_end, int kind) {
    return port_cell(sc, port_rep_from_string(sc, start, past_the_end, kind));
}

void port_close(scheme* sc, pointer p, int flag) {
    (void)sc;
    port* pt = portvalue(p);
    if (!pt) return;
    pt->kind = static_cast<uint8_t>(pt->kind & ~flag);
    if ((pt->kind & (port_input | port_output)) != 0) return;
    // Only a stream the port opened itself is closed; one lent by the embedding program stays open.
    if ((pt->kind & port_file) && pt->rep.stdio.closeit && pt->rep.stdio.file) {
        std::fclose(pt->rep.stdio.file);
        pt->rep.stdio.file = nullptr;
    }
    pt->kind = port_free;
}

void scheme_set_input_port_file(scheme* sc, FILE* fin) {
    sc->inport = port_cell(sc, port_rep_from_file(sc, fin, port_input, 0));
}

void scheme_set_input_port_string(scheme* sc, char* start, char* past_the_end) {
    sc->inport = port_from_string(sc, start, past_the_end, port_input);
}

void scheme_set_output_port_file(scheme* sc, FILE* fout) {
    sc->outport = port_cell(sc, port_rep_from_file(sc, fout, port_output, 0));
}

void scheme_set_output_port_string(scheme* sc, char* start, char* past_the_end) {
    sc->outport = port_from_string(sc, start, past_the_end, port_output);
}

}  // namespace omb
