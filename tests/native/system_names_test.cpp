// The system utilities called directly on an interpreter of their own: the converters' edge cases, the system log
// taking text literally, lasting C strings, the log view, message bar, buffers and pasteboard through a stand-in
// application and without one, the dictionary as objects, and scripts: their output, their failures, and the time
// limit that ends a script's whole process group and leaves no child behind.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "editor/text/documentation.h"
#include "interpreter/scheme.h"
#include "native/controller.h"
#include "native/native_scheme.h"
#include "native/script_runner.h"
#include "platform/dev_log.h"
#include "platform/objects/foundation.h"
#include "tests/support/log_capture.h"

namespace omb {
namespace {

using test::LogCapture;
using namespace std::chrono_literals;

// The application as the procedures see it: what they asked for is kept for the test to look at.
class StandIn : public NativeController {
public:
    void new_process(const std::string&, int) override {}
    void connect_to_process(const std::string&, const std::string&, int) override {}
    int index_of_repl(const std::string&) override { return kNotFound; }
    void write_to_repl(const std::string&, int) override {}
    void clear_log() override { ++cleared; }
    bool write_log(const std::string& path) override { return written_to = path, log_writable; }
    std::string message_bar_text() override { return ""; }
    std::optional<std::string> buffer_text(int i) override {
        return buffers.count(i) ? std::optional(buffers[i]) : std::nullopt;
    }
    bool set_buffer_text(int i, const std::string& text) override { return buffers.count(i) && (buffers[i] = text, 1); }
    void set_pasteboard(const std::string& text) override { pasteboard = text; }
    const Documentation& documentation() override { return docs; }

    int cleared = 0;
    std::string written_to, pasteboard;
    bool log_writable = true;
    std::map<int, std::string> buffers{{0, "first buffer"}, {1, "second ✓"}};
    Documentation docs = Documentation::from_plist(plist::Dict(
        {{"play-note", plist::Dict({{"short", "Plays a note."},
                                    {"long", plist::Array{"One.", "Two."}},
                                    {"arguments", plist::Dict({{"time", "when"}, {"pitch", "what"}})},
                                    {"related", "now"}})},
         {"now", plist::Dict({{"short", "The time."}, {"long", plist::Array{"Now."}}})}}));
};

class SystemNames : public ::testing::Test {
protected:
    void SetUp() override {
        sc = scheme_init_new();
        ASSERT_NE(sc, nullptr);
        set_native_controller(&app);
    }
    void TearDown() override {
        set_native_controller(nullptr);
        scheme_deinit(sc);
        std::free(sc);
    }

    pointer str(const std::string& s) { return mk_counted_string(sc, s.data(), static_cast<int>(s.size())); }
    pointer integer(int64_t n) { return mk_integer(sc, n); }
    pointer call(std::string_view name, std::initializer_list<pointer> args) {
        pointer list = sc->NIL;
        for (auto it = std::rbegin(args); it != std::rend(args); ++it) list = s_cons(sc, *it, list);
        for (NativeTable table : {converter_and_log_procedures(), log_help_and_buffer_procedures(),
                                  script_procedures(), text_buffer_and_pasteboard_procedures()})
            for (const NativeProcedure& p : table) {
                if (name != p.name) continue;
                protect_cell(sc, list);
                pointer result = p.procedure(sc, list);
                unprotect_cell(sc, list);
                return result;
            }
        ADD_FAILURE() << "no procedure " << name;
        return sc->NIL;
    }
    static int64_t as_integer(pointer p) { return is_integer(p) ? ivalue(p) : -999999; }
    static std::string text(pointer p) {
        if (is_string(p)) return string_value(p);
        if (is_objc(p))
            if (auto* s = dynamic_cast<NSString*>(objc_value(p))) return "NSString:" + s->utf8();
        return "<neither>";
    }

    scheme* sc = nullptr;
    StandIn app;
    LogCapture log;
};

TEST_F(SystemNames, ConvertersKeepToTheirRangesAndRefuseWhatHasNoAnswer) {
    EXPECT_EQ(as_integer(call("io:binary-or", {integer(1), integer(2), integer(4)})), 7);
    EXPECT_EQ(as_integer(call("io:binary-or", {})), 0);
    EXPECT_EQ(as_integer(call("io:binary-and", {integer(12), integer(10)})), 8);
    EXPECT_EQ(as_integer(call("io:binary-and", {})), -1) << "all bits: what an AND of nothing leaves";
    EXPECT_EQ(as_integer(call("io:binary-or", {integer(0x100000001LL)})), 1) << "high bits are dropped";
    EXPECT_EQ(as_integer(call("io:binary-or", {integer(0x80000000LL)})), INT32_MIN) << "bit 31 is the sign";
    EXPECT_EQ(call("io:binary-or", {integer(1), mk_real(sc, 2.0)}), sc->F);
    EXPECT_TRUE(log.saw(log.errors, "io:binary-or needs integers", 0ms));

    EXPECT_EQ(as_integer(call("real->integer", {mk_real(sc, -2.7)})), -2);
    EXPECT_EQ(as_integer(call("real->integer", {mk_rational(sc, -7, 2)})), -3);
    EXPECT_EQ(as_integer(call("real->integer", {mk_real(sc, -9.2e18)})), -9200000000000000000LL);
    for (double bad : {1e19, -1e300, HUGE_VAL, std::nan("")})
        EXPECT_EQ(call("real->integer", {mk_real(sc, bad)}), sc->F) << "not a saturated " << bad;
    pointer r = call("integer->real", {integer(3)});
    EXPECT_TRUE(is_real(r) && rvalue(r) == 3.0);
}

TEST_F(SystemNames, LogTextIsLiteralAndStringPointersOutliveTheirStrings) {
    const bool was = devlog_enabled();
    devlog_enable(true);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(call("io:log", {str("100% %s %n %d done")}), sc->T);
    const std::string written = ::testing::internal::GetCapturedStderr();
    devlog_enable(was);
    EXPECT_NE(written.find("100% %s %n %d done"), std::string::npos) << written;

    pointer a = call("string->cptr", {str("glVertex3f")});
    ASSERT_TRUE(is_cptr(a));
    const char* p = static_cast<const char*>(cptr_value(a));
    rungc(sc);  // the string it came from is garbage now
    EXPECT_STREQ(p, "glVertex3f");
    EXPECT_EQ(cptr_value(call("string->cptr", {str("glVertex3f")})), p) << "the same text, the same copy";
}

TEST_F(SystemNames, TheLogBuffersAndPasteboardGoToTheApplication) {
    EXPECT_EQ(call("sys:clear-log-view", {}), sc->T);
    EXPECT_EQ(app.cleared, 1);
    EXPECT_EQ(call("sys:write-log-view", {str("~/log.txt")}), sc->T);
    EXPECT_EQ(app.written_to, "~/log.txt") << "this path is not expanded";
    app.log_writable = false;
    EXPECT_EQ(call("sys:write-log-view", {str("/nowhere/log.txt")}), sc->F) << "a failed write is no success";

    pointer b = call("sys:get-text-buffer", {integer(1)});
    EXPECT_EQ(text(b), "NSString:second \u2713");
    EXPECT_EQ(objc_value(b)->retain_count(), 1) << "the cell holds the one reference";
    for (int64_t bad : {5LL, -1LL, 1LL << 40}) EXPECT_EQ(call("sys:get-text-buffer", {integer(bad)}), sc->F);
    EXPECT_TRUE(log.saw(log.errors, "No editor buffer 5", 0ms));
    EXPECT_EQ(call("sys:set-text-buffer", {integer(0), mk_objc(sc, make_object<NSString>("obj").release())}), sc->T);
    EXPECT_EQ(app.buffers[0], "obj");
    EXPECT_EQ(call("sys:set-text-buffer", {integer(0), mk_objc(sc, NSNumber::integer(3).release())}), sc->F);
    EXPECT_EQ(call("sys:set-text-buffer", {integer(0), mk_objc(sc, nullptr)}), sc->F);
    EXPECT_EQ(call("sys:set-text-buffer", {integer(7), str("x")}), sc->F);
    EXPECT_EQ(app.buffers.size(), 2u);
    EXPECT_EQ(call("sys:set-pasteboard", {str("copied")}), sc->T);
    EXPECT_EQ(app.pasteboard, "copied");

    set_native_controller(nullptr);
    log.clear();
    EXPECT_EQ(call("sys:clear-log-view", {}), sc->F);
    EXPECT_EQ(call("sys:clear-log-view", {}), sc->F);
    EXPECT_EQ(text(call("sys:get-string-from-message-bar", {})), "");
    log.flush();
    EXPECT_EQ(log.notes.size(), 1u) << "no application is said once";
}

TEST_F(SystemNames, TheDictionaryComesAsObjectsAndTheReaderBufferAsText) {
    pointer names = call("sys:help-entries", {});
    ASSERT_TRUE(is_vector(names) && vector_length(names) == 2);
    EXPECT_EQ(text(vector_elem(names, 0)), "now");
    pointer d = call("sys:get-documentation-dictionary", {});
    auto* all = is_objc(d) ? dynamic_cast<NSDictionary*>(objc_value(d)) : nullptr;
    ASSERT_NE(all, nullptr);
    auto* entry = dynamic_cast<NSDictionary*>(all->object_for_key("play-note"));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->object_for_key("related")->description(), "now");
    EXPECT_EQ(dynamic_cast<NSArray*>(entry->object_for_key("long"))->count(), 2u);
    auto* arguments = dynamic_cast<NSDictionary*>(entry->object_for_key("arguments"));
    EXPECT_EQ(arguments->items().front().first->description(), "time") << "in the order of the call";

    scheme_load_string(sc, "(quote some-long-token)");
    EXPECT_EQ(text(call("sys:get-scheme-str-buffer", {})), "some-long-token");
    std::memset(sc->strbuff, 'x', sizeof sc->strbuff);  // unterminated: the copy stops at the buffer's end
    EXPECT_EQ(text(call("sys:get-scheme-str-buffer", {})).size(), sizeof sc->strbuff);
}

// ---- scripts ---------------------------------------------------------------------------------------------------

bool no_children_left() {
    int status = 0;
    return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

TEST_F(SystemNames, AScriptAnswersWithItsOutputOrFalse) {
    EXPECT_EQ(text(call("sys:run-applescript", {str("printf 'two\\nlines\\n\\n'")})), "NSString:two\nlines");
    EXPECT_EQ(call("sys:run-applescript", {str("true")}), sc->F) << "nothing printed";
    EXPECT_EQ(call("sys:run-applescript", {str("cat")}), sc->F) << "its input is empty, never ours";
    EXPECT_EQ(call("sys:run-applescript", {str("echo partial; echo 'it broke' >&2; exit 3")}), sc->F);
    EXPECT_TRUE(log.saw(log.errors, "The script failed (exit status 3): it broke", 0ms));
    EXPECT_TRUE(no_children_left());
}

TEST_F(SystemNames, AScriptPastItsLimitOrInterruptedIsStoppedWithEverythingItStarted) {
    const long saved = SCRIPT_TIME_LIMIT_MS.exchange(500);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call("sys:run-applescript", {str("sleep 30")}), sc->F);
    const auto took = std::chrono::steady_clock::now() - start;
    SCRIPT_TIME_LIMIT_MS = saved;
    EXPECT_TRUE(took >= 450ms && took < 3s);
    EXPECT_TRUE(log.saw(log.errors, "time limit", 0ms));

    // A background child holding the output open ends with the group; the script reports its group first.
    ScriptResult timed = run_script("echo $$; sleep 30 & sleep 30", {.time = 500ms});
    EXPECT_EQ(timed.status, ScriptResult::Status::timed_out);
    const pid_t group = static_cast<pid_t>(std::atoi(timed.output.c_str()));
    ASSERT_GT(group, 0);
    EXPECT_TRUE(test::eventually([&] { return ::kill(-group, 0) != 0 && errno == ESRCH; }, 10s));

    std::atomic<int> interrupt{0};
    std::thread ctrl_c([&] {
        std::this_thread::sleep_for(200ms);
        interrupt = 1;
    });
    EXPECT_EQ(run_script("sleep 30", {.interrupt = &interrupt}).status, ScriptResult::Status::interrupted);
    ctrl_c.join();
    ScriptResult flood = run_script("yes", {.output_bytes = 1 << 20});
    EXPECT_EQ(flood.status, ScriptResult::Status::too_much_output);
    EXPECT_EQ(flood.output.size(), 1u << 20);
    EXPECT_TRUE(no_children_left());
}

}  // namespace
}  // namespace omb
