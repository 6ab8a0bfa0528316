// The one error routine: report to the log, then hand over to *error-hook* or to the error primitive.
#include <sstream>

#include "interpreter/cell_renderer.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "scheme_private.h"

namespace omb {

namespace {

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

}  // namespace

pointer _Error_1(scheme* sc, const char* s, pointer a) {
    devlog("Scheme _Error_1(error str): %s", s);
    devlog("Scheme _Error_1(pointer a): %p", static_cast<void*>(a));
    devlog("Scheme _Error_1(car (sc->code)): %p",
           static_cast<void*>(type(sc->code) == T_PAIR ? car(sc->code) : nullptr));
    std::string report = report_text(sc, s, a);
    devlog("EVAL ERROR: %s", report.c_str());
    CPPBridge::error_text(report);

    if (a) protect_cell(sc, a);
    pointer message = mk_string(sc, s);
    setimmutable(message);
    protect_cell(sc, message);
    pointer hook = find_slot_in_env(sc, sc->envir, sc->sym_error_hook, 1);
    if (hook != sc->NIL) {
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
