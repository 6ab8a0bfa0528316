#include "editor/scheme_lexer.h"

#include <QFontDatabase>
#include <Qsci/qsciscintilla.h>

#include <algorithm>
#include <string_view>

#include "app/preferences.h"
#include "editor/text/syntax_colouring.h"

namespace omb {

namespace {

QColor qcolour(const Colour& c) { return QColor::fromRgbF(float(c.r), float(c.g), float(c.b), float(c.a)); }

}  // namespace

SchemeLexer::SchemeLexer(QObject* parent, std::function<const std::set<std::string>&()> defined)
    : QsciLexerCustom(parent), defined_(std::move(defined)) {}

QString SchemeLexer::description(int style) const {
    switch (style) {
    case plain: return "Default";
    case keyword: return "Keyword";
    case defined: return "Defined name";
    case string: return "String";
    case comment: return "Comment";
    case number: return "Number";
    case library: return "Library name";
    default: return {};
    }
}

void SchemeLexer::apply(const Preferences& prefs) {
    words_.clear();
    auto read_words = [&](const char* key, int style) {
        const plist::Value* list = prefs.document().find(key);
        if (!list || !list->as_array()) return;
        for (const plist::Value& record : *list->as_array())
            if (const plist::Value* name = record.find("name"); name && name->as_string())
                words_.emplace(*name->as_string(), style);
    };
    read_words("scheme_keywords_key", keyword);
    read_words("omb_keywords_key", library);

    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(prefs.font_size());
    setDefaultFont(font);
    setDefaultPaper(qcolour(prefs.colour("editor_bg")));
    setDefaultColor(qcolour(prefs.colour("editor_fg")));
    const std::pair<int, const char*> colours[] = {{plain, "editor_fg"},        {keyword, "editor_scheme_colour"},
                                                   {defined, "def_sym_colour"}, {string, "editor_string"},
                                                   {comment, "editor_comments"}, {number, "editor_number"},
                                                   {library, "editor_scheme_colour"}};
    for (const auto& [style, key] : colours) {
        setColor(qcolour(prefs.colour(key)), style);
        setPaper(qcolour(prefs.colour("editor_bg")), style);
        setFont(font, style);
    }
    // The library names' own colour, when the preferences give one.
    if (const plist::Value* list = prefs.document().find("omb_keywords_key"); list && list->as_array())
        for (const plist::Value& record : *list->as_array())
            if (const plist::Value* c = record.find("colour"); c)
                if (auto colour = colour_from(*c)) {
                    setColor(qcolour(*colour), library);
                    break;
                }
}

// Scintilla asks for a stretch after every change: it is widened to whole lines, so that a word, string or comment
// is never cut at the edge, and coloured by the editor's rules.
void SchemeLexer::styleText(int start, int end) {
    QsciScintilla* ed = editor();
    if (!ed || end <= start) return;
    const int first_line = int(ed->SendScintilla(QsciScintilla::SCI_LINEFROMPOSITION, start));
    const int last_line = int(ed->SendScintilla(QsciScintilla::SCI_LINEFROMPOSITION, end));
    start = int(ed->SendScintilla(QsciScintilla::SCI_POSITIONFROMLINE, first_line));
    end = int(ed->SendScintilla(QsciScintilla::SCI_GETLINEENDPOSITION, last_line));
    std::string text(static_cast<size_t>(end - start), '\0');
    if (!text.empty()) ed->SendScintilla(QsciScintilla::SCI_GETTEXTRANGE, start, end, text.data());
    const std::set<std::string>& defined_names = defined_();
    using editor::ColourKind;
    const auto spans = editor::colour_spans(
        text, editor::TextRange{0, text.size()},
        [&](std::string_view word) {
            auto found = words_.find(word);
            return found == words_.end() ? -1 : found->second;
        },
        [&](std::string_view word) { return defined_names.count(std::string(word)) != 0; });
    startStyling(start);
    size_t at = 0;
    for (const editor::ColourSpan& span : spans) {
        if (span.location < at) continue;  // never styled twice: Scintilla counts on the lengths adding up
        if (span.location > at) setStyling(int(span.location - at), plain);
        int style = plain;
        switch (span.kind) {
        case ColourKind::keyword: style = span.keyword_colour >= 0 ? span.keyword_colour : keyword; break;
        case ColourKind::defined: style = defined; break;
        case ColourKind::string: style = string; break;
        case ColourKind::comment: style = comment; break;
        case ColourKind::number: style = number; break;
        }
        setStyling(int(span.length), style);
        at = span.location + span.length;
    }
    if (text.size() > at) setStyling(int(text.size() - at), plain);
}

}  // namespace omb
