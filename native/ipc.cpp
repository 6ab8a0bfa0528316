// Inter-process calls: Scheme in one process creates processes, connects REPL clients, and sends Scheme text to
// another process through the application's REPL client for it (native/controller.h), so that the target evaluates
// it exactly as it evaluates editor input; and port messages, a data object for a procedure of a process in another
// copy of the program (native/port_messages.h).
//
// Threads: every procedure runs on the calling process's executer. Creating and connecting are posted to the main
// thread and happen after the procedure has returned; text goes out through the REPL client at once.
#include <charconv>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "interpreter/cell_renderer.h"
#include "native/controller.h"
#include "native/native_scheme.h"
#include "native/port_messages.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

pointer arg(scheme* sc, pointer args, int n) {
    for (; n > 0 && is_pair(args); --n) args = pair_cdr(args);
    return is_pair(args) ? pair_car(args) : sc->NIL;
}

// A name given as a string or a symbol.
bool name_of(pointer p, std::string& into) {
    if (is_string(p)) into = string_value(p);
    else if (is_symbol(p)) into = symname(p);
    else return false;
    return true;
}

// ---- values as text the target reads back --------------------------------------------------------------------------

template <class T>
std::string hex(const char* format, T value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void append_string(std::string& out, const char* text, size_t n) {
    out += '"';
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') out += '\\', out += char(c);
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c == '\r') out += "\\r";
        else if (c < 32 || c == 127) out += hex("\\x%02X", c);
        else out += char(c);
    }
    out += '"';
}

void append_character(std::string& out, int64_t c) {
    if (c == ' ') out += "#\\space";
    else if (c == '\n') out += "#\\newline";
    else if (c == '\t') out += "#\\tab";
    else if (c == '\r') out += "#\\return";
    else if (c > 32 && c < 127) out += "#\\", out += char(c);
    else out += hex("#\\x%llx", static_cast<unsigned long long>(c));
}

// Every digit that tells the double apart, and a point, so that it reads back as the same real (not an integer).
void append_real(scheme* sc, std::string& out, pointer x) {
    const double d = rvalue(x);
    char text[64];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, d);
    if (!std::isfinite(d) || ec != std::errc()) {
        out += printed(sc, x);
        return;
    }
    out.append(text, end);
    if (std::string_view(text, end).find_first_of(".e") == std::string_view::npos) out += ".0";
}

void append_atom(scheme* sc, std::string& out, pointer x) {
    if (x == sc->NIL) out += "()";
    else if (is_string(x)) append_string(out, string_value(x), std::strlen(string_value(x)));
    else if (is_character(x)) append_character(out, charvalue(x));
    else if (is_number(x) && !is_integer(x) && !is_rational(x)) append_real(sc, out, x);
    else out += printed(sc, x);  // numbers, symbols, booleans; what cannot be read back stays as printed
}

// The printed form, except where it would not read back as the same value: strings are escaped, characters and
// the empty list written as the reader takes them, reals with all their digits. Lists and vectors are walked
// without recursion (a deep one must not take the executer's stack), and a circular one is cut short.
std::string written(scheme* sc, pointer x) {
    enum Kind { datum, list_tail, elements };
    struct Step {
        Kind kind;
        pointer p;
        int64_t index;
    };
    std::string out;
    std::vector<Step> work{{datum, x, 0}};
    for (long budget = RENDER_CELL_BUDGET; !work.empty();) {
        if (--budget < 0) return out + " ...";
        const Step s = work.back();
        work.pop_back();
        if (s.kind == datum && is_pair(s.p)) {
            out += '(';
            work.push_back({list_tail, pair_cdr(s.p), 0});
            work.push_back({datum, pair_car(s.p), 0});
        } else if (s.kind == datum && is_vector(s.p)) {
            out += "#(";
            work.push_back({elements, s.p, 0});
        } else if (s.kind == datum) {
            append_atom(sc, out, s.p);
        } else if (s.kind == elements && s.index == vector_length(s.p)) {
            out += ')';
        } else if (s.kind == elements) {
            if (s.index > 0) out += ' ';
            work.push_back({elements, s.p, s.index + 1});
            work.push_back({datum, vector_elem(s.p, static_cast<int>(s.index)), 0});
        } else if (is_pair(s.p)) {
            out += ' ';
            work.push_back({list_tail, pair_cdr(s.p), 0});
            work.push_back({datum, pair_car(s.p), 0});
        } else {
            if (s.p != sc->NIL) out += " . ", append_atom(sc, out, s.p);
            out += ')';
        }
    }
    return out;
}

// How a value goes into a request: lists and vectors quoted (a list must not become a call), a closure as the
// lambda of its code, anything else as written.
std::string source_of(scheme* sc, pointer x) {
    if (is_pair(x) || is_vector(x)) return "'" + written(sc, x);
    if (is_closure(x)) return "(lambda " + written(sc, closure_code(x)).substr(1);
    return written(sc, x);
}

NativeController* controller_or_report(const char* who) {
    NativeController* c = native_controller();
    if (!c) CPPBridge::error("%s: this program has no application to reach other processes through", who);
    return c;
}

// The text goes to whatever REPL client the name finds; a name without one finds none, and nothing is sent.
pointer send_text(scheme* sc, NativeController* c, const std::string& process, const std::string& text) {
    c->write_to_repl(text, c->index_of_repl(process));
    return sc->T;
}

pointer ipc_call(scheme* sc, pointer args) {
    std::string process, procedure;
    if (!name_of(arg(sc, args, 0), process) || !name_of(arg(sc, args, 1), procedure)) {
        CPPBridge::error("sys:ipc-call needs a process name and a procedure symbol");
        return sc->F;
    }
    NativeController* c = controller_or_report("sys:ipc-call");
    if (!c) return sc->F;
    std::string text = "(" + procedure;
    for (pointer rest = pair_cdr(pair_cdr(args)); is_pair(rest); rest = pair_cdr(rest))
        text += " " + source_of(sc, pair_car(rest));
    return send_text(sc, c, process, text + ")");
}

pointer ipc_new_process(scheme* sc, pointer args) {
    std::string name;
    const pointer port = arg(sc, args, 1);
    if (!name_of(arg(sc, args, 0), name) || !is_integer(port)) {
        CPPBridge::error("sys:ipc-new-process needs a process name and a port number");
        return sc->F;
    }
    NativeController* c = controller_or_report("sys:ipc-new-process");
    if (!c) return sc->F;
    c->new_process(name, static_cast<int>(ivalue(port)));
    return sc->T;
}

pointer ipc_connect_to_process(scheme* sc, pointer args) {
    std::string name, host;
    const pointer port = arg(sc, args, 2);
    if (!name_of(arg(sc, args, 0), name) || !is_string(arg(sc, args, 1)) || !is_integer(port)) {
        CPPBridge::error("sys:ipc-connect-to-process needs a process name, a host name and a port number");
        return sc->F;
    }
    host = string_value(arg(sc, args, 1));
    NativeController* c = controller_or_report("sys:ipc-connect-to-process");
    if (!c) return sc->F;
    SchemeInterface::addConnectionEntry();
    c->connect_to_process(name, host, static_cast<int>(ivalue(port)));
    return sc->T;
}

pointer ipc_define(scheme* sc, pointer args) {
    std::string process, symbol;
    if (!name_of(arg(sc, args, 0), process) || !is_symbol(arg(sc, args, 1)) || !is_pair(pair_cdr(pair_cdr(args)))) {
        CPPBridge::error("sys:ipc-define needs a process name, a symbol and a value");
        return sc->F;
    }
    symbol = symname(arg(sc, args, 1));
    NativeController* c = controller_or_report("sys:ipc-define");
    if (!c) return sc->F;
    return send_text(sc, c, process, "(define " + symbol + " " + source_of(sc, arg(sc, args, 2)) + ")");
}

pointer ipc_load(scheme* sc, pointer args) {
    std::string process;
    if (!name_of(arg(sc, args, 0), process) || !is_string(arg(sc, args, 1))) {
        CPPBridge::error("sys:ipc-load needs a process name and a file path");
        return sc->F;
    }
    NativeController* c = controller_or_report("sys:ipc-load");
    if (!c) return sc->F;
    return send_text(sc, c, process, std::string("(load \"") + string_value(arg(sc, args, 1)) + "\")");
}

// The text goes between double quotes as it is: a performer who wants a quote inside writes it escaped.
pointer ipc_eval_string(scheme* sc, pointer args) {
    std::string process;
    if (!name_of(arg(sc, args, 0), process) || !is_string(arg(sc, args, 1))) {
        CPPBridge::error("sys:ipc-eval-string needs a process name and the Scheme text to evaluate");
        return sc->F;
    }
    NativeController* c = controller_or_report("sys:ipc-eval-string");
    if (!c) return sc->F;
    return send_text(sc, c, process, std::string("(eval-string \"") + string_value(arg(sc, args, 1)) + "\")");
}

// host, [process,] procedure, object: without a process, the other copy's primary process.
pointer send_port_message(scheme* sc, pointer args) {
    const int n = list_length(sc, args);
    std::string host, process = "primary process", procedure;
    const pointer object = arg(sc, args, n - 1);
    const bool named = n == 4 ? name_of(arg(sc, args, 1), process) : n == 3;
    if (!named || !is_string(arg(sc, args, 0)) || !name_of(arg(sc, args, n - 2), procedure) || !is_objc(object)) {
        CPPBridge::error("io:send-port-message needs a host, optionally a process name, a procedure name and an "
                         "object (a string, number, data, array or dictionary object)");
        return sc->F;
    }
    host = string_value(arg(sc, args, 0));
    return port_messages::send(host, process, procedure, objc_value(object)) ? sc->T : sc->F;
}

constexpr NativeProcedure IPC[] = {
    {"sys:ipc-call", ipc_call},
    {"sys:ipc-new-process", ipc_new_process},
    {"sys:ipc-connect-to-process", ipc_connect_to_process},
    {"sys:ipc-define", ipc_define},
    {"sys:ipc-load", ipc_load},
    {"sys:ipc-eval-string", ipc_eval_string},
    {"io:send-port-message", send_port_message},
};

}  // namespace

NativeTable ipc_procedures() { return IPC; }

}  // namespace omb
