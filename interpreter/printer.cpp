// Rendering atoms for write and display; lists and vectors are walked by the printer opcodes.
#include "numbers.h"
#include "scheme_private.h"

namespace omb {

namespace {

// Writes a string in its read-back form straight to the output port.
void write_escaped_string(scheme* sc, pointer s) {
    putcharacter(sc, '"');
    const char* text = strvalue(s);
    for (int i = 0; i < strlength(s); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"': putstr(sc, "\\\""); break;
        case '\\': putstr(sc, "\\\\"); break;
        case '\n': putstr(sc, "\\n"); break;
        case '\t': putstr(sc, "\\t"); break;
        case '\r': putstr(sc, "\\r"); break;
        default:
            if (c < 32 || c == 255) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                putstr(sc, hex);
            } else {
                putcharacter(sc, c);
            }
        }
    }
    putcharacter(sc, '"');
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

}  // namespace omb
