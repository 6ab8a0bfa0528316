// The one error routine: report to the log, then hand over to *error-hook* or to the error primitive.
#include <sstream>

#include "interpreter/cell_renderer.h"
#include "interpreter/process_switches.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "scheme_private.h"

namespace omb {

namespace {

std::string render(scheme* sc, pointer x) {
    std::ostringstream os;
    printSchemeCell(sc, os, x, false);
    return os.str();
}

std::string report_text(scheme* sc, const char* s, pointer a) {
    std::ostringstream os;
    os << s;
    if (a) {
        os << ' ';
        printSchemeCell(sc, os, a, false);
    }
    os << '\n';
    if (type(sc->code) == T_PAIR) printSchemeCell(sc, os, car(sc->code), true);
    return os.str();
}

const char* primitive_name(pointer x) {
    int op = procnum(x);
    const char* name = op >= 0 && op < OP_MAXDEFINED ? dispatch_table[op].name : nullptr;
    return name ? name : "ILLEGAL!";
}

// Names a frame by what it was applying: a defined function, a primitive, or the form being evaluated.
void describe_frame(scheme* sc, std::ostringstream& text, int op, pointer args) {
    pointer first = is_pair_fast(args) ? car(args) : sc->NIL;
    devlog("LOOKUP: %p", static_cast<void*>(first));
    pointer code = type(first) == T_CLOSURE ? closure_code(first) : first;
    auto named = sc->value_names->find(code);
    if (named != sc->value_names->end()) {
        text << ' ' << symname_fast(named->second);
    } else if (type(first) == T_PROC) {
        text << primitive_name(first);
    } else if (is_pair_fast(first) && !(type(car(first)) == T_SYMBOL && (car(first)->_flag & T_SYNTAX))) {
        text << (op == OP_LETSTAR1 ? "let*" : "undefined opcode") << " : \n";
        for (pointer p = args; is_pair_fast(p); p = cdr(p)) text << "\t\t" << render(sc, car(p)) << '\n';
    } else {
        text << "???";
    }
    text << " : " << render(sc, code) << '\n';
}

void extended_dump(scheme* sc) {
    // Frames oldest first; copy_scratch_a keeps the list alive while it is rendered.
    sc->copy_scratch_a = reverse(sc, dump_as_list(sc));
    devlog("\nSTACK: %s", render(sc, sc->copy_scratch_a).c_str());
    std::ostringstream text;
    int counter = 0;
    for (pointer p = sc->copy_scratch_a; is_pair_fast(p) && is_pair_fast(cdr(p));) {
        // Reversed, each frame reads code, environment, args, opcode.
        pointer args = caddr(p);
        pointer opcell = car(cdddr(p));
        int op = type(opcell) == T_NUMBER ? procnum(opcell) : -1;
        sc->copy_scratch_b = args;
        text << counter++ << ")\t";
        describe_frame(sc, text, op, args);
        text << "\tARGS: \n";
        for (pointer a = args; is_pair_fast(a); a = cdr(a)) text << "\t\t" << render(sc, car(a)) << '\n';
        p = cdr(cdddr(p));
    }
    text << "\n----------------------------\nLast function called by ombrel: ";
    pointer last = sc->last_called;
    auto named = sc->value_names->find(type(last) == T_CLOSURE ? closure_code(last) : last);
    if (named != sc->value_names->end())
        text << symname_fast(named->second);
    else if (type(last) == T_CLOSURE)
        text << render(sc, closure_code(last));
    else if (type(last) == T_PROC)
        text << primitive_name(last);
    else
        text << "unkown function";
    text << "\nLast eval string from ombrel:" << (sc->last_loaded_text ? sc->last_loaded_text : "")
         << "\n----------------------------\n\n";
    sc->copy_scratch_a = sc->copy_scratch_b = sc->NIL;
    CPPBridge::error_text(text.str());
}

bool hook_running(scheme* sc) {
    for (int i = sc->dump_size - 1; i >= 0; --i)
        if (sc->dump_base[i].op == OP_ERROR_HOOK_DONE) return true;
    return false;
}

}  // namespace

pointer _Error_1(scheme* sc, const char* s, pointer a) {
    sc->fresh_args = sc->NIL;  // the report and the hook may still look at them
    devlog("Scheme _Error_1(error str): %s", s);
    devlog("Scheme _Error_1(pointer a): %p", static_cast<void*>(a));
    devlog("Scheme _Error_1(car (sc->code)): %p",
           static_cast<void*>(type(sc->code) == T_PAIR ? car(sc->code) : nullptr));
    std::string report = report_text(sc, s, a);
    devlog("EVAL ERROR: %s", report.c_str());
    CPPBridge::error_text(report);
    ++sc->errors_logged;

    if (a) protect_cell(sc, a);
    if (EXTENDED_ERROR_LOGGING.load(std::memory_order_relaxed)) extended_dump(sc);
    pointer message = mk_string(sc, s);
    setimmutable(message);
    protect_cell(sc, message);
    pointer hook = find_slot_in_env(sc, sc->envir, sc->sym_error_hook, 1);
    // An error raised by the hook itself goes to the error primitive: handing it back would loop for ever. The
    // marker frame says a hook is running; a hook left through a continuation takes its marker with it.
    if (hook != sc->NIL && !hook_running(sc)) {
        s_save(sc, OP_ERROR_HOOK_DONE, sc->NIL, sc->NIL);
        // (hook "message" (quote irritant)), evaluated where the error happened.
        pointer rest = sc->NIL;
        if (a) rest = s_cons(sc, s_cons(sc, sc->sym_quote, s_cons(sc, a, sc->NIL)), sc->NIL);
        sc->code = s_cons(sc, slot_value_in_env(hook), s_cons(sc, message, rest));
        sc->op = OP_EVAL;
    } else {
        sc->args = s_cons(sc, message, a ? s_cons(sc, a, sc->NIL) : sc->NIL);
        sc->op = OP_ERR0;
    }
    unprotect_cell(sc, message);
    if (a) unprotect_cell(sc, a);
    return sc->T;
}

}  // namespace omb
