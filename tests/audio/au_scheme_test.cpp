// The engine's names as a performer uses them, through a real process on the null device: nodes, connections and
// their errors, parameters and their info, presets, bypass, the component listings, the sampler, captures and speech
// channels.
#include <filesystem>
#include <fstream>

#include "audio/speech.h"
#include "tests/runtime/process_support.h"

namespace omb::test {
namespace {

class AuScheme : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(c.greet());
        c.eval("(au:clear-graph)");
        dir = std::filesystem::temp_directory_path() / ("ombrel-au-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        c.eval("(au:clear-graph)");
        clear_scheduler();
        std::filesystem::remove_all(dir);
    }
    // Runs the main thread's queue while waiting: asynchronous graph work happens there.
    bool becomes(const std::string& text, const std::string& expected) {
        return eventually([&] { return c.eval(text) == expected; }, 10s, [] { main_queue::run_pending(); });
    }
    LogCapture log;
    Conn c{ProcessEnvironment::port};
    std::filesystem::path dir;
};

TEST_F(AuScheme, NodesAndConnectionsWithTheirErrors) {
    const int first = std::stoi(c.eval("(au:make-node \"aumu\" \"subs\" \"ombr\")"));
    EXPECT_GT(first, 1);
    EXPECT_EQ(c.eval("(au:make-node 1635085685 1937072755 1869439602)"), std::to_string(first + 1))
        << "the same codes as integers";
    EXPECT_EQ(c.eval("(au:make-node \"aufx\" \"mrev\" \"appl\" 1)"), std::to_string(first + 2)) << "the alias, mono";
    EXPECT_EQ(c.eval("(au:make-node \"aufx\" \"nope\" \"ombr\")"), "-1");
    EXPECT_TRUE(log.saw(log.errors, "Unable To Create AudioUnit"));

    const std::string synth = std::to_string(first), verb = std::to_string(first + 2);
    EXPECT_EQ(c.eval("(au:connect-node " + synth + " 0 " + verb + ")"), "\"failed: wrong number of arguments\"");
    EXPECT_EQ(c.eval("(au:connect-node -1 0 " + verb + " 0)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Invalid AudioUnit.  Unable to connect nodes"));
    EXPECT_EQ(c.eval("(au:connect-node " + synth + " 0 " + verb + " 0)"), "#t");
    EXPECT_EQ(c.eval("(au:connect-node " + verb + " 0 " + synth + " 0)"), "#t");
    EXPECT_TRUE(log.saw(log.errors, "Failed to connect au: no such bus")) << "an instrument has no input";
    EXPECT_EQ(c.eval("(au:connect-node 99 0 " + verb + " 0)"), "#t");
    EXPECT_TRUE(log.saw(log.errors, "Failed to connect au: no such node"));
    const std::string other = c.eval("(au:make-node \"aumu\" \"subs\" \"ombr\")");
    EXPECT_EQ(c.eval("(au:connect-node " + other + " 0 " + verb + " 0)"), "#t");
    EXPECT_TRUE(log.saw(log.notes, "Failed to connect au. disconnecting output and trying again"));
    EXPECT_EQ(c.eval("(au:connect-node " + verb + " 0 *au:output-node* 0)"), "#t");
    EXPECT_EQ(c.eval("(au:disconnect-node " + verb + " 3)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Failed to disconnect au"));
    EXPECT_EQ(c.eval("(au:print-graph)"), "#t");
    EXPECT_TRUE(log.saw(log.notes, "node " + other + " bus 0 -> node " + verb + " bus 0"));

    EXPECT_EQ(c.eval("(list *au:output-node* *au:input-node* *au:mixer-node*)"), "(1 1 0)");
    EXPECT_EQ(c.eval("(au:clear-graph)"), "#t");
    EXPECT_EQ(c.eval("(au:get-bypass " + synth + ")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "au:get-bypass: no audio unit at node " + synth));
    const int after = std::stoi(c.eval("(au:make-node \"aumu\" \"subs\" \"ombr\")"));
    EXPECT_GT(after, std::stoi(other)) << "numbers are not reused after a clear";

    // The asynchronous forms act later, on the main thread.
    EXPECT_EQ(c.eval("(au:make-node-async \"pad\" \"aumu\" \"subs\" \"ombr\")"), "#t");
    EXPECT_TRUE(becomes("pad", std::to_string(after + 1)));
    EXPECT_EQ(c.eval("(au:connect-node-async pad 0 *au:output-node* 0)"), "#t");
    EXPECT_TRUE(becomes("(begin (au:print-graph) #t)", "#t"));
    EXPECT_TRUE(log.saw(log.notes, "node " + std::to_string(after + 1) + " bus 0 -> node 1 bus 0"));
}

TEST_F(AuScheme, ParametersPresetsBypassAndListings) {
    const std::string fx = c.eval("(au:make-node \"aufx\" \"lpas\" \"ombr\")");
    EXPECT_EQ(c.eval("(au:get-param-ids " + fx + " 2)"), "NIL") << "no parameters in the output scope";
    const std::string ids = c.eval("(au:get-param-ids " + fx + " 0)");
    ASSERT_EQ(ids.rfind("#(0", 0), 0u) << ids;
    const std::string info = c.eval("(au:get-param-info " + fx + " 0 0)");
    EXPECT_EQ(info.rfind("(\"default:", 0), 0u) << info;
    EXPECT_NE(info.find("kAudioUnitParameterUnit_Hertz -  absolute frequency/pitch in cycles/second "),
              std::string::npos)
        << info;
    EXPECT_EQ(c.eval("(au:get-param-info " + fx + " 0 99)"), "NIL");
    EXPECT_TRUE(log.saw(log.errors, "Error retrieving AU info details"));

    // A value set at a time lands there; a preset keeps it and brings it back.
    EXPECT_EQ(c.eval("(set-param (now) " + fx + " 0 1234.5)"), "#t");
    EXPECT_TRUE(becomes("(get-param " + fx + " 0)", "1234.5"));
    const std::string preset = (dir / "lp.plist").string();
    EXPECT_EQ(c.eval("(au:save-preset " + fx + " \"" + preset + "\")"), "#t");
    EXPECT_TRUE(log.saw(log.notes, "Successfully wrote " + preset));
    EXPECT_EQ(c.eval("(set-param (now) " + fx + " 0 500)"), "#t");
    EXPECT_TRUE(becomes("(get-param " + fx + " 0)", "500"));
    EXPECT_EQ(c.eval("(au:load-preset " + fx + " \"" + preset + "\")"), "#t");
    EXPECT_TRUE(becomes("(get-param " + fx + " 0)", "1234.5"));
    const std::string synth = c.eval("(au:make-synth)");
    EXPECT_EQ(c.eval("(au:load-preset " + synth + " \"" + preset + "\")"), "#t");
    EXPECT_TRUE(log.saw(log.errors, "Error reading preset")) << "a filter's preset on a synth";
    std::ofstream(dir / "a-file") << "x";
    const std::string unwritable = (dir / "a-file" / "x.plist").string();  // a folder that is a file
    EXPECT_EQ(c.eval("(au:save-preset " + fx + " \"" + unwritable + "\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "There was an error writing out " + unwritable));
    EXPECT_EQ(c.eval("(set-param (now) " + fx + " 77 1)"), "#t");
    EXPECT_TRUE(log.saw(log.errors, "Error setting AudioUnit param"));

    EXPECT_EQ(c.eval("(set-bypass (now) " + fx + " #t)"), "#t");
    EXPECT_TRUE(becomes("(au:get-bypass " + fx + ")", "#t"));

    const std::string listing = c.eval("(au:get-node-strings \"aumu\")");
    EXPECT_NE(listing.find("type=[1635085685] 'aumu' subtype=[1937072755] 'subs' manufacturer=[1869439602] 'ombr'"),
              std::string::npos)
        << listing;
    EXPECT_EQ(c.eval("(vector-ref (vector-ref (au:get-node-vector \"aumx\") 0) 2)"), "\"smxr\"");
    EXPECT_EQ(c.eval("(au:open-view " + fx + ")"), "#t");
}

TEST_F(AuScheme, SamplerLoadingCaptureAndSysex) {
    const std::string sampler = c.eval("(au:make-sampler)");
    EXPECT_EQ(c.eval("(au:sampler-load " + sampler + " \"/nonexistent.wav\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "au:sampler-load: "));
    EXPECT_TRUE(log.saw(log.errors, "/nonexistent.wav"));
    const std::string synth = c.eval("(au:make-synth)");
    EXPECT_EQ(c.eval("(au:sampler-load " + synth + " \"/x.wav\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "is not a sampler"));

    EXPECT_EQ(c.eval("(sysex (now) " + synth + " (make-list 10 1))"), "#t");
    EXPECT_TRUE(log.saw(log.errors, "Error sending MIDI Sys Ex Message")) << "the synth takes none";

    const std::string take = (dir / "take.aif").string();
    EXPECT_EQ(c.eval("(au:stop-audio-capture)"), "#f");
    EXPECT_EQ(c.eval("(au:start-audio-capture 5)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Argument 1 must be a file name"));
    EXPECT_EQ(c.eval("(au:start-audio-capture \"" + take + "\" 1)"), "#t");
    EXPECT_EQ(c.eval("(au:start-audio-capture \"" + (dir / "two.aif").string() + "\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Stop Current Dump Before Starting New Dump!"));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(c.eval("(au:stop-audio-capture)"), "#t");
    EXPECT_GT(std::filesystem::file_size(take), 1000u) << "a fifth of a second of silence, and a header";
    EXPECT_EQ(c.eval("(au:start-audio-capture \"" + take + "\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "This file already exists"));
    EXPECT_EQ(c.eval("(au:start-audio-capture \"" + (dir / "no-such-folder" / "t.aif").string() + "\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Error Creating New File"));
}

TEST_F(AuScheme, SpeechChannelsTheirPropertiesAndTheirErrors) {
    EXPECT_EQ(c.eval("(define voice (au:get-speech-channel))"), "voice");
    EXPECT_EQ(c.eval("(au:get-speech-info voice \"rate\")"), "175");
    EXPECT_EQ(c.eval("(schedule (now) *au:set-speech-info* voice \"rate\" 200.5)"), "#t");
    EXPECT_TRUE(becomes("(au:get-speech-info voice \"rate\")", "200.5"));
    EXPECT_EQ(c.eval("(schedule (now) *au:set-speech-info* voice \"nope\" 1)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Unknown speech selector \"nope\""));
    EXPECT_EQ(c.eval("(au:get-speech-info voice \"volm\")"), "1");
    EXPECT_EQ(c.eval("(au:get-speech-info voice \"pitch\")"), "#f");

    // Only channels count as channels: other pointers, numbers and wrong argument counts are refused.
    EXPECT_EQ(c.eval("(au:get-speech-info *note-on* \"rate\")"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "au:get-speech-info needs a speech channel and a selector"));
    EXPECT_EQ(c.eval("(au:get-speech-info voice)"), "#f");
    EXPECT_EQ(c.eval("(au:get-speech-channel 1)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "au:get-speech-channel takes no arguments"));
    EXPECT_EQ(c.eval("(schedule (now) *au:speak-string* *note-on* \"hi\")"), "#f");
    EXPECT_EQ(c.eval("(schedule (now) *au:speak-string* voice 5)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "*au:speak-string* needs a speech channel and a string"));
    EXPECT_EQ(c.eval("(schedule (now) *au:set-speech-info* 7 \"rate\" 1)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "*au:set-speech-info* needs a speech channel, a selector and a number"));
    // A channel scheduled as if it were a target does nothing harmful.
    EXPECT_EQ(c.eval("(schedule (now) voice 1 2)"), "#t");
    EXPECT_TRUE(log.saw(log.errors, "A speech channel is not a task target"));

    EXPECT_EQ(c.eval("(schedule (now) *au:speak-string* voice \"hello\")"), "#t");
    EXPECT_TRUE(eventually([] { return speech_idle(); }, 20s));
    EXPECT_EQ(c.eval("(+ 1 2)"), "3");
}

}  // namespace
}  // namespace omb::test

static auto* const process_environment = ::testing::AddGlobalTestEnvironment(new omb::test::ProcessEnvironment);
