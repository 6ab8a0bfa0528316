// The help dictionary: reading it and surviving a bad file, the shape of every delivered entry, and the guard that
// keeps the help from falling behind: every name a real process defines must have an entry.
#include "editor/text/documentation.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "audio/au_host.h"
#include "audio/au_scheme.h"
#include "graphics/graphic_engine.h"
#include "platform/plist.h"
#include "io/midi_file_scheme.h"
#include "io/midi_router.h"
#include "io/osc.h"
#include "io/osc_scheme.h"
#include "native/native_scheme.h"
#include "runtime/native_libraries.h"
#include "runtime/scheme_interface.h"
#include "tests/support/log_capture.h"

namespace omb::test {
namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() : path(fs::temp_directory_path() / ("ombrel-doc-test-" + std::to_string(::getpid()))) {
        fs::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

plist::Value entry(const char* short_text, plist::Value related) {
    return plist::Dict({{"short", short_text},
                        {"long", plist::Array{"First line.", "Second line."}},
                        {"arguments", plist::Dict({{"time", "when"}, {"node", "where"}, {"pitch", "what"}})},
                        {"returns", "#t"},
                        {"examples", plist::Array{"(a 1)", "(a 2)"}},
                        {"related", std::move(related)}});
}

TEST(Documentation, ReadsEntriesAsWrittenAndPassesOverBadOnes) {
    TempDir dir;
    const fs::path file = dir.path / "documentation.plist";
    plist::Dict all({{"play-note", entry("Plays a note.", "  now   schedule ")},
                     {"Callback", entry("Calls back.", plist::Array{"now", " schedule"})},
                     {"broken", "not an entry"},
                     {"bare", plist::Dict({{"short", "Only a summary."}, {"long", "One line, not an array."}})}});
    ASSERT_TRUE(plist::write_file(file, all));

    LogCapture log;
    Documentation doc = Documentation::load(file);
    log.flush();
    EXPECT_TRUE(log.errors.empty());
    EXPECT_EQ(doc.names(), (std::vector<std::string>{"bare", "Callback", "play-note"}))
        << "the broken entry is left out";

    const Documentation::Entry* e = doc.find("play-note");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->long_lines, (std::vector<std::string>{"First line.", "Second line."}));
    ASSERT_EQ(e->arguments.size(), 3u);
    EXPECT_EQ(e->arguments[0].first, "time") << "arguments keep the order of the call, not the alphabet";
    EXPECT_EQ(e->arguments[2].second, "what");
    EXPECT_EQ(e->examples.size(), 2u);
    EXPECT_EQ(e->related, (std::vector<std::string>{"now", "schedule"})) << "names split at spaces, trimmed";
    ASSERT_NE(doc.find("callback"), nullptr);
    EXPECT_EQ(doc.find("callback")->related, (std::vector<std::string>{"now", "schedule"})) << "an array works too";

    EXPECT_EQ(doc.short_text("PLAY-NOTE"), "Plays a note.") << "symbols are case-insensitive";
    EXPECT_EQ(doc.short_text("CallBack"), "Calls back.");
    EXPECT_EQ(doc.find("bare")->long_lines, (std::vector<std::string>{"One line, not an array."}));
    EXPECT_TRUE(doc.find("bare")->related.empty());
    EXPECT_EQ(doc.short_text("no-such-name"), "");
    EXPECT_EQ(doc.find("broken"), nullptr);
}

TEST(Documentation, AnUnreadableDictionaryIsReportedOnceAndLeavesTheHelpEmpty) {
    TempDir dir;
    std::ofstream(dir.path / "truncated.plist") << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>";
    ASSERT_TRUE(plist::write_file(dir.path / "array.plist", plist::Array{"a", "b"}));
    for (const fs::path& file : {dir.path / "missing.plist", dir.path / "truncated.plist", dir.path / "array.plist"}) {
        LogCapture log;
        Documentation doc = Documentation::load(file);
        log.flush();
        EXPECT_EQ(log.errors.size(), 1u) << file;
        EXPECT_TRUE(LogCapture::has(log.errors, "Error loading dictionary")) << file;
        EXPECT_TRUE(doc.empty()) << file;
        EXPECT_EQ(doc.find("a"), nullptr);
        EXPECT_EQ(doc.short_text("a"), "");
    }
}

TEST(DeliveredDictionary, EveryEntryHasAOneLineSummaryAndRelatedNamesThatExist) {
    LogCapture log;
    Documentation doc = Documentation::load_default();
    log.flush();
    ASSERT_TRUE(log.errors.empty()) << log.errors.front();
    ASSERT_GT(doc.size(), 100u);
    for (const std::string& name : doc.names()) {
        const Documentation::Entry* e = doc.find(name);
        EXPECT_EQ(name, [&] {
            std::string low = name;
            for (char& c : low) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return low;
        }()) << "the reader lowercases symbols: an entry must be found under the name a performer types";
        EXPECT_FALSE(e->short_text.empty()) << name << " has no short text";
        EXPECT_EQ(e->short_text.find('\n'), std::string::npos) << name << ": the short text is one line";
        EXPECT_FALSE(e->long_lines.empty()) << name << " has no description";
        for (const auto& [argument, description] : e->arguments)
            EXPECT_FALSE(description.empty()) << name << ": argument " << argument << " is not described";
        for (const std::string& other : e->related) {
            EXPECT_NE(doc.find(other), nullptr) << name << " relates to " << other << ", which has no entry";
            EXPECT_NE(other, name) << name << " relates to itself";
        }
    }
}

// ---- the guard: a real process, with the native libraries the program registers ----------------------------------

// Names are collected on the executer, the only thread that may touch the interpreter.
struct Collected {
    std::mutex m;
    std::vector<std::string> names;
    std::atomic<bool> done{false};
};
Collected collected;

// (test:report-names ((symbol . defined?) ...)): keeps the symbols bound in the global environment and the
// keywords of the language's special forms, which are syntax rather than bindings.
pointer report_names(scheme* sc, pointer args) {
    std::lock_guard lock(collected.m);
    for (pointer p = is_pair(args) ? pair_car(args) : sc->NIL; is_pair(p); p = pair_cdr(p)) {
        pointer item = pair_car(p);
        pointer symbol = pair_car(item);
        if (pair_cdr(item) == sc->T || is_syntax(symbol)) collected.names.emplace_back(symname(symbol));
    }
    collected.done = true;
    return sc->T;
}

void test_scheme_init(SchemeInterface* process) { process->addForeignFunc("test:report-names", report_names); }

// What a performer never calls has no help. By the library files' convention, names beginning with "%" are their
// internal helpers; "test:" names are this test's own.
bool internal(const std::string& name) { return name.rfind('%', 0) == 0 || name.rfind("test:", 0) == 0; }

// Every name a process binds once it has started: the interpreter's primitives and special forms, the process
// built-ins, every native library the program registers, and the standard files.
std::set<std::string> names_a_process_defines() {
    TempDir data_home;  // an empty library folder: only what Ombrel itself defines
    ::setenv("XDG_DATA_HOME", data_home.path.c_str(), 1);
    main_queue::set_main_thread();
    AUHost::FRAMES = 256;
    EXPECT_TRUE(AUHost::singleton().start(make_audio_device("null")));
    // The program's libraries in its order; MIDI on no system and OSC on a port of the system's choice, so the
    // test needs neither and meets no other test.
    MIDIRouter::SYSTEM = "none";
    OSC::PORT = 0;
    add_native_library(au_scheme_init);
    add_native_library(MIDIRouter::schemeInit);
    add_native_library(midi_file_scheme_init);
    add_native_library(osc_scheme_init);
    add_native_library(GraphicEngine::schemeInit);
    add_native_library(NativeScheme::schemeInit);
    add_native_library(test_scheme_init);
    auto process = std::make_unique<SchemeInterface>(OMBREL_SCHEME_DIR, "documentation test", 0);
    EXPECT_TRUE(process->start());
    EXPECT_TRUE(eventually([&] { return process->isReady(); }, 30s));
    const char* text =
        "(test:report-names (map (lambda (s) (cons s (defined? s (interaction-environment)))) (oblist)))";
    process->createSchemeTask(::strdup(text), "DOC NAMES", SchemeTaskType::eval_string);
    EXPECT_TRUE(eventually([] { return collected.done.load(); }, 30s, [] { main_queue::run_pending(); }));
    process->stop();
    process.reset();
    AUHost::singleton().stop();
    main_queue::run_pending();
    std::lock_guard lock(collected.m);
    return {collected.names.begin(), collected.names.end()};
}

TEST(DeliveredDictionary, EveryNameAProcessDefinesIsDocumented) {
    const std::set<std::string> defined = names_a_process_defines();
    // Spot checks that the walk saw each source of names, so an empty or partial list cannot pass.
    for (const char* expected : {"car", "lambda", "map", "sort", "define-syntax", "callback", "play-note",
                                 "call-cpp-at-time", "au:sampler-load", "*au:frames*", "*note-on*", "io:midi-source",
                                 "io:read-midi-file", "*io:osc-send-msg*", "io:on-midi", "math:vector+", "objc:call",
                                 "gl:clear", "gfx:make-canvas", "*gfx:draw-path*", "draw-path", "*gl-lighting*"})
        EXPECT_TRUE(defined.count(expected)) << expected << " was not seen in the process";

    Documentation doc = Documentation::load_default();
    // The GL constants are documented from the file that defines them, with their C name and value.
    ASSERT_NE(doc.find("*GL-LIGHTING*"), nullptr);
    EXPECT_EQ(doc.find("*gl-lighting*")->short_text, "OpenGL constant GL_LIGHTING (2896)");
    EXPECT_EQ(doc.short_text("*glu-tess-winding-odd*"), "GLU constant GLU_TESS_WINDING_ODD (100130)");
    std::string missing;
    size_t count = 0, performer_names = 0;
    for (const std::string& name : defined) {
        if (internal(name)) continue;
        ++performer_names;
        if (!doc.find(name)) {
            missing += "\n  " + name;
            ++count;
        }
    }
    if (count > 0)
        ADD_FAILURE() << count << " of the " << performer_names
                      << " names a process defines have no entry in resources/documentation.plist:" << missing;
}

}  // namespace
}  // namespace omb::test
