// Rendering atoms for write and display; lists and vectors are walked by the printer opcodes, or, for error
// reports, by a bounded walk here.
#include <vector>

#include "interpreter/cell_renderer.h"
#include "numbers.h"
#include "scheme_private.h"

namespace omb {

namespace {

// A string's read-back form, handed to `put(text, length)` piece by piece.
template <class Put>
void escape_string(pointer s, Put put) {
    put("\"", 1);
    const char* text = strvalue(s);
    for (int i = 0; i < strlength(s); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"': put("\\\"", 2); break;
        case '\\': put("\\\\", 2); break;
        case '\n': put("\\n", 2); break;
        case '\t': put("\\t", 2); break;
        case '\r': put("\\r", 2); break;
        default:
            if (c < 32 || c == 255) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                put(hex, 4);
            } else {
                put(text + i, 1);
            }
        }
    }
    put("\"", 1);
}

void write_escaped_string(scheme* sc, pointer s) {
    escape_string(s, [sc](const char* t, int n) { putchars(sc, t, n); });
}

const char* write_char_name(int c) {
    switch (c) {
    case '\n': return "#\\newline";
    case '\t': return "#\\tab";
    case '\r': return "#\\return";
    case ' ': return "#\\space";
    case 127: return "#\\del";
    default: return nullptr;
    }
}

}  // namespace

void atom2str(scheme* sc, pointer l, int f, char** pp, int* plen) {
    char* p = sc->strbuff;
    const size_t size = STRBUFFSIZE;
    if (l == sc->NIL) {
        p = const_cast<char*>("()");
    } else if (l == sc->T) {
        p = const_cast<char*>("#t");
    } else if (l == sc->F) {
        p = const_cast<char*>("#f");
    } else if (l == sc->EOF_OBJ) {
        p = const_cast<char*>("#<EOF>");
    } else {
        switch (type(l)) {
        case T_PORT: p = const_cast<char*>("#<PORT>"); break;
        case T_NUMBER: format_number(numref(l), p, size); break;
        case T_STRING:
            if (!f) {
                *pp = strvalue(l);
                *plen = strlength(l);
                return;
            }
            write_escaped_string(sc, l);
            p = const_cast<char*>("");
            break;
        case T_CHARACTER: {
            int c = static_cast<int>(ivalue_unchecked(l));
            if (!f) {
                p[0] = static_cast<char>(c);
                *pp = p;
                *plen = 1;
                return;
            }
            if (const char* name = write_char_name(c))
                p = const_cast<char*>(name);
            else if (c >= 0 && c < 32)
                std::snprintf(p, size, "#\\%s", charnames[c]);
            else if (c < 0 || c > 255)
                std::snprintf(p, size, "#\\x%x", static_cast<unsigned>(c));  // reads back; a byte would not
            else
                std::snprintf(p, size, "#\\%c", c);
            break;
        }
        case T_SYMBOL: p = symname_fast(l); break;
        case T_PROC: {
            int op = procnum(l);
            const char* name = op >= 0 && op < OP_MAXDEFINED ? dispatch_table[op].name : nullptr;
            std::snprintf(p, size, "#<%s PROCEDURE %d>", name ? name : "ILLEGAL!", op);
            break;
        }
        case T_MACRO: p = const_cast<char*>("#<MACRO>"); break;
        case T_CLOSURE: p = const_cast<char*>("#<CLOSURE>"); break;
        case T_PROMISE: p = const_cast<char*>("#<PROMISE>"); break;
        // The foreign form always showed 0: the cell's integer slot is not part of a foreign function.
        case T_FOREIGN: p = const_cast<char*>("#<FOREIGN PROCEDURE 0>"); break;
        case T_CONTINUATION: p = const_cast<char*>("#<CONTINUATION>"); break;
        case T_CPTR: p = const_cast<char*>("#<CPTR>"); break;
        case T_OBJC: p = const_cast<char*>("#<OBJC>"); break;
        default: p = const_cast<char*>("#<ERROR>"); break;
        }
    }
    *pp = p;
    *plen = static_cast<int>(std::strlen(p));
}

void printatom(scheme* sc, pointer l, int f) {
    char* p;
    int len;
    atom2str(sc, l, f, &p, &len);
    putchars(sc, p, len);
}

namespace {

void append_written_atom(scheme* sc, std::string& out, pointer x, size_t max_bytes) {
    if (type(x) == T_STRING) {
        escape_string(x, [&out, max_bytes](const char* t, int n) {
            if (out.size() < max_bytes) out.append(t, static_cast<size_t>(n));
        });
        return;
    }
    char* p;
    int len;
    atom2str(sc, x, 1, &p, &len);
    out.append(p, static_cast<size_t>(len));
}

const char* quote_prefix(scheme* sc, pointer x) {
    if (type(cdr(x)) != T_PAIR || cddr(x) != sc->NIL) return nullptr;
    if (car(x) == sc->sym_quote) return "'";
    if (car(x) == sc->sym_quasiquote) return "`";
    if (car(x) == sc->sym_unquote) return ",";
    if (car(x) == sc->sym_unquote_splicing) return ",@";
    return nullptr;
}

}  // namespace

// The same output as the printer opcodes (print_object and its kin), from an explicit stack of pending steps.
void append_written(scheme* sc, std::string& out, pointer x, size_t max_bytes) {
    struct step {
        enum kind_t { datum, list_tail, elements, text } kind;
        pointer p;
        int64_t index;
        const char* literal;
    };
    std::vector<step> work{{step::datum, x, 0, nullptr}};
    long budget = RENDER_CELL_BUDGET;
    while (!work.empty() && out.size() < max_bytes) {
        if (--budget < 0) {
            out += " ...";
            return;
        }
        step s = work.back();
        work.pop_back();
        pointer p = s.p;
        switch (s.kind) {
        case step::text: out += s.literal; break;
        case step::elements:
            if (s.index == ivalue_unchecked(p)) {
                out += ')';
                break;
            }
            out += ' ';
            work.push_back({step::elements, p, s.index + 1, nullptr});
            work.push_back({step::datum, elem_of(p, static_cast<int>(s.index)), 0, nullptr});
            break;
        case step::list_tail:
            if (type(p) == T_PAIR) {
                out += ' ';
                work.push_back({step::list_tail, cdr(p), 0, nullptr});
                work.push_back({step::datum, car(p), 0, nullptr});
            } else if (type(p) == T_VECTOR) {
                out += " . ";
                work.push_back({step::text, nullptr, 0, ")"});
                work.push_back({step::datum, p, 0, nullptr});
            } else {
                if (p != sc->NIL) {
                    out += " . ";
                    append_written_atom(sc, out, p, max_bytes);
                }
                out += ')';
            }
            break;
        case step::datum:
            if (type(p) == T_VECTOR) {
                out += "#(";
                work.push_back({step::elements, p, 0, nullptr});
            } else if (type(p) == T_ENVIRONMENT) {
                out += "#<ENVIRONMENT>";
            } else if (type(p) != T_PAIR) {
                append_written_atom(sc, out, p, max_bytes);
            } else if (const char* prefix = quote_prefix(sc, p)) {
                out += prefix;
                work.push_back({step::datum, cadr(p), 0, nullptr});
            } else {
                out += '(';
                work.push_back({step::list_tail, cdr(p), 0, nullptr});
                work.push_back({step::datum, car(p), 0, nullptr});
            }
            break;
        }
    }
}

}  // namespace omb
