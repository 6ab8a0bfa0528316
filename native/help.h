// Help for one documented name: its entry of the documentation dictionary laid out as styled runs (title,
// headings, body text, code, links), which go to the log view as styled text or into an HTML page of a help site.
//
// The runs carry styles, not colours: the log gets fixed colours on a light ground (the editor's default light
// theme), so help reads the same whatever theme the log window has. Pages link to each other by file name, so a
// site is the pages of one directory plus a "func_index.html" one level up.
//
// Threads: any. Rendering only reads the entry; posting goes through the log bridge; page writing touches only
// the page's own file (and a temporary beside it).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "editor/text/documentation.h"
#include "platform/log_bridge.h"

namespace omb {

// The file name (without extension) for a Scheme name: "/" becomes "div" and "?" becomes "qmark", so that
// math:vector/ is math:vectordiv and no name can reach outside the directory of its page.
std::string validated_file_name(std::string_view name);

struct HelpRun {
    enum class Style { title, heading, body, code, link };
    Style style;
    std::string text;
    std::string target;  // links only: the page, relative to the page this run is on
};
using HelpText = std::vector<HelpRun>;

struct HelpOptions {
    bool examples = false;       // add the example lines
    bool back_to_index = false;  // end with a link back to the site's index (for pages)
};

// The entry laid out for `name` (the name as the performer asked for it).
HelpText render_help(std::string_view name, const Documentation::Entry& entry, HelpOptions options);

// How a run looks in the log.
StyledText log_style(const HelpRun& run);
// Posts the text to the log, adjacent runs of one look joined, so other messages rarely land inside it.
void post_help(const HelpText& text);

// A complete HTML page: every character outside ASCII as a character reference, so the page reads right in any
// encoding a browser guesses.
std::string help_page(std::string_view name, const HelpText& text);
// Writes the page to "<directory>/<validated name>.html" atomically: a reader sees the old page or the new one,
// never a part. False, with the reason in `error`, when it cannot.
bool write_help_page(const std::filesystem::path& directory, std::string_view name, const HelpText& text,
                     std::string* error);

}  // namespace omb
