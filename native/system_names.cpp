// The system utilities: number converters, the system log, the log view, the message bar, help, the
// interpreter's string buffer, scripts, editor text buffers and the pasteboard.
//
// What belongs to the application goes through native/controller.h. With no application (a bare interpreter, a
// test) the names that need one do nothing, answer #f and say so once each; the message bar answers "" and help
// reads the dictionary delivered with the program.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "editor/text/documentation.h"
#include "interpreter/scheme.h"
#include "native/controller.h"
#include "native/help.h"
#include "native/native_scheme.h"
#include "native/script_runner.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "platform/objects/foundation.h"

namespace omb {

namespace {

pointer nth(scheme* sc, pointer args, int n) {
    for (; n > 0 && is_pair(args); --n) args = pair_cdr(args);
    return is_pair(args) ? pair_car(args) : sc->NIL;
}
pointer boolean(scheme* sc, bool b) { return b ? sc->T : sc->F; }
pointer string_cell(scheme* sc, const std::string& s) {
    return mk_counted_string(sc, s.data(), static_cast<int>(s.size()));
}
pointer nsstring_cell(scheme* sc, std::string s) { return mk_objc(sc, make_object<NSString>(std::move(s)).release()); }

// A Scheme string or a string object.
std::optional<std::string> text_of(pointer p) {
    if (is_string(p)) return std::string(string_value(p));
    if (is_objc(p))
        if (const auto* s = dynamic_cast<const NSString*>(objc_value(p))) return s->utf8();
    return std::nullopt;
}

// The application, or null after saying once per procedure that there is none.
NativeController* application(std::atomic<bool>& told, const char* procedure) {
    NativeController* app = native_controller();
    if (!app && !told.exchange(true)) CPPBridge::notification("%s: no application window to act on", procedure);
    return app;
}

const Documentation& documentation() {
    if (NativeController* app = native_controller()) return app->documentation();
    static const Documentation delivered = Documentation::load_default();
    return delivered;
}

// ---- converters and the system log ---------------------------------------------------------------------------

// Folds the low 32 bits of every argument; the result reads as a signed 32-bit value.
template <typename Op>
pointer fold_bits(scheme* sc, pointer args, uint32_t start, const char* procedure, Op op) {
    uint32_t bits = start;
    for (pointer p = args; is_pair(p); p = pair_cdr(p)) {
        if (!is_integer(pair_car(p))) {
            CPPBridge::error("%s needs integers", procedure);
            return sc->F;
        }
        bits = op(bits, static_cast<uint32_t>(ivalue(pair_car(p))));
    }
    return mk_integer(sc, static_cast<int32_t>(bits));
}

pointer binary_or(scheme* sc, pointer args) {
    return fold_bits(sc, args, 0, "io:binary-or", [](uint32_t a, uint32_t b) { return a | b; });
}

// With no arguments, every bit set (-1): what AND starts from, so (apply io:binary-and masks) works for none.
pointer binary_and(scheme* sc, pointer args) {
    return fold_bits(sc, args, 0xFFFFFFFFu, "io:binary-and", [](uint32_t a, uint32_t b) { return a & b; });
}

pointer log_text(scheme* sc, pointer args) {
    pointer text = nth(sc, args, 0);
    if (!is_string(text)) {
        CPPBridge::error("io:log needs a string");
        return sc->F;
    }
    devlog("%s", string_value(text));
    return sc->T;
}

// Toward zero; a real beyond the integers (or not a number at all) has no answer rather than a saturated one.
pointer real_to_integer(scheme* sc, pointer args) {
    pointer x = nth(sc, args, 0);
    if (!is_number(x)) {
        CPPBridge::error("real->integer needs a number");
        return sc->F;
    }
    if (is_real(x)) {
        const double t = std::trunc(rvalue(x));
        if (!std::isfinite(t) || t >= 9223372036854775808.0 || t < -9223372036854775808.0) {
            CPPBridge::error("real->integer: %g is beyond the integers", rvalue(x));
            return sc->F;
        }
    }
    return mk_integer(sc, ivalue(x));
}

pointer integer_to_real(scheme* sc, pointer args) {
    pointer x = nth(sc, args, 0);
    if (!is_number(x)) {
        CPPBridge::error("integer->real needs a number");
        return sc->F;
    }
    return mk_real(sc, rvalue(x));
}

// A copy per distinct text, kept for the program's life: native code may hold the pointer as long as Scheme holds
// the cptr, and equal texts share a copy, so memory grows with the texts used, not with the calls.
const char* lasting_copy(const std::string& text) {
    static std::mutex m;
    static auto* texts = new std::set<std::string>;  // never destroyed: pointers into it may outlive static teardown
    std::lock_guard lock(m);
    return texts->insert(text).first->c_str();
}

pointer string_to_cptr(scheme* sc, pointer args) {
    pointer text = nth(sc, args, 0);
    if (!is_string(text)) {
        CPPBridge::error("string->cptr needs a string");
        return sc->F;
    }
    return mk_cptr(sc, const_cast<char*>(lasting_copy(string_value(text))));
}

// ---- log view, message bar, help, buffers --------------------------------------------------------------------

pointer clear_log_view(scheme* sc, pointer) {
    static std::atomic<bool> told{false};
    NativeController* app = application(told, "sys:clear-log-view");
    devlog("clear log view  %p", static_cast<void*>(app));
    if (!app) return sc->F;
    app->clear_log();
    return sc->T;
}

pointer write_log_view(scheme* sc, pointer args) {
    pointer path = nth(sc, args, 0);
    if (!is_string(path)) {
        CPPBridge::error("sys:write-log-view needs a file path string");
        return sc->F;
    }
    static std::atomic<bool> told{false};
    NativeController* app = application(told, "sys:write-log-view");
    const std::string file = string_value(path);
    devlog("write log view  %s", file.c_str());
    if (!app) return sc->F;
    if (app->write_log(file)) return sc->T;
    CPPBridge::error("The log could not be written to %s", file.c_str());
    return sc->F;
}

pointer message_bar_text(scheme* sc, pointer) {
    NativeController* app = native_controller();
    return string_cell(sc, app ? app->message_bar_text() : std::string());
}

// (sys:ombrel-help name [with-examples] [html-directory])
pointer ombrel_help(scheme* sc, pointer args) {
    pointer symbol = nth(sc, args, 0);
    if (!is_symbol(symbol) && !is_string(symbol)) {
        CPPBridge::error("sys:ombrel-help needs a name, as a symbol");
        return sc->F;
    }
    const std::string name = is_symbol(symbol) ? symname(symbol) : string_value(symbol);
    const Documentation::Entry* entry = documentation().find(name);
    if (!entry) {
        CPPBridge::notification("No documentation for %s", name.c_str());
        return sc->F;
    }
    pointer directory = nth(sc, args, 2);
    HelpText text = render_help(name, *entry, {nth(sc, args, 1) == sc->T, is_string(directory) != 0});
    bool written = true;
    if (is_string(directory)) {
        std::string why;
        written = write_help_page(string_value(directory), name, text, &why);
        if (!written) CPPBridge::error("The help page for %s was not written: %s", name.c_str(), why.c_str());
    }
    text.push_back({HelpRun::Style::body, "\n\n", {}});
    post_help(text);
    return boolean(sc, written);
}

pointer help_entries(scheme* sc, pointer) {
    const std::vector<std::string> names = documentation().names();
    pointer v = mk_vector(sc, static_cast<int>(names.size()));
    if (!is_vector(v)) return sc->F;
    protect_cell(sc, v);
    for (size_t i = 0; i < names.size(); ++i) set_vector_elem(v, static_cast<int>(i), string_cell(sc, names[i]));
    unprotect_cell(sc, v);
    return v;
}

// The reader's token buffer: the text of the last atom or string it read (bounded, so never unterminated).
pointer scheme_str_buffer(scheme* sc, pointer) {
    const std::string copy(sc->strbuff, ::strnlen(sc->strbuff, sizeof sc->strbuff));
    return string_cell(sc, copy);
}

Ref<Object> strings_array(const std::vector<std::string>& lines) {
    std::vector<Ref<Object>> items;
    for (const std::string& line : lines) items.push_back(make_object<NSString>(line));
    return make_object<NSArray>(std::move(items));
}

Ref<Object> entry_dictionary(const Documentation::Entry& e) {
    std::vector<NSDictionary::Item> arguments;
    for (const auto& [name, description] : e.arguments)
        arguments.emplace_back(make_object<NSString>(name), make_object<NSString>(description));
    std::string related;
    for (const std::string& name : e.related) related += (related.empty() ? "" : " ") + name;
    std::vector<NSDictionary::Item> items;
    items.emplace_back(make_object<NSString>("short"), make_object<NSString>(e.short_text));
    items.emplace_back(make_object<NSString>("long"), strings_array(e.long_lines));
    items.emplace_back(make_object<NSString>("arguments"), make_object<NSDictionary>(std::move(arguments)));
    items.emplace_back(make_object<NSString>("returns"), make_object<NSString>(e.returns));
    items.emplace_back(make_object<NSString>("examples"), strings_array(e.examples));
    items.emplace_back(make_object<NSString>("related"), make_object<NSString>(related));
    return make_object<NSDictionary>(std::move(items));
}

pointer documentation_dictionary(scheme* sc, pointer) {
    const Documentation& doc = documentation();
    std::vector<NSDictionary::Item> entries;
    for (const std::string& name : doc.names())
        entries.emplace_back(make_object<NSString>(name), entry_dictionary(*doc.find(name)));
    return mk_objc(sc, make_object<NSDictionary>(std::move(entries)).release());
}

// ---- scripts -------------------------------------------------------------------------------------------------

void report_script(const ScriptResult& r, long limit_ms) {
    using S = ScriptResult::Status;
    switch (r.status) {
    case S::not_started: CPPBridge::error("The script could not start: %s", r.errors.c_str()); break;
    case S::timed_out:
        CPPBridge::error("The script ran past its time limit of %.3g s and was stopped", limit_ms / 1000.0);
        break;
    case S::too_much_output: CPPBridge::error("The script printed too much and was stopped"); break;
    case S::interrupted: CPPBridge::notification("The script was stopped by the interrupt"); break;
    case S::finished:
        if (r.exit_status != 0) {
            std::string why = r.errors.substr(0, 500);
            while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
            CPPBridge::error("The script failed (exit status %d)%s%s", r.exit_status, why.empty() ? "" : ": ",
                             why.c_str());
        }
        break;
    }
}

// The script's standard output, trailing newlines dropped (as the shell's own command substitution does).
pointer run_applescript(scheme* sc, pointer args) {
    pointer source = nth(sc, args, 0);
    if (!is_string(source)) {
        CPPBridge::error("sys:run-applescript needs the text of a script");
        return sc->F;
    }
    ScriptLimits limits;
    const long limit_ms = SCRIPT_TIME_LIMIT_MS.load();
    limits.time = std::chrono::milliseconds(limit_ms);
    limits.interrupt = &sc->interrupt;
    ScriptResult r = run_script(string_value(source), limits);
    report_script(r, limit_ms);
    std::string out = std::move(r.output);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    devlog("return value %s, exit status %d", out.c_str(), r.exit_status);
    if (!r.succeeded() || out.empty()) return sc->F;
    devlog("AScript result: %s", out.c_str());
    return nsstring_cell(sc, std::move(out));
}

// ---- editor buffers and the pasteboard -----------------------------------------------------------------------

// The buffer index argument; reports and answers nothing when it is not an integer that could be one.
std::optional<int> buffer_index(pointer p, const char* procedure) {
    if (!is_integer(p)) {
        CPPBridge::error("%s needs a buffer index", procedure);
        return std::nullopt;
    }
    const int64_t i = ivalue(p);
    if (i < 0 || i > INT32_MAX) {
        CPPBridge::error("No editor buffer %lld", static_cast<long long>(i));
        return std::nullopt;
    }
    return static_cast<int>(i);
}

pointer get_text_buffer(scheme* sc, pointer args) {
    const std::optional<int> index = buffer_index(nth(sc, args, 0), "sys:get-text-buffer");
    if (!index) return sc->F;
    static std::atomic<bool> told{false};
    NativeController* app = application(told, "sys:get-text-buffer");
    if (!app) return sc->F;
    std::optional<std::string> text = app->buffer_text(*index);
    if (!text) {
        CPPBridge::error("No editor buffer %d", *index);
        return sc->F;
    }
    return nsstring_cell(sc, std::move(*text));
}

pointer set_text_buffer(scheme* sc, pointer args) {
    const std::optional<int> index = buffer_index(nth(sc, args, 0), "sys:set-text-buffer");
    if (!index) return sc->F;
    const std::optional<std::string> text = text_of(nth(sc, args, 1));
    if (!text) {
        CPPBridge::error("sys:set-text-buffer needs a string or a string object");
        return sc->F;
    }
    static std::atomic<bool> told{false};
    NativeController* app = application(told, "sys:set-text-buffer");
    if (!app) return sc->F;
    if (app->set_buffer_text(*index, *text)) return sc->T;
    CPPBridge::error("No editor buffer %d", *index);
    return sc->F;
}

pointer set_pasteboard(scheme* sc, pointer args) {
    const std::optional<std::string> text = text_of(nth(sc, args, 0));
    if (!text) {
        CPPBridge::error("sys:set-pasteboard needs a string or a string object");
        return sc->F;
    }
    static std::atomic<bool> told{false};
    NativeController* app = application(told, "sys:set-pasteboard");
    if (!app) return sc->F;
    app->set_pasteboard(*text);
    return sc->T;
}

constexpr NativeProcedure CONVERTERS_AND_LOG[] = {
    {"io:binary-or", binary_or},        {"io:binary-and", binary_and},       {"io:log", log_text},
    {"real->integer", real_to_integer}, {"integer->real", integer_to_real}, {"string->cptr", string_to_cptr},
};

constexpr NativeProcedure LOG_HELP_AND_BUFFERS[] = {
    {"sys:clear-log-view", clear_log_view},
    {"sys:write-log-view", write_log_view},
    {"sys:get-string-from-message-bar", message_bar_text},
    {"sys:ombrel-help", ombrel_help},
    {"sys:help-entries", help_entries},
    {"sys:get-scheme-str-buffer", scheme_str_buffer},
    {"sys:get-documentation-dictionary", documentation_dictionary},
};

constexpr NativeProcedure SCRIPTS[] = {{"sys:run-applescript", run_applescript}};

constexpr NativeProcedure TEXT_BUFFERS_AND_PASTEBOARD[] = {
    {"sys:get-text-buffer", get_text_buffer},
    {"sys:set-text-buffer", set_text_buffer},
    {"sys:set-pasteboard", set_pasteboard},
};

}  // namespace

NativeTable converter_and_log_procedures() { return CONVERTERS_AND_LOG; }
NativeTable log_help_and_buffer_procedures() { return LOG_HELP_AND_BUFFERS; }
NativeTable script_procedures() { return SCRIPTS; }
NativeTable text_buffer_and_pasteboard_procedures() { return TEXT_BUFFERS_AND_PASTEBOARD; }

}  // namespace omb
