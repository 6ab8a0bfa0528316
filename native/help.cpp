#include "native/help.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace omb {

namespace {

// The editor's default light theme: title in the keyword colour, headings in the number colour, body text in the
// text colour, code in the string colour, all on the editor's ground.
constexpr std::uint32_t GROUND = 0xF2F2F2;
constexpr std::uint32_t TITLE = 0x990000;
constexpr std::uint32_t HEADING = 0x0000FF;
constexpr std::uint32_t BODY = 0x000066;
constexpr std::uint32_t CODE = 0x8000FF;
constexpr std::uint32_t LINK = 0x0060A0;

// Appends to the last run when it has the same style, so the text stays a few runs long.
class Builder {
public:
    void add(HelpRun::Style style, std::string_view text) {
        if (!runs_.empty() && runs_.back().style == style && style != HelpRun::Style::link)
            runs_.back().text += text;
        else
            runs_.push_back({style, std::string(text), {}});
    }
    void link(std::string_view text, std::string target) {
        runs_.push_back({HelpRun::Style::link, std::string(text), std::move(target)});
    }
    HelpText take() { return std::move(runs_); }

private:
    HelpText runs_;
};

// "%15s -- %s\n": the argument name right-aligned in 15 columns (longer names are not cut).
std::string argument_line(const std::string& name, const std::string& description) {
    std::string line = name.size() < 15 ? std::string(15 - name.size(), ' ') + name : name;
    return line + " -- " + description + "\n";
}

// ---- HTML --------------------------------------------------------------------------------------------------------

// Decodes one UTF-8 sequence at `i`; a malformed one yields U+FFFD and consumes one byte.
char32_t next_code_point(std::string_view s, size_t& i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b = byte(i);
    const int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
    if (extra == 0) {
        ++i;
        return b;
    }
    const auto malformed = [&] {
        ++i;
        return char32_t{0xFFFD};
    };
    if (extra < 0 || i + static_cast<size_t>(extra) >= s.size()) return malformed();
    char32_t c = b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return malformed();
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    static constexpr char32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (c < least[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return malformed();
    i += static_cast<size_t>(extra) + 1;
    return c;
}

void append_escaped(std::string& out, std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const char32_t c = next_code_point(text, i);
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\n': case '\t': out += static_cast<char>(c); break;
        default:
            if (c < 0x20 || c == 0x7F) break;  // control characters have no place in a page
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else {
                char ref[16];
                std::snprintf(ref, sizeof ref, "&#x%X;", static_cast<unsigned>(c));
                out += ref;
            }
        }
    }
}

// A relative link to a file name: everything but unreserved characters, "/" and "." percent-encoded, so a name
// such as "math:vector+" is not read as a URL scheme.
std::string href(std::string_view target) {
    std::string out;
    for (unsigned char c : target) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

const char* css_class(HelpRun::Style style) {
    switch (style) {
    case HelpRun::Style::title: return "title";
    case HelpRun::Style::heading: return "heading";
    case HelpRun::Style::body: return "body";
    case HelpRun::Style::code: return "code";
    case HelpRun::Style::link: return "link";
    }
    return "body";
}

std::string errno_text(int err) { return std::strerror(err); }

// Writes all of `text` to a new file beside the page and renames it over the page.
bool replace_atomically(const std::filesystem::path& page, const std::string& text, std::string* error) {
    static std::atomic<unsigned> serial{0};
    std::filesystem::path temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = page;
        temporary += "." + std::to_string(::getpid()) + "." + std::to_string(serial++) + ".tmp";
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        if (error) *error = "cannot create " + temporary.string() + ": " + errno_text(errno);
        return false;
    }
    bool ok = true;
    for (size_t off = 0; ok && off < text.size();) {
        const ssize_t n = ::write(fd, text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) off += static_cast<size_t>(n);
    }
    int err = errno;
    if (ok && ::fsync(fd) != 0) ok = false, err = errno;
    if (::close(fd) != 0 && ok) ok = false, err = errno;
    if (ok && ::rename(temporary.c_str(), page.c_str()) != 0) ok = false, err = errno;
    if (!ok) {
        ::unlink(temporary.c_str());
        if (error) *error = "cannot write " + page.string() + ": " + errno_text(err);
    }
    return ok;
}

}  // namespace

std::string validated_file_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        if (c == '/')
            out += "div";
        else if (c == '?')
            out += "qmark";
        else
            out += c;
    }
    return out;
}

HelpText render_help(std::string_view name, const Documentation::Entry& entry, HelpOptions options) {
    using S = HelpRun::Style;
    Builder b;
    b.add(S::title, name);
    b.add(S::heading, "\n" + entry.short_text + "\n");
    b.add(S::heading, "\nDescription:\n");
    for (const std::string& line : entry.long_lines) b.add(S::body, line + "\n");
    b.add(S::heading, "\nArguments:\n");
    for (const auto& [argument, description] : entry.arguments)
        if (!argument.empty()) b.add(S::body, argument_line(argument, description));
    b.add(S::heading, "\nReturns: ");
    b.add(S::body, entry.returns + "\n");
    if (!entry.related.empty()) {
        b.add(S::heading, "\nRelated: ");
        for (const std::string& other : entry.related) {
            b.link(other, validated_file_name(other) + ".html");
            b.add(S::body, " ");
        }
        b.add(S::body, "\n");
    }
    if (options.examples) {
        b.add(S::heading, "\nExamples:\n");
        for (const std::string& line : entry.examples) b.add(S::code, line + "\n");
    }
    if (options.back_to_index) {
        b.add(S::body, "\n\n");
        b.link("Back to index", "../func_index.html");
    }
    return b.take();
}

StyledText log_style(const HelpRun& run) {
    using S = HelpRun::Style;
    switch (run.style) {
    case S::title: return {run.text, TITLE, GROUND, true};
    case S::heading: return {run.text, HEADING, GROUND, true};
    case S::body: return {run.text, BODY, GROUND, false};
    case S::code: return {run.text, CODE, GROUND, false};
    case S::link: return {run.text, LINK, GROUND, false};
    }
    return {run.text, BODY, GROUND, false};
}

void post_help(const HelpText& text) {
    StyledText pending;
    bool any = false;
    for (const HelpRun& run : text) {
        StyledText s = log_style(run);
        if (any && s.fg_rgb == pending.fg_rgb && s.bold == pending.bold) {
            pending.text += s.text;
            continue;
        }
        if (any) CPPBridge::logattr(std::move(pending));
        pending = std::move(s);
        any = true;
    }
    if (any) CPPBridge::logattr(std::move(pending));
}

std::string help_page(std::string_view name, const HelpText& text) {
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>";
    append_escaped(page, name);
    page +=
        "</title>\n<style>\n"
        "body { background: #f2f2f2; margin: 2em; }\n"
        ".help { white-space: pre-wrap; font-family: Monaco, \"DejaVu Sans Mono\", monospace; font-size: 11pt; }\n"
        ".title { font-size: 14pt; font-weight: bold; color: #990000; }\n"
        ".heading { font-size: 12pt; font-weight: bold; color: #0000ff; }\n"
        ".body { color: #000066; }\n"
        ".code { color: #8000ff; }\n"
        "a.link { color: #0060a0; }\n"
        "</style>\n</head>\n<body>\n<div class=\"help\">";
    for (const HelpRun& run : text) {
        if (run.style == HelpRun::Style::link) {
            page += "<a class=\"link\" href=\"" + href(run.target) + "\">";
            append_escaped(page, run.text);
            page += "</a>";
            continue;
        }
        page += "<span class=\"";
        page += css_class(run.style);
        page += "\">";
        append_escaped(page, run.text);
        page += "</span>";
    }
    page += "</div>\n</body>\n</html>\n";
    return page;
}

bool write_help_page(const std::filesystem::path& directory, std::string_view name, const HelpText& text,
                     std::string* error) {
    const std::filesystem::path page = directory / (validated_file_name(name) + ".html");
    return replace_atomically(page, help_page(name, text), error);
}

}  // namespace omb
