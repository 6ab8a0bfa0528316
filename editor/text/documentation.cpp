#include "editor/text/documentation.h"

#include <cctype>
#include <fstream>
#include <optional>
#include <regex>

#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "platform/resources.h"

namespace omb {

namespace {

constexpr const char* FILE_NAME = "resources/documentation.plist";
constexpr const char* GL_CONSTANTS_FILE = "scheme/openglconst.scm";

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string string_of(const plist::Value* v) {
    const std::string* s = v ? v->as_string() : nullptr;
    return s ? *s : std::string();
}

// An array of strings, or one string taken as a single line; anything else is left out.
std::vector<std::string> lines_of(const plist::Value* v) {
    std::vector<std::string> lines;
    if (!v) return lines;
    if (const std::string* s = v->as_string()) {
        if (!s->empty()) lines.push_back(*s);
    } else if (const plist::Array* a = v->as_array()) {
        for (const plist::Value& item : *a)
            if (const std::string* s = item.as_string()) lines.push_back(*s);
    }
    return lines;
}

std::vector<std::string> words_of(std::string_view text) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        size_t start = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i > start) words.emplace_back(text.substr(start, i - start));
    }
    return words;
}

// Names separated by spaces, or an array of names (each trimmed the same way).
std::vector<std::string> related_of(const plist::Value* v) {
    std::vector<std::string> names;
    for (const std::string& line : lines_of(v))
        for (std::string& word : words_of(line)) names.push_back(std::move(word));
    return names;
}

std::vector<std::pair<std::string, std::string>> arguments_of(const plist::Value* v) {
    std::vector<std::pair<std::string, std::string>> arguments;
    if (const plist::Dict* d = v ? v->as_dict() : nullptr)
        for (const auto& [name, description] : *d) arguments.emplace_back(name, string_of(&description));
    return arguments;
}

Documentation::Entry entry_of(const std::string& name, const plist::Dict& d) {
    Documentation::Entry e;
    e.name = name;
    e.short_text = string_of(d.find("short"));
    e.long_lines = lines_of(d.find("long"));
    e.arguments = arguments_of(d.find("arguments"));
    e.returns = string_of(d.find("returns"));
    e.examples = lines_of(d.find("examples"));
    e.related = related_of(d.find("related"));
    return e;
}

// "*gl-color-buffer-bit*" back to "GL_COLOR_BUFFER_BIT".
std::string c_name(std::string_view scheme_name) {
    std::string out(scheme_name.substr(1, scheme_name.size() - 2));
    for (char& c : out) c = c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

Documentation::Entry constant_entry(const std::string& name, const std::string& value) {
    const bool glu = name.rfind("*glu-", 0) == 0;
    Documentation::Entry e;
    e.name = name;
    e.short_text = std::string(glu ? "GLU" : "OpenGL") + " constant " + c_name(name) + " (" + value + ")";
    e.long_lines = {"The value of " + c_name(name) + " in the C headers, defined by openglconst.scm in every process, "
                    "to pass to the gl: and glu: procedures instead of the number."};
    e.returns = value;
    e.related = {glu ? "glu:error-string" : "gl:enable", "gl:get-error"};
    return e;
}

void report_failure(const std::string& reason) {
    CPPBridge::error("Error loading dictionary");
    devlog("documentation: %s", reason.c_str());
}

}  // namespace

Documentation Documentation::load_default() {
    const std::filesystem::path file = resource_path(FILE_NAME);
    if (file.empty()) {
        report_failure(std::string(FILE_NAME) + " not found");
        return {};
    }
    Documentation doc = load(file);
    // The GL constants are documented from the generated file that defines them, not by a thousand entries kept
    // by hand beside it; an entry written in the dictionary wins.
    if (const std::filesystem::path constants = resource_path(GL_CONSTANTS_FILE); !constants.empty()) {
        std::ifstream in(constants);
        static const std::regex DEFINE(R"(^\(define (\*glu?-[a-z0-9-]+\*) (-?[0-9]+)\)$)");
        std::smatch m;
        for (std::string line; std::getline(in, line);)
            if (std::regex_match(line, m, DEFINE)) doc.entries_.try_emplace(lower(m[1].str()), constant_entry(m[1], m[2]));
    }
    return doc;
}

Documentation Documentation::load(const std::filesystem::path& file) {
    std::string error;
    std::optional<plist::Value> root = plist::read_file(file, &error);
    if (!root) {
        report_failure(error);
        return {};
    }
    return from_plist(*root);
}

Documentation Documentation::from_plist(const plist::Value& root) {
    Documentation doc;
    const plist::Dict* all = root.as_dict();
    if (!all) {
        report_failure("the file holds no dictionary");
        return doc;
    }
    // An entry that is not a dictionary is passed over: one bad entry must not cost the performer all the help.
    for (const auto& [name, value] : *all) {
        if (const plist::Dict* d = value.as_dict())
            doc.entries_.insert_or_assign(lower(name), entry_of(name, *d));
        else
            devlog("documentation: the entry %s is not a dictionary", name.c_str());
    }
    return doc;
}

const Documentation::Entry* Documentation::find(std::string_view name) const {
    auto it = entries_.find(lower(name));
    return it == entries_.end() ? nullptr : &it->second;
}

std::string Documentation::short_text(std::string_view name) const {
    const Entry* e = find(name);
    return e ? e->short_text : std::string();
}

std::vector<std::string> Documentation::names() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& [key, entry] : entries_) out.push_back(entry.name);
    return out;
}

}  // namespace omb
