#include "interpreter/cell_renderer.h"

#include <vector>

#include "platform/log_bridge.h"
#include "platform/objects/object.h"
#include "scheme_private.h"

namespace omb {

namespace {

// Pending work of the renderer. An explicit stack keeps deeply nested data off the native stack.
struct item {
    enum kind_t { cell_item, list_tail, vector_from, text } kind;
    pointer p;
    int64_t index;
    const char* literal;
};

class renderer {
public:
    renderer(scheme* sc, std::ostream& os, bool extended) : sc_(sc), os_(os), extended_(extended) {}

    void run() {
        while (!work_.empty()) {
            item it = work_.back();
            work_.pop_back();
            if (--budget_ < 0) {
                os_ << " ...";
                return;
            }
            switch (it.kind) {
            case item::cell_item: render(it.p); break;
            case item::list_tail: tail(it.p); break;
            case item::vector_from: vector_step(it.p, it.index); break;
            case item::text: os_ << it.literal; break;
            }
        }
    }

    void push_cell(pointer p) { work_.push_back({item::cell_item, p, 0, nullptr}); }
    void push_text(const char* t) { work_.push_back({item::text, nullptr, 0, t}); }
    // A list body: the head now, then the rest of the chain.
    void push_body(pointer pair) {
        work_.push_back({item::list_tail, cdr(pair), 0, nullptr});
        push_cell(car(pair));
    }

private:
    void tail(pointer t) {
        if (t == sc_->NIL) return;
        if (type(t) == T_PAIR && t != sc_->NIL) {
            os_ << ' ';
            push_body(t);
            return;
        }
        os_ << " . ";
        push_cell(t);
    }

    void vector_step(pointer v, int64_t i) {
        if (i == ivalue_unchecked(v)) {
            os_ << ')';
            return;
        }
        if (i > 0) os_ << ' ';
        work_.push_back({item::vector_from, v, i + 1, nullptr});
        push_cell(elem_of(v, static_cast<int>(i)));
    }

    void render(pointer x) {
        if (!x) {
            os_ << "-ERROR BAD POINTER-";
            std::fputs("Bad NULL pointer arg passed to printSchemeCell\n", stderr);
            return;
        }
        if (x == sc_->NIL) { os_ << "NIL"; return; }
        if (x == sc_->T) { os_ << "#t"; return; }
        if (x == sc_->F) { os_ << "#f"; return; }
        if (x == sc_->EOF_OBJ) { os_ << "#<EOF>"; return; }
        uint32_t t = type(x);
        if (t > T_LAST_SYSTEM_TYPE) {
            CPPBridge::error("Bad cell type - not printing");
            return;
        }
        switch (t) {
        case T_STRING: os_ << '"'; os_.write(strvalue(x), strlength(x)); os_ << '"'; return;
        case T_SYMBOL: os_ << symname_fast(x); return;
        case T_CHARACTER: os_ << ivalue_unchecked(x); return;
        case T_ENVIRONMENT: os_ << "#<ENVIRONMENT " << static_cast<const void*>(x) << '>'; return;
        case T_PROC:
            os_ << "#<PROC>";
            // The insides of a primitive are its opcode, not cells: show its name and number.
            if (extended_) {
                int op = procnum(x);
                const char* name = op >= 0 && op < OP_MAXDEFINED ? dispatch_table[op].name : nullptr;
                os_ << "<<<" << (name ? name : "ILLEGAL!") << ' ' << op << ">>>";
            }
            return;
        case T_FOREIGN:
            os_ << "#<FOREIGN>";
            if (extended_) os_ << "<<<" << reinterpret_cast<const void*>(x->_object._ff) << ">>>";
            return;
        case T_CLOSURE:
            os_ << "#<CLOSURE " << static_cast<const void*>(x) << '>';
            if (extended_) {
                os_ << "<<<";
                push_text(">>>");
                push_body(x);
            }
            return;
        case T_CONTINUATION: os_ << "#<CONTINUATION>"; return;
        case T_CPTR: os_ << "#<CPTR: " << x->_object._cptr << '>'; return;
        case T_OBJC: {
            auto* obj = static_cast<Object*>(x->_object._cptr);
            os_ << "#<OBJC: " << (obj ? obj->description() : std::string("nil")) << '>';
            return;
        }
        case T_VECTOR: {
            int64_t n = ivalue_unchecked(x);
            if (n > 1000) {
                os_ << "#(" << " -- " << n << " elements -- )";
                return;
            }
            os_ << "#(";
            vector_step(x, 0);
            return;
        }
        case T_PORT: os_ << "#<PORT>"; return;
        case T_PAIR:
            os_ << '(';
            push_text(")");
            push_body(x);
            return;
        case T_NUMBER: {
            const num& n = numref(x);
            if (n.num_type == NUM_INTEGER)
                os_ << n.value.ivalue;
            else if (n.num_type == NUM_RATIONAL)
                os_ << n.value.ratvalue.n << '/' << n.value.ratvalue.d;
            else
                os_ << n.value.rvalue;
            return;
        }
        default: os_ << "UNKOWN (GC'd?)"; return;
        }
    }

    scheme* sc_;
    std::ostream& os_;
    bool extended_;
    long budget_ = RENDER_CELL_BUDGET;
    std::vector<item> work_;
};

}  // namespace

void printSchemeCell(scheme* sc, std::ostream& os, pointer x, bool extended) {
    renderer r(sc, os, extended);
    r.push_cell(x);
    r.run();
}

void printSchemeCons(scheme* sc, std::ostream& os, pointer x, bool extended) {
    if (!x || type(x) != T_PAIR) {
        printSchemeCell(sc, os, x, extended);
        return;
    }
    renderer r(sc, os, extended);
    r.push_body(x);
    r.run();
}

}  // namespace omb
