// The help dictionary: one entry per Scheme name, read from resources/documentation.plist.
//
// The file is an XML property list: a dictionary from name to an entry dictionary with "short" (one line), "long"
// (an array of description lines), "arguments" (a dictionary from argument name to its description, in call
// order), "returns" (text), "examples" (an array of lines) and "related" (names separated by single spaces; an
// array of names is read too). A file that is missing or unreadable is reported once as "Error loading
// dictionary" and leaves the dictionary empty: the help then knows nothing, and everything else works. The GL
// constants ("*gl-lighting*" ...) get entries made from scheme/openglconst.scm, the file that defines them.
//
// Plain data, no Qt: the help procedure, completion and the editor's hints all read it. Not locked: load it on
// one thread, then only read it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/plist.h"

namespace omb {

class Documentation {
public:
    struct Entry {
        std::string name;
        std::string short_text;
        std::vector<std::string> long_lines;
        std::vector<std::pair<std::string, std::string>> arguments;  // (name, description), in call order
        std::string returns;
        std::vector<std::string> examples;
        std::vector<std::string> related;
    };

    // Empty; nothing reported.
    Documentation() = default;

    // The dictionary delivered with the program (resources/documentation.plist, found as every resource is).
    static Documentation load_default();
    // Reads `file`; on failure reports "Error loading dictionary" and is empty.
    static Documentation load(const std::filesystem::path& file);
    // From an already parsed property list; anything but a dictionary is reported as a file that cannot be read.
    static Documentation from_plist(const plist::Value& root);

    // Symbols are case-insensitive, so lookups are: "Play-Note" finds play-note. Null when there is no entry.
    const Entry* find(std::string_view name) const;
    // The one-line summary, or "" when the name has no entry.
    std::string short_text(std::string_view name) const;
    // Every documented name, in sorted order.
    std::vector<std::string> names() const;
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

private:
    std::map<std::string, Entry, std::less<>> entries_;  // keyed by the lower-cased name
};

}  // namespace omb
