// The tokenizer and atom builder: tokens, atom text, string literals, numbers, symbols and sharp constants.
#include <cctype>
#include <cstdlib>
#include <strings.h>

#include "numbers.h"
#include "scheme_private.h"

namespace omb {

const char* const charnames[32] = {"nul", "soh", "stx", "etx", "eot", "enq", "ack", "bel", "bs", "ht", "lf",
                                   "vt",  "ff",  "cr",  "so",  "si",  "dle", "dc1", "dc2", "dc3", "dc4", "nak",
                                   "syn", "etb", "can", "em",  "sub", "esc", "fs",  "gs",  "rs",  "us"};

namespace {

bool is_delimiter(int c, const char* delim) { return c != 0 && std::strchr(delim, c) != nullptr; }

int skipspace(scheme* sc) {
    int c;
    do {
        c = inchar(sc);
    } while (c != EOF && (std::isspace(c) || std::iscntrl(c)));
    return c;
}

int hex_digit(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A sharp number is read into a 32-bit C long and sign-extended, as the language has always done.
pointer mk_sharp_integer(scheme* sc, const char* digits, int base) {
    uint64_t v = std::strtoull(digits, nullptr, base);
    return mk_integer(sc, static_cast<int32_t>(static_cast<uint32_t>(v)));
}

pointer mk_sharp_char(scheme* sc, const char* name) {
    int c;
    if (strcasecmp(name, "space") == 0) {
        c = ' ';
    } else if (strcasecmp(name, "newline") == 0) {
        c = '\n';
    } else if (strcasecmp(name, "return") == 0) {
        c = '\r';
    } else if (strcasecmp(name, "tab") == 0) {
        c = '\t';
    } else if (name[0] == 'x' && name[1] != 0) {
        char* end = nullptr;
        long v = std::strtol(name + 1, &end, 16);
        if (end == name + 1 || v < 0 || !std::isxdigit(static_cast<unsigned char>(name[1]))) return sc->NIL;
        c = static_cast<int>(v & 0x7fffffff);
    } else {
        c = -1;
        for (int i = 0; i < 32; ++i)
            if (strcasecmp(name, charnames[i]) == 0) c = i;
        if (c < 0) {
            if (strcasecmp(name, "del") == 0)
                c = 127;
            else if (name[0] != 0 && name[1] == 0)
                c = static_cast<unsigned char>(name[0]);
            else
                return sc->NIL;
        }
    }
    return mk_character(sc, c);
}

}  // namespace

int token(scheme* sc) {
    int c = skipspace(sc);
    switch (c) {
    case EOF: return TOK_EOF;
    case '(': return TOK_LPAREN;
    case ')': return TOK_RPAREN;
    case '.':
        c = inchar(sc);
        if (c == EOF || is_delimiter(c, " \n\t")) return TOK_DOT;
        backchar(sc, c);
        backchar(sc, '.');
        return TOK_ATOM;
    case '\'': return TOK_QUOTE;
    case ';': return TOK_COMMENT;
    case '"': return TOK_DQUOTE;
    case '`': return TOK_BQUOTE;
    case ',':
        c = inchar(sc);
        if (c == '@') return TOK_ATMARK;
        backchar(sc, c);
        return TOK_COMMA;
    case '#':
        c = inchar(sc);
        if (c == '(') return TOK_VEC;
        if (c == '!') return TOK_COMMENT;
        if (c == EOF) return TOK_SHARP_CONST;
        backchar(sc, c);
        return is_delimiter(c, " tfodxb\\") ? TOK_SHARP_CONST : TOK_SHARP;
    default: backchar(sc, c); return TOK_ATOM;
    }
}

bool readstr_upto(scheme* sc, const char* delim) {
    char* p = sc->strbuff;
    char* const last = sc->strbuff + STRBUFFSIZE - 1;
    bool fits = true;
    int c;
    for (;;) {
        c = inchar(sc);
        if (c == EOF) break;
        // "#\(" and its kin: a delimiter right after a lone backslash is the character itself.
        bool char_escape = p == sc->strbuff + 1 && sc->strbuff[0] == '\\';
        if (is_delimiter(c, delim) && !char_escape) break;
        if (p == last) {
            fits = false;  // keep consuming, so the rest of an overlong token is not read as another one
            continue;
        }
        *p++ = static_cast<char>(c);
    }
    *p = 0;
    backchar(sc, c);
    return fits;
}

pointer readstrexp(scheme* sc) {
    char* p = sc->strbuff;
    enum { normal, escape, hex1, hex2 } state = normal;
    int hex = 0;
    for (;;) {
        int c = inchar(sc);
        if (c == EOF || p - sc->strbuff > STRBUFFSIZE - 1) return sc->NIL;
        switch (state) {
        case normal:
            if (c == '\\') {
                state = escape;
            } else if (c == '"') {
                pointer s = mk_counted_string(sc, sc->strbuff, static_cast<int>(p - sc->strbuff));
                setimmutable(s);
                return s;
            } else {
                *p++ = static_cast<char>(c);
            }
            break;
        case escape:
            state = normal;
            switch (c) {
            case 'n': *p++ = '\n'; break;
            case 't': *p++ = '\t'; break;
            case 'r': *p++ = '\r'; break;
            case 'x':
            case 'X': state = hex1; break;
            default: *p++ = static_cast<char>(c); break;
            }
            break;
        case hex1:
            if ((hex = hex_digit(c)) < 0) return sc->NIL;
            state = hex2;
            break;
        case hex2: {
            int d = hex_digit(c);
            if (d < 0) return sc->NIL;
            *p++ = static_cast<char>(hex * 16 + d);
            state = normal;
            break;
        }
        }
    }
}

void skip_comment(scheme* sc) {
    int c;
    while ((c = inchar(sc)) != '\n' && c != EOF) {
    }
}

namespace {
void lowercase(char* s) {
    for (; *s; ++s) *s = static_cast<char>(std::tolower(static_cast<unsigned char>(*s)));
}
}  // namespace

pointer mk_atom(scheme* sc, char* q) {
    if (char* p = std::strstr(q, "::")) {
        *p = 0;
        lowercase(q);
        pointer sym = mk_symbol(sc, q);
        pointer a = mk_atom(sc, p + 2);
        protect_cell(sc, a);
        pointer quoted = s_cons(sc, sc->sym_quote, s_cons(sc, a, sc->NIL));
        protect_cell(sc, quoted);
        pointer form = s_cons(sc, sc->sym_colon_hook, s_cons(sc, quoted, s_cons(sc, sym, sc->NIL)));
        unprotect_cell(sc, quoted);
        unprotect_cell(sc, a);
        return form;
    }
    num n;
    if (parse_number(q, &n)) return mk_number(sc, n);
    lowercase(q);
    return mk_symbol(sc, q);
}

pointer mk_sharp_const(scheme* sc, char* name) {
    if (std::strcmp(name, "t") == 0) return sc->T;
    if (std::strcmp(name, "f") == 0) return sc->F;
    switch (name[0]) {
    case 'o': return mk_sharp_integer(sc, name + 1, 8);
    case 'd': return mk_sharp_integer(sc, name + 1, 10);
    case 'x': return mk_sharp_integer(sc, name + 1, 16);
    case 'b': {
        uint32_t x = 0;
        for (const char* p = name + 1; *p == '0' || *p == '1'; ++p) x = x * 2 + static_cast<uint32_t>(*p - '0');
        return mk_integer(sc, static_cast<int32_t>(x));
    }
    case '\\': return mk_sharp_char(sc, name + 1);
    default: return sc->NIL;
    }
}

}  // namespace omb
