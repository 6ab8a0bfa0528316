// Syntax colouring for QScintilla: the editor's own rules (keywords, names the bound process defines, strings,
// comments, numbers) applied as Scintilla styles, in the preferences' colours.
#pragma once

#include <Qsci/qscilexercustom.h>

#include <functional>
#include <map>
#include <set>
#include <string>

namespace omb {

class Preferences;

class SchemeLexer : public QsciLexerCustom {
public:
    enum Style { plain = 0, keyword = 1, defined = 2, string = 3, comment = 4, number = 5, library = 6 };

    // `defined`: the names the bound process defines now (asked on every colouring pass).
    SchemeLexer(QObject* parent, std::function<const std::set<std::string>&()> defined);

    const char* language() const override { return "Scheme"; }
    QString description(int style) const override;
    void styleText(int start, int end) override;

    // Keywords and library names from the preferences, and every colour.
    void apply(const Preferences& prefs);

private:
    std::function<const std::set<std::string>&()> defined_;
    std::map<std::string, int, std::less<>> words_;  // keyword or library name -> style
};

}  // namespace omb
