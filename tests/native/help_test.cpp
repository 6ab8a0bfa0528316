// Help: an entry laid out in its order, and sys:ombrel-help on the dictionary delivered with the program (no
// application set): the log text, an undocumented name, and the page, written whole with its links.
#include "native/help.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "interpreter/scheme.h"
#include "native/native_scheme.h"
#include "tests/support/log_capture.h"

namespace omb {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string joined(const HelpText& text) {
    std::string all;
    for (const HelpRun& run : text) all += run.text;
    return all;
}

TEST(HelpText, AnEntryIsLaidOutInItsOrderWithLinksByFileName) {
    const Documentation docs = Documentation::from_plist(plist::Dict({{"math:vector/", plist::Dict({
        {"short", "Divides."},
        {"long", plist::Array{"Each element."}},
        {"arguments", plist::Dict({{"vector", "the numbers"}, {"", "unnamed"}, {"a-very-long-name", "long"}})},
        {"returns", "a vector"},
        {"examples", plist::Array{"(math:vector/ #(1 2) 2)"}},
        {"related", " math:vector* io:file-exists? "}})}}));
    const HelpText plain = render_help("math:vector/", *docs.find("math:vector/"), {});
    EXPECT_EQ(joined(plain),
              "math:vector/\nDivides.\n\nDescription:\nEach element.\n\nArguments:\n"
              "         vector -- the numbers\n"
              "a-very-long-name -- long\n"
              "\nReturns: a vector\n\nRelated: math:vector* io:file-exists? \n");
    EXPECT_EQ(plain.front().style, HelpRun::Style::title);
    std::vector<std::string> targets;
    for (const HelpRun& run : plain)
        if (run.style == HelpRun::Style::link) targets.push_back(run.target);
    EXPECT_EQ(targets, (std::vector<std::string>{"math:vector*.html", "io:file-existsqmark.html"}));

    const HelpText full = render_help("math:vector/", *docs.find("math:vector/"), {true, true});
    EXPECT_TRUE(joined(full).ends_with("\nExamples:\n(math:vector/ #(1 2) 2)\n\n\nBack to index"));
    EXPECT_EQ(full.back().target, "../func_index.html");
}

TEST(HelpPage, TextIsEscapedAndMalformedTextReplaced) {
    const std::string odd("<&> \xC3\xA9 \xC3\x28 \xF0\x9F\x8E\xB5 \x01\xE2\x82", 18);  // ends cut short
    const HelpText text = {{HelpRun::Style::body, odd, {}}};
    EXPECT_NE(help_page("x", text).find(">&lt;&amp;&gt; &#xE9; &#xFFFD;( &#x1F3B5; &#xFFFD;&#xFFFD;</span>"),
              std::string::npos);
}

class Help : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("ombrel-help-test-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        sc = scheme_init_new();
    }
    void TearDown() override {
        scheme_deinit(sc);
        std::free(sc);
        fs::remove_all(dir);
    }
    pointer help(const char* name, pointer examples = nullptr, const std::string& directory = "") {
        pointer args = directory.empty() ? sc->NIL : s_cons(sc, mk_string(sc, directory.c_str()), sc->NIL);
        if (examples || !directory.empty()) args = s_cons(sc, examples ? examples : sc->F, args);
        args = s_cons(sc, mk_symbol(sc, name), args);
        for (const NativeProcedure& p : log_help_and_buffer_procedures())
            if (std::string_view(p.name) == "sys:ombrel-help") return p.procedure(sc, args);
        return sc->NIL;
    }
    std::string logged() {
        log.flush();
        std::string all;
        for (const std::string& s : log.outputs) all += s;
        return all;
    }
    size_t files() { return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {})); }

    fs::path dir;
    scheme* sc = nullptr;
    test::LogCapture log;
};

TEST_F(Help, ADocumentedNameGoesToTheLogAndAnUndocumentedOneIsANotification) {
    EXPECT_EQ(help("io:file-exists?"), sc->T);
    EXPECT_TRUE(logged().starts_with("io:file-exists?\n"));
    EXPECT_TRUE(logged().ends_with("\n\n\n")) << "related names, then the closing blank lines";
    EXPECT_EQ(logged().find("Examples:"), std::string::npos);
    log.clear();
    EXPECT_EQ(help("io:file-exists?", mk_symbol(sc, "yes")), sc->T);
    EXPECT_EQ(logged().find("Examples:"), std::string::npos) << "only #t asks for examples";
    EXPECT_EQ(help("io:file-exists?", sc->T), sc->T);
    EXPECT_NE(logged().find("\nExamples:\n(io:file-exists?"), std::string::npos);

    log.clear();
    EXPECT_EQ(help("surely-not-a-documented-name"), sc->F);
    EXPECT_TRUE(log.saw(log.notes, "No documentation for surely-not-a-documented-name", 0ms));
    EXPECT_EQ(logged(), "");
    EXPECT_EQ(files(), 0u);
}

TEST_F(Help, APageIsWrittenWholeUnderItsValidatedNameOrTheCallFails) {
    EXPECT_EQ(help("io:file-exists?", sc->F, dir.string()), sc->T);
    const fs::path page = dir / "io:file-existsqmark.html";
    std::ifstream in(page);
    const std::string html{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(files(), 1u) << "no temporary is left";
    EXPECT_TRUE(html.starts_with("<!DOCTYPE html>"));
    EXPECT_NE(html.find("<title>io:file-exists?</title>"), std::string::npos);
    for (unsigned char c : html) ASSERT_LT(c, 0x80) << "plain ASCII, whatever encoding a browser guesses";
    // Colons escaped, or a browser reads "io:" as a URL scheme.
    EXPECT_NE(html.find("href=\"io%3Adelete-file.html\">io:delete-file</a>"), std::string::npos);
    EXPECT_NE(html.find("href=\"../func_index.html\">Back to index</a>"), std::string::npos);
    EXPECT_TRUE(logged().ends_with("Back to index\n\n")) << "the log gets the page's text too";

    EXPECT_EQ(help("io:file-exists?", sc->T, dir.string()), sc->T);
    EXPECT_EQ(files(), 1u) << "replaced";

    EXPECT_EQ(help("io:file-exists?", sc->F, (dir / "not here").string()), sc->F);
    EXPECT_TRUE(log.saw(log.errors, "The help page for io:file-exists? was not written", 0ms));
    EXPECT_EQ(help("io:file-exists?", sc->F, "~"), sc->F) << "the directory is taken as written";
}

}  // namespace
}  // namespace omb
