#include "app/preferences.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <pwd.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "platform/log_bridge.h"

namespace omb {

namespace {

using plist::Array;
using plist::Dict;
using plist::Value;

constexpr std::string_view VERSION = "1";

constexpr std::string_view SCHEME_KEYWORDS =
    "define lambda set! if let let* cond begin define-macro macro do letrec else #t #f define-syntax syntax-rules "
    "case and or pattern";
// Library names coloured in the editor: time, audio, MIDI, OSC, drawing, image and movie.
constexpr std::string_view OMB_KEYWORDS =
    "callback callback-tagged now schedule make-metro seconds random random-choice random-range coin cosr sinr "
    "*second* *minute* *hour* *samplerate* au:make-node au:connect-node au:disconnect-node au:update-graph "
    "au:clear-graph au:print-graph au:get-param au:load-preset au:save-preset au:set-global-tempo au:set-global-beat "
    "au:start-audio-capture au:stop-audio-capture io:midi-in io:midi-out io:midi-source io:midi-destination "
    "io:read-midi-file io:osc-receive io:osc-register-events io:send-port-message gfx:make-canvas gfx:open-canvas "
    "gfx:close-canvas gfx:make-path gfx:add-line gfx:add-oval gfx:add-arc gfx:add-text gfx:make-text-style "
    "gfx:load-image gfx:make-image gfx:capture-image gfx:filter-image gfx:load-movie gfx:get-movie-frame "
    "gfx:start-movie-capture gfx:stop-movie-capture";
constexpr std::string_view SPECIAL_FORMS =
    "define lambda let let* do define-macro macro letrec dotimes define-syntax syntax-rules pattern";

constexpr Colour KEYWORD_FALLBACK{0.6, 0, 0, 1};
constexpr int TABWIDTH = 1;

constexpr std::string_view DEFAULT_FRAMES[2] = {"{{100, 100}, {800, 600}}", "{{920, 100}, {500, 600}}"};

struct ColourDefault {
    std::string_view key;
    Colour light;  // also the colours in use by default
    Colour dark;
};

constexpr ColourDefault COLOURS[] = {
    {"editor_bg", {0.95, 0.95, 0.95, 0.99}, {0.1, 0.1, 0.12, 0.99}},
    {"editor_fg", {0, 0, 0.4, 1}, {0.85, 0.85, 0.8, 1}},
    {"editor_hl", {0.85, 0.85, 1, 1}, {0.2, 0.2, 0.3, 1}},
    {"editor_string", {0.5, 0, 1, 1}, {0.8, 0.6, 1, 1}},
    {"editor_comments", {0, 0.4, 0.1, 1}, {0.45, 0.7, 0.45, 1}},
    {"editor_number", {0, 0, 1, 1}, {0.5, 0.7, 1, 1}},
    {"editor_scheme_colour", {0.6, 0, 0, 1}, {1, 0.45, 0.4, 1}},
    {"editor_omb_colour", {0.5, 0.3, 0, 1}, {0.95, 0.7, 0.3, 1}},
    {"editor_selection", {0.8, 0.7, 0.8, 1}, {0.35, 0.3, 0.4, 1}},
    {"eval_hl", {0.9, 0.9, 0.8, 1}, {0.3, 0.3, 0.2, 1}},
    {"output_text", {0.7, 0.8, 0.9, 1}, {0.7, 0.8, 0.9, 1}},
    {"error_fg", {0.9, 0.2, 0.2, 1}, {1, 0.4, 0.4, 1}},
    {"error_bg", {0.8, 0.8, 1, 1}, {0.25, 0.1, 0.1, 1}},
    {"note_fg", {0.9, 0.2, 0.2, 1}, {1, 0.8, 0.4, 1}},
    {"note_bg", {1, 1, 0.8, 1}, {0.15, 0.15, 0.1, 1}},
    {"def_sym_colour", {0.7, 0.3, 0, 1}, {0.95, 0.6, 0.3, 1}},
};

enum class Kind { flag, integer, real, text, colourset };

// Every preference that is not a colour. `number` is the default of a flag (0 or 1), an integer or a real.
struct Rule {
    std::string_view key;
    Kind kind;
    double number = 0;
    double lo = 0, hi = 0;
    std::string_view text = {};
    bool may_be_empty = false;
};

constexpr double UNBOUNDED = std::numeric_limits<double>::infinity();

constexpr Rule RULES[] = {
    {"expr_highlight", Kind::flag, 1},
    {"floating_auview", Kind::flag, 0},
    {"audio_frames", Kind::integer, 256, 16, 8192},
    {"reaper_time", Kind::real, 3.25, 0, UNBOUNDED},
    {"reap_callbacks", Kind::flag, 0},
    // What the strings of one Scheme process may hold, in megabytes; 0: a quarter of the machine's memory.
    {"string_memory_mb", Kind::integer, 0, 0, 1 << 24},
    {"font_size", Kind::real, 12.0, 4, 288},
    {"osc_port", Kind::integer, 7009, 1025, 65535},
    {"dark_colourset", Kind::colourset, 1},
    {"light_colourset", Kind::colourset, 0},
    // The servers evaluate what they receive, so they listen on loopback unless the performer opens them.
    {"listen_address", Kind::text, 0, 0, 0, "127.0.0.1"},
    {"osc_listen_address", Kind::text, 0, 0, 0, "127.0.0.1"},
    // OSC from other computers: the server binds every interface instead of osc_listen_address's loopback.
    {"osc_remote", Kind::flag, 0},
    {"audio_driver", Kind::text, 0, 0, 0, "", true},
    {"midi_system", Kind::text, 0, 0, 0, "auto"},
    {"eval_port", Kind::integer, 7010, 1025, 65535},
    // Port messages from other copies of the program call Scheme procedures: loopback too, unless opened.
    {"port_message_port", Kind::integer, 7008, 1025, 65535},
    {"port_message_listen_address", Kind::text, 0, 0, 0, "127.0.0.1"},
};

const ColourDefault* colour_default(std::string_view key) {
    for (const auto& c : COLOURS)
        if (c.key == key) return &c;
    return nullptr;
}

const Rule* rule_for(std::string_view key) {
    for (const auto& r : RULES)
        if (r.key == key) return &r;
    return nullptr;
}

std::string number_text(double d) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    return ec == std::errc() ? std::string(buf, end) : "?";
}

std::string colour_text(Colour c) {
    return "(" + number_text(c.r) + ", " + number_text(c.g) + ", " + number_text(c.b) + ", " + number_text(c.a) +
           ")";
}

std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        auto space = text.find(' ');
        if (space != 0) out.push_back(text.substr(0, space));
        if (space == std::string_view::npos) break;
        text.remove_prefix(space + 1);
    }
    return out;
}

// ---- Defaults ----------------------------------------------------------------------------------------------

Value colourset(bool dark) {
    Dict d;
    for (const auto& c : COLOURS) d.set(std::string(c.key), colour_value(dark ? c.dark : c.light));
    return d;
}

Value rule_default(const Rule& r) {
    switch (r.kind) {
    case Kind::flag: return r.number != 0;
    case Kind::integer: return static_cast<std::int64_t>(r.number);
    case Kind::real: return r.number;
    case Kind::text: return r.text;
    case Kind::colourset: return colourset(r.number != 0);
    }
    return {};
}

Dict default_preferences() {
    Dict d;
    for (const auto& c : COLOURS) d.set(std::string(c.key), colour_value(c.light));
    for (const auto& r : RULES) d.set(std::string(r.key), rule_default(r));
    return d;
}

Value keyword_records(std::string_view list, Colour colour) {
    Array a;
    for (auto w : words(list)) {
        Dict rec;
        rec.set("name", w);
        rec.set("colour", colour_value(colour));
        a.push_back(std::move(rec));
    }
    return a;
}

Value special_form_records() {
    Array a;
    for (auto w : words(SPECIAL_FORMS)) {
        Dict rec;
        rec.set("name", w);
        rec.set("tabwidth", TABWIDTH);
        a.push_back(std::move(rec));
    }
    return a;
}

Value default_frames() { return Array{Value(DEFAULT_FRAMES[0]), Value(DEFAULT_FRAMES[1])}; }

// ---- Checking ----------------------------------------------------------------------------------------------

bool valid(const Rule& r, const Value& v) {
    switch (r.kind) {
    case Kind::flag: return v.is_bool();
    case Kind::integer: {
        auto i = v.as_int();
        return i && *i >= r.lo && *i <= r.hi;
    }
    case Kind::real: {
        auto d = v.as_real();
        return d && std::isfinite(*d) && *d >= r.lo && *d <= r.hi;
    }
    case Kind::text: return v.is_string() && (r.may_be_empty || !v.as_string()->empty());
    case Kind::colourset: return v.is_dict();
    }
    return false;
}

std::string expected(const Rule& r) {
    switch (r.kind) {
    case Kind::flag: return "true or false";
    case Kind::integer: return "an integer from " + number_text(r.lo) + " to " + number_text(r.hi);
    case Kind::real:
        return r.hi == UNBOUNDED ? "a number of at least " + number_text(r.lo)
                                 : "a number from " + number_text(r.lo) + " to " + number_text(r.hi);
    case Kind::text: return r.may_be_empty ? "a string" : "a non-empty string";
    case Kind::colourset: return "a dict of colours";
    }
    return {};
}

std::string default_text(const Rule& r) {
    switch (r.kind) {
    case Kind::flag: return r.number != 0 ? "true" : "false";
    case Kind::integer:
    case Kind::real: return number_text(r.number);
    case Kind::text: return "\"" + std::string(r.text) + "\"";
    case Kind::colourset: return "the default colours";
    }
    return {};
}

// Collects what was repaired, so each problem is reported once, after loading.
struct Repairs {
    std::vector<std::string> errors;
    void add(std::string text) { errors.push_back(std::move(text)); }
};

constexpr std::string_view COLOUR_EXPECTED = "expected a colour {red, green, blue, alpha} with components from 0 to 1";

void repair_colours(Dict& d, bool dark, std::string_view prefix, Repairs& repairs) {
    for (const auto& c : COLOURS) {
        Colour fallback = dark ? c.dark : c.light;
        Value* v = d.find(c.key);
        if (v && colour_from(*v)) continue;
        if (v)
            repairs.add("Preference " + std::string(prefix) + std::string(c.key) + ": " + std::string(COLOUR_EXPECTED) +
                        "; using " + colour_text(fallback));
        d.set(std::string(c.key), colour_value(fallback));
    }
}

void repair_preferences(Dict& d, Repairs& repairs) {
    repair_colours(d, false, "", repairs);
    for (const auto& r : RULES) {
        Value* v = d.find(r.key);
        if (v && valid(r, *v)) {
            if (r.kind == Kind::colourset)
                repair_colours(*v->as_dict(), r.number != 0, std::string(r.key) + ".", repairs);
            continue;
        }
        if (v)
            repairs.add("Preference " + std::string(r.key) + ": expected " + expected(r) + "; using " +
                        default_text(r));
        d.set(std::string(r.key), rule_default(r));
    }
}

// Records without a name are dropped; an unusable `field` (the colour, the tab width) is put back as `fallback`.
// One report per kind of fault.
void repair_records(Array& records, std::string_view list, std::string_view field, bool (*usable)(const Value&),
                    const Value& fallback, Repairs& repairs) {
    bool no_name = false, bad_field = false;
    Array kept;
    for (Value& rec : records) {
        const Value* name = rec.find("name");
        if (!name || !name->is_string() || name->as_string()->empty()) {
            no_name = true;
            continue;
        }
        const Value* v = rec.find(field);
        if (!v || !usable(*v)) {
            bad_field = true;
            rec.as_dict()->set(std::string(field), fallback);
        }
        kept.push_back(std::move(rec));
    }
    records = std::move(kept);
    if (no_name) repairs.add("error in get " + std::string(list) + " dict. name");
    if (bad_field) repairs.add("error in get " + std::string(list) + " dict. " + std::string(field));
}

void repair_keywords(Array& records, Repairs& repairs) {
    auto usable = [](const Value& v) { return colour_from(v).has_value(); };
    repair_records(records, "keywords", "colour", usable, colour_value(KEYWORD_FALLBACK), repairs);
}

void repair_special_forms(Array& records, Repairs& repairs) {
    auto usable = [](const Value& v) {
        auto w = v.as_int();
        return w && *w >= 0 && *w <= 64;
    };
    repair_records(records, "special forms", "tabwidth", usable, Value(TABWIDTH), repairs);
}

void repair_frames(Array& frames, Repairs& repairs) {
    for (std::size_t i = 0; i < 2; ++i) {
        if (i >= frames.size()) {
            frames.push_back(Value(DEFAULT_FRAMES[i]));
            continue;
        }
        const std::string* s = frames[i].as_string();
        if (s && rect_from(*s)) continue;
        repairs.add("Preferences item window_size_key: entry " + std::to_string(i) +
                    " is not a rectangle \"{{x, y}, {w, h}}\"; using " + std::string(DEFAULT_FRAMES[i]));
        frames[i] = Value(DEFAULT_FRAMES[i]);
    }
}

// An item that is absent is filled quietly; one of the wrong kind is reported and replaced.
template <typename Check>
Value* item(Dict& doc, std::string_view key, Check is_right_kind, std::string_view kind, const Value& fallback,
            Repairs& repairs) {
    Value* v = doc.find(key);
    if (v && is_right_kind(*v)) return v;
    if (v) repairs.add("Preferences item " + std::string(key) + ": expected " + std::string(kind) + "; using the default");
    return &doc.set(std::string(key), fallback);
}

void repair_document(Dict& doc, Repairs& repairs) {
    auto is_string = [](const Value& v) { return v.is_string(); };
    auto is_array = [](const Value& v) { return v.is_array(); };
    auto is_dict = [](const Value& v) { return v.is_dict(); };

    // The preferences are repaired first, since keywords missing altogether take the colours they hold. When
    // missing, they are put in below at their usual place, so a document filled from nothing reads like the
    // defaults; when present, they stay where the file had them.
    bool had_prefs = doc.find("preferences_key") != nullptr;
    Value prefs = *item(doc, "preferences_key", is_dict, "a dict", Value(default_preferences()), repairs);
    repair_preferences(*prefs.as_dict(), repairs);
    Colour scheme_colour = *colour_from(*prefs.find("editor_scheme_colour"));
    Colour omb_colour = *colour_from(*prefs.find("editor_omb_colour"));
    if (!had_prefs) doc.erase("preferences_key");

    item(doc, "preferences_version_key", is_string, "a string", Value(VERSION), repairs);
    Value* scheme = item(doc, "scheme_keywords_key", is_array, "an array",
                         keyword_records(SCHEME_KEYWORDS, scheme_colour), repairs);
    repair_keywords(*scheme->as_array(), repairs);
    Value* omb = item(doc, "omb_keywords_key", is_array, "an array", keyword_records(OMB_KEYWORDS, omb_colour),
                      repairs);
    repair_keywords(*omb->as_array(), repairs);
    Value* forms = item(doc, "specialforms_key", is_array, "an array", special_form_records(), repairs);
    repair_special_forms(*forms->as_array(), repairs);
    doc.set("preferences_key", std::move(prefs));
    Value* frames = item(doc, "window_size_key", is_array, "an array", default_frames(), repairs);
    repair_frames(*frames->as_array(), repairs);
}

// Reads a preferences document; a readable file that is not a dict counts as damaged.
std::optional<Value> read_document(const std::filesystem::path& file, std::string* error) {
    auto doc = plist::read_file(file, error);
    if (doc && !doc->is_dict()) {
        *error = file.string() + ": not a dict of preferences";
        return std::nullopt;
    }
    return doc;
}

// ---- Text forms --------------------------------------------------------------------------------------------

struct Scanner {
    std::string_view s;

    void skip_space() {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    }
    bool take(char c) {
        skip_space();
        if (s.empty() || s.front() != c) return false;
        s.remove_prefix(1);
        return true;
    }
    bool number(double& out) {
        skip_space();
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
        if (ec != std::errc() || !std::isfinite(out)) return false;
        s.remove_prefix(static_cast<std::size_t>(end - s.data()));
        return true;
    }
    bool pair(double& a, double& b) { return take('{') && number(a) && take(',') && number(b) && take('}'); }
};

}  // namespace

// ---- Public ------------------------------------------------------------------------------------------------

plist::Value colour_value(Colour c) {
    Dict d;
    d.set("red", c.r);
    d.set("green", c.g);
    d.set("blue", c.b);
    d.set("alpha", c.a);
    return d;
}

std::optional<Colour> colour_from(const plist::Value& v) {
    double parts[4];
    const char* names[4] = {"red", "green", "blue", "alpha"};
    for (int i = 0; i < 4; ++i) {
        const Value* p = v.find(names[i]);
        auto d = p ? p->as_real() : std::nullopt;
        if (!d || !(*d >= 0 && *d <= 1)) return std::nullopt;
        parts[i] = *d;
    }
    return Colour{parts[0], parts[1], parts[2], parts[3]};
}

std::string rect_text(Rect r) {
    return "{{" + number_text(r.x) + ", " + number_text(r.y) + "}, {" + number_text(r.w) + ", " + number_text(r.h) +
           "}}";
}

std::optional<Rect> rect_from(std::string_view text) {
    Scanner sc{text};
    Rect r;
    if (!(sc.take('{') && sc.pair(r.x, r.y) && sc.take(',') && sc.pair(r.w, r.h) && sc.take('}'))) return std::nullopt;
    sc.skip_space();
    if (!sc.s.empty() || r.w < 0 || r.h < 0) return std::nullopt;
    return r;
}

std::filesystem::path preferences_path() {
    const std::filesystem::path tail = std::filesystem::path("ombrel") / "ombrel.plist";
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') return xdg / tail;
    std::filesystem::path home;
    if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
        home = h;
    } else {
        // No usable HOME (a service, a stripped environment): ask the password database.
        std::vector<char> buf(16384);
        passwd pw{};
        passwd* found = nullptr;
        if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir &&
            found->pw_dir[0] == '/')
            home = found->pw_dir;
    }
    return home.empty() ? std::filesystem::path() : home / ".config" / tail;
}

Preferences::Preferences() : doc_(defaults()) {}

plist::Value Preferences::defaults() {
    Dict d;
    d.set("preferences_version_key", VERSION);
    d.set("scheme_keywords_key", keyword_records(SCHEME_KEYWORDS, colour_default("editor_scheme_colour")->light));
    d.set("omb_keywords_key", keyword_records(OMB_KEYWORDS, colour_default("editor_omb_colour")->light));
    d.set("specialforms_key", special_form_records());
    d.set("preferences_key", default_preferences());
    d.set("window_size_key", default_frames());
    return d;
}

Preferences Preferences::load(const std::filesystem::path& file, const std::filesystem::path& defaults_file) {
    std::error_code ec;
    std::string error;
    std::optional<Value> doc;
    // A missing file is a first start; anything else that keeps it from being read is worth saying.
    bool unreadable = false;
    if (!file.empty() && std::filesystem::exists(file, ec)) {
        doc = read_document(file, &error);
        unreadable = !doc;
        if (!doc) CPPBridge::error("Cannot read the preferences: %s", error.c_str());
    } else if (ec) {
        unreadable = true;
        CPPBridge::error("Cannot read the preferences: %s: %s", file.c_str(), ec.message().c_str());
    }
    if (!doc) {
        doc = defaults_file.empty() ? std::nullopt : read_document(defaults_file, &error);
        if (!doc) {
            if (defaults_file.empty()) error = "no defaults file";
            CPPBridge::error("Cannot read the default preferences (%s); using the built-in ones", error.c_str());
            doc = Value(Dict{});
        }
        CPPBridge::notification("Loaded Defaults!");
    }
    Preferences prefs = repaired(std::move(*doc));
    prefs.file_unreadable_ = unreadable;
    return prefs;
}

Preferences Preferences::repaired(plist::Value document) {
    if (!document.is_dict()) document = Dict{};
    Repairs repairs;
    repair_document(*document.as_dict(), repairs);
    for (const auto& text : repairs.errors) CPPBridge::error("%s", text.c_str());
    return Preferences(std::move(document));
}

bool Preferences::save(const std::filesystem::path& file, std::string* error) const {
    return plist::write_file(file, doc_, error);
}

plist::Value& Preferences::preferences() {
    Value* p = doc_.find("preferences_key");
    if (!p || !p->is_dict()) p = &doc_.as_dict()->set("preferences_key", default_preferences());
    return *p;
}

const plist::Value* Preferences::preference(std::string_view key) const {
    const Value* prefs = doc_.find("preferences_key");
    const Value* v = prefs ? prefs->find(key) : nullptr;
    // The document may have been edited since loading: answer only with values that pass the same checks.
    if (const Rule* r = rule_for(key); v && r && !valid(*r, *v)) return nullptr;
    return v;
}

int Preferences::integer(std::string_view key) const {
    const Value* v = preference(key);
    return static_cast<int>(v ? *v->as_int() : rule_for(key)->number);
}

double Preferences::real(std::string_view key) const {
    const Value* v = preference(key);
    return v ? *v->as_real() : rule_for(key)->number;
}

bool Preferences::flag(std::string_view key) const {
    const Value* v = preference(key);
    return v ? *v->as_bool() : rule_for(key)->number != 0;
}

std::string Preferences::text(std::string_view key) const {
    const Value* v = preference(key);
    return v ? *v->as_string() : std::string(rule_for(key)->text);
}

int Preferences::audio_frames() const { return integer("audio_frames"); }
double Preferences::reaper_time() const { return real("reaper_time"); }
int Preferences::string_memory_mb() const { return integer("string_memory_mb"); }
bool Preferences::reap_callbacks() const { return flag("reap_callbacks"); }
bool Preferences::osc_remote() const { return flag("osc_remote"); }
int Preferences::osc_port() const { return integer("osc_port"); }
int Preferences::eval_port() const { return integer("eval_port"); }
std::string Preferences::listen_address() const { return text("listen_address"); }
std::string Preferences::osc_listen_address() const { return text("osc_listen_address"); }
int Preferences::port_message_port() const { return integer("port_message_port"); }
std::string Preferences::port_message_listen_address() const { return text("port_message_listen_address"); }
std::string Preferences::audio_driver() const { return text("audio_driver"); }
std::string Preferences::midi_system() const { return text("midi_system"); }
double Preferences::font_size() const { return real("font_size"); }
bool Preferences::expr_highlight() const { return flag("expr_highlight"); }
bool Preferences::floating_auview() const { return flag("floating_auview"); }

Colour Preferences::colour(std::string_view key) const {
    const ColourDefault* fallback = colour_default(key);
    if (!fallback) return Colour{0, 0, 0, 1};
    const Value* v = preference(key);
    auto c = v ? colour_from(*v) : std::nullopt;
    return c ? *c : fallback->light;
}

Rect Preferences::window_frame(std::size_t which) const {
    const Value* frames = doc_.find("window_size_key");
    const Array* a = frames ? frames->as_array() : nullptr;
    if (a && which < a->size())
        if (const std::string* s = (*a)[which].as_string())
            if (auto r = rect_from(*s)) return *r;
    return which < 2 ? *rect_from(DEFAULT_FRAMES[which]) : Rect{};
}

void Preferences::set_window_frame(std::size_t which, Rect frame) {
    if (which >= 2) return;
    Value* frames = doc_.find("window_size_key");
    if (!frames || !frames->is_array()) frames = &doc_.as_dict()->set("window_size_key", default_frames());
    Array& a = *frames->as_array();
    while (a.size() < 2) a.push_back(Value(DEFAULT_FRAMES[a.size()]));
    a[which] = rect_text(frame);
}

}  // namespace omb
