// What the editor's text logic costs on a large buffer: colouring it whole (when a file is opened) and one line
// (on every keystroke), finding the expression under the cursor (on every cursor move), and formatting it all.
// Each runs on the main thread between two frames of the interface, so each must stay well under a frame.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "editor/text/indentation.h"
#include "editor/text/scheme_text.h"
#include "editor/text/syntax_colouring.h"

namespace {

using namespace omb::editor;

constexpr int LINES = 5000;

// A performer's buffer: commented definitions of temporally recursive players, notes, fractions, strings.
const std::string& buffer() {
    static const std::string text = [] {
        std::string t;
        for (int block = 0; std::count(t.begin(), t.end(), '\n') < LINES; ++block) {
            std::string n = std::to_string(block);
            t += ";; player " + n + ": four notes a beat, now and then a sample\n";
            t += "(define player-" + n + "\n";
            t += "  (lambda (beat dur)\n";
            t += "    (play-note (*metro* beat) synth (random-choice '(36 38 42 " + n + ")) 80 (* 1/8 dur))\n";
            t += "    (if (> (random) 0.5) (au:set-param (now) sampler 3 -1.5 \"kick-" + n + "\"))\n";
            t += "    (callback (*metro* (+ beat (* .5 dur))) 'player-" + n + " (+ beat dur) dur)))\n";
            t += "\n";
        }
        return t;
    }();
    return text;
}

struct TransparentHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// About the size of the real dictionaries: the language's and the library's keywords, and the names a process
// defines once its library is loaded.
const std::unordered_map<std::string, int, TransparentHash, std::equal_to<>>& keywords() {
    static const auto map = [] {
        std::unordered_map<std::string, int, TransparentHash, std::equal_to<>> m;
        for (std::string_view w : {"define", "lambda", "set!", "if", "let", "let*", "cond", "begin", "define-macro",
                                   "macro", "do", "letrec", "else", "#t", "#f", "define-syntax", "syntax-rules",
                                   "case", "and", "or", "pattern", "callback", "now", "play-note", "random",
                                   "random-choice", "au:set-param", "*metro*"})
            m.emplace(w, m.size() < 21 ? 0 : 1);
        for (int i = 0; i < 400; ++i) m.emplace("gfx:name-" + std::to_string(i), 1);
        return m;
    }();
    return map;
}

const std::unordered_set<std::string, TransparentHash, std::equal_to<>>& defined() {
    static const auto set = [] {
        std::unordered_set<std::string, TransparentHash, std::equal_to<>> s{"synth", "sampler"};
        for (int i = 0; i < 2000; ++i) s.insert("lib-name-" + std::to_string(i));
        for (int i = 0; i < LINES / 7; i += 2) s.insert("player-" + std::to_string(i));
        return s;
    }();
    return set;
}

const KeywordLookup IS_KEYWORD = [](std::string_view w) {
    auto k = keywords().find(w);
    return k == keywords().end() ? -1 : k->second;
};
const NameLookup IS_DEFINED = [](std::string_view w) { return defined().contains(w); };

void BM_ColourWholeBuffer(benchmark::State& state) {
    const std::string& text = buffer();
    std::size_t spans = 0;
    for (auto _ : state) {
        auto s = colour_spans(text, {0, text.size()}, IS_KEYWORD, IS_DEFINED);
        spans = s.size();
        benchmark::DoNotOptimize(s.data());
    }
    state.counters["lines"] = LINES;
    state.counters["spans"] = static_cast<double>(spans);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ColourWholeBuffer)->Unit(benchmark::kMillisecond);

void BM_ColourOneLine(benchmark::State& state) {
    const std::string& text = buffer();
    std::size_t start = text.find("(play-note", text.size() / 2);
    TextRange line{start, text.find('\n', start) - start};
    for (auto _ : state) benchmark::DoNotOptimize(colour_spans(text, line, IS_KEYWORD, IS_DEFINED).data());
}
BENCHMARK(BM_ColourOneLine)->Unit(benchmark::kMicrosecond);

// The worst place for the search: the end, where no expression encloses the cursor and every "(" before it is
// tried.
void BM_ExpressionAtEnd(benchmark::State& state) {
    const std::string& text = buffer();
    for (auto _ : state) benchmark::DoNotOptimize(expression_at(text, text.size()));
}
BENCHMARK(BM_ExpressionAtEnd)->Unit(benchmark::kMillisecond);

void BM_ExpressionInsideLastDefinition(benchmark::State& state) {
    const std::string& text = buffer();
    std::size_t p = text.rfind("80 (*");
    for (auto _ : state) benchmark::DoNotOptimize(outer_expression_at(text, p));
}
BENCHMARK(BM_ExpressionInsideLastDefinition)->Unit(benchmark::kMicrosecond);

void BM_FormatWholeBuffer(benchmark::State& state) {
    const std::string& text = buffer();
    const SpecialForms forms = default_special_forms();
    for (auto _ : state) benchmark::DoNotOptimize(format_code(text, {0, text.size()}, forms).text.data());
}
BENCHMARK(BM_FormatWholeBuffer)->Unit(benchmark::kMillisecond);

}  // namespace
