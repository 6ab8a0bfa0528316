// LV2 plugins as units: the catalog over Debian's installed plugins and the tests' own bundle (an instrument that
// reports what reaches it, a plugin needing a feature no host has, a bundle whose manifest is not Turtle), units
// rendered directly with events at exact frames, and `ombrel --render` pieces that use them by URI.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "audio/lv2_catalog.h"
#include "audio/presets.h"
#include "audio_test_support.h"
#include "sound_files.h"

namespace omb {
namespace {

using namespace test;

const std::string kAmp = "http://plugin.org.uk/swh-plugins/amp";
const std::string kGate = "urn:ombrel:test:gate";
const std::string kLv2Path = std::string(OMBREL_TEST_LV2_DIR) + ":/usr/lib/lv2";

// Before the catalog is first loaded, in this process and in the programs it runs.
const bool path_set = [] { return ::setenv("LV2_PATH", kLv2Path.c_str(), 1) == 0; }();

std::unique_ptr<Unit> make(const std::string& uri, int channels) {
    const Lv2Component* c = lv2_find(uri);
    if (!c) throw std::runtime_error("no plugin " + uri);
    std::string error;
    auto unit = lv2_make_unit(*c, channels, kRate, kFrames, &error);
    if (!unit) throw std::runtime_error(error);
    unit->prepare(kRate, kFrames);
    return unit;
}

TEST(Lv2, CatalogListsInstalledPluginsWithStableCodesAndRefusesWhatItCannotHost) {
    ASSERT_TRUE(path_set);
    const auto& all = lv2_components();
    ASSERT_GT(all.size(), 100u) << "swh-lv2 and x42-plugins are installed by the test setup";
    std::set<std::tuple<FourCC, FourCC, FourCC>> codes;
    bool x42 = false;
    for (const Lv2Component& c : all) {
        EXPECT_TRUE(codes.insert({c.description.type, c.description.subtype, c.description.manufacturer}).second)
            << c.uri << " shares its codes";
        EXPECT_EQ(lv2_find(c.description.type, c.description.subtype, c.description.manufacturer), &c);
        EXPECT_NE(c.description.manufacturer, kOmbrel);
        x42 = x42 || c.uri.rfind("http://gareus.org/oss/lv2/", 0) == 0;
    }
    EXPECT_TRUE(x42);
    EXPECT_EQ(lv2_find("urn:ombrel:test:broken"), nullptr) << "a bundle that does not parse is left out";

    const Lv2Component* amp = lv2_find(kAmp);
    ASSERT_NE(amp, nullptr);
    EXPECT_EQ(amp->description.name, "Simple amplifier");
    EXPECT_EQ(fourcc_text(amp->description.type), "aufx");
    // The codes are the URI's and its host's, the same everywhere: pinned so that a change to them is seen.
    EXPECT_EQ(amp->description.subtype, lv2_code(kAmp, 0));
    EXPECT_EQ(fourcc_text(amp->description.manufacturer), "29wl");
    EXPECT_EQ(fourcc_text(lv2_code(kAmp, 0)), fourcc_text(amp->description.subtype));
    EXPECT_NE(lv2_code(kAmp, 1), lv2_code(kAmp, 0));
    EXPECT_TRUE(amp->unavailable.empty());

    const Lv2Component* gate = lv2_find(kGate);
    ASSERT_NE(gate, nullptr);
    EXPECT_EQ(fourcc_text(gate->description.type), "aumu");
    const Lv2Component* needs = lv2_find("urn:ombrel:test:needs-more");
    ASSERT_NE(needs, nullptr);
    EXPECT_NE(needs->unavailable.find("urn:ombrel:test:a-feature-no-host-has"), std::string::npos);
    std::string error;
    EXPECT_EQ(lv2_make_unit(*needs, 2, kRate, kFrames, &error), nullptr) << "its instantiate() would abort";
    EXPECT_NE(error.find("cannot be hosted"), std::string::npos) << error;
    const Lv2Component* no_library = lv2_find("urn:ombrel:test:no-library");
    ASSERT_NE(no_library, nullptr);
    EXPECT_EQ(lv2_make_unit(*no_library, 2, kRate, kFrames, &error), nullptr);
    EXPECT_NE(error.find("could not be instantiated: its library does not load ("), std::string::npos) << error;
    EXPECT_NE(error.find("not_a_library.so"), std::string::npos) << error;
}

// Every plugin installed here (swh, x42, the tests' own), mono and stereo: made, fed a tone and a note, its preset
// saved and loaded, and freed; or refused with the reason. Plugins' own leaks and allocations are theirs, not ours.
TEST(Lv2, EveryInstalledPluginIsMadeRunSavedAndFreedOrRefusedWithTheReason) {
#if defined(__SANITIZE_ADDRESS__)
    __lsan_disable();
#endif
    int made = 0;
    for (const Lv2Component& c : lv2_components()) {
        if (!c.unavailable.empty()) continue;
        for (int channels : {1, 2}) {
            std::string error;
            auto unit = lv2_make_unit(c, channels, kRate, kFrames, &error);
            if (!unit) {
                EXPECT_NE(error.find(c.description.name + " could not be instantiated"), std::string::npos) << error;
                continue;
            }
            unit->prepare(kRate, kFrames);
            ++made;
            Channels tone(static_cast<size_t>(channels), Signal(kFrames));
            for (Signal& s : tone)
                for (size_t i = 0; i < s.size(); ++i) s[i] = 0.3f * std::sin(0.05f * static_cast<float>(i));
            std::vector<float*> in(tone.size()), out(tone.size());
            for (size_t i = 0; i < tone.size(); ++i) in[i] = tone[i].data();
            Channels heard = tone;
            for (size_t i = 0; i < heard.size(); ++i) out[i] = heard[i].data();
            const BusBuffer input{in.data(), channels};
            BusBuffer output{out.data(), channels};
            unit->post(note_start(10, unit->new_note_instance(), 60, 100));
            for (int64_t window = 0; window < 4 * kFrames; window += kFrames) {
                unit->render(&input, output, kFrames, window);
                if (window == kFrames) {
                    ASSERT_TRUE(apply_preset(*unit, preset_of(*unit), 2 * kFrames, &error)) << error;
                }
            }
            for (const Signal& s : heard)
                EXPECT_TRUE(std::all_of(s.begin(), s.end(), [](float v) { return std::isfinite(v); })) << c.uri;
        }
    }
    EXPECT_GT(made, 400);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_enable();
#endif
}

TEST(Lv2, AmplifierOnAStereoBusChangesGainOnTheParameterFrame) {
    auto amp = make(kAmp, 2);
    ASSERT_EQ(amp->input_buses(), 1);
    const ParameterInfo* gain = amp->parameter(0, kScopeGlobal);
    ASSERT_NE(gain, nullptr);
    EXPECT_EQ(gain->name, "Amps gain (dB)");
    EXPECT_EQ(gain->unit, kUnitGeneric) << "its data gives no unit";
    EXPECT_EQ(gain->min, -70.0f);
    EXPECT_EQ(gain->max, 70.0f);
    ASSERT_NE(amp->traits(0, kScopeGlobal), nullptr);
    EXPECT_TRUE(amp->traits(0, kScopeGlobal)->clamped);
    expect_sane_parameters(*amp);

    const size_t frames = 4 * kFrames;
    Channels in = {Signal(frames, 0.8f), Signal(frames, -0.4f)};
    ASSERT_TRUE(amp->post(parameter(300, 0, -6.0206f)));
    const Channels out = render_unit(*amp, frames, 0, {in});
    for (size_t i : {0ul, 299ul}) {
        EXPECT_NEAR(out[0][i], 0.8f, 1e-6) << i;
        EXPECT_NEAR(out[1][i], -0.4f, 1e-6) << i;
    }
    for (size_t i : {300ul, 301ul, frames - 1}) {
        EXPECT_NEAR(out[0][i], 0.4f, 1e-5) << "each channel has an instance of the mono plugin: " << i;
        EXPECT_NEAR(out[1][i], -0.2f, 1e-5) << i;
    }
    EXPECT_NEAR(amp->parameter_value(0, kScopeGlobal, 0), -6.0206f, 1e-6);
    // Units from a plugin's data become unit kinds.
    auto balance = make("http://gareus.org/oss/lv2/balance", 2);
    const ParameterInfo* trim = balance->parameter(0, kScopeGlobal);
    ASSERT_NE(trim, nullptr);
    EXPECT_EQ(trim->name, "Trim/Gain [dB]");
    EXPECT_EQ(trim->unit, kUnitDecibels);
}

TEST(Lv2, InstrumentHearsNotesMidiAndParametersAtTheirFramesAndReportsItsOutputs) {
    auto gate = make(kGate, 2);
    EXPECT_EQ(gate->input_buses(), 0);
    ASSERT_NE(gate->traits(3, kScopeGlobal), nullptr);
    EXPECT_TRUE(gate->traits(3, kScopeGlobal)->output);
    const uint32_t instance = gate->new_note_instance();
    ASSERT_TRUE(gate->post(note_start(1000, instance, 60, 127)));
    ASSERT_TRUE(gate->post(parameter(1200, 2, 0.5f)));
    ASSERT_TRUE(gate->post(note_stop(1500, instance)));
    ASSERT_TRUE(gate->post(midi(1700, 0x90, 64, 127)));
    ASSERT_TRUE(gate->post(midi(1800, 0x80, 64, 0)));
    const Channels out = render_unit(*gate, 8 * kFrames);
    const std::pair<size_t, float> expected[] = {{999, 0.0f},  {1000, 1.0f}, {1199, 1.0f}, {1200, 0.5f},
                                                 {1499, 0.5f}, {1500, 0.0f}, {1700, 0.5f}, {1800, 0.0f}};
    for (auto [frame, value] : expected)
        for (int c = 0; c < 2; ++c) EXPECT_FLOAT_EQ(out[static_cast<size_t>(c)][frame], value) << frame << " " << c;
    EXPECT_EQ(gate->parameter_value(3, kScopeGlobal, 0), 2.0f) << "the plugin's count of note-ons";
}

// Installed instruments (Debian's mda-lv2): silent until the note's frame, sounding from it, on both channels.
TEST(Lv2, InstalledInstrumentsPlayANoteFromItsFrame) {
    for (const char* name : {"DX10", "EPiano"}) {
        auto synth = make(std::string("http://drobilla.net/plugins/mda/") + name, 2);
        EXPECT_EQ(fourcc_text(synth->description().type), "aumu") << name;
        const uint32_t instance = synth->new_note_instance();
        ASSERT_TRUE(synth->post(note_start(1000, instance, 60, 120)));
        ASSERT_TRUE(synth->post(note_stop(3000, instance)));
        const Channels out = render_unit(*synth, 16 * kFrames);
        for (const Signal& s : out) {
            const auto first = std::find_if(s.begin(), s.end(), [](float v) { return v != 0.0f; });
            EXPECT_EQ(first - s.begin(), 1000) << name;
            const float peak = std::abs(*std::max_element(first, first + 2000, [](float a, float b) {
                return std::abs(a) < std::abs(b);
            }));
            EXPECT_GT(peak, 0.01f) << name;
        }
    }
}

TEST(Lv2, AWorkerRunsOffTheRenderThreadAndItsAnswerReachesThePlugin) {
    // Stereo: an instance per channel, each with its own work and answers.
    auto unit = make("urn:ombrel:test:worker", 2);
    const Channels in = {Signal(kFrames, 0.5f), Signal(kFrames, -0.25f)};
    EXPECT_FLOAT_EQ(render_unit(*unit, kFrames, 0, {in})[1][0], -0.25f);
    ASSERT_TRUE(unit->post(parameter(kFrames + 10, 2, 3.0f)));
    int64_t window = kFrames;
    Channels last;
    for (int i = 0; i < 400 && (last.empty() || last[0].back() != 1.5f || last[1].back() != -0.75f); ++i) {
        last = render_unit(*unit, kFrames, window, {in});
        window += kFrames;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_FLOAT_EQ(last[0].back(), 1.5f) << "the worker's answer became the gain";
    EXPECT_FLOAT_EQ(last[1].back(), -0.75f);
    EXPECT_EQ(unit->parameter_value(3, kScopeGlobal, 0), 1.0f) << "the work was done on another thread";
}

TEST(Lv2, BundledPresetsAreListedAndSetTheirPortsAndPresetFilesRoundTrip) {
    auto gate = make(kGate, 1);
    const auto presets = lv2_presets(*gate);
    ASSERT_EQ(presets.size(), 1u);
    EXPECT_EQ(presets[0], std::make_pair(std::string("Half"), kGate + "#half"));
    std::string error;
    EXPECT_FALSE(lv2_load_preset(*gate, kGate + "#none", 0, &error));
    EXPECT_NE(error.find("not a preset of Ombrel test gate"), std::string::npos) << error;
    ASSERT_TRUE(lv2_load_preset(*gate, kGate + "#half", 0, &error)) << error;
    ASSERT_TRUE(gate->post(note_start(100, gate->new_note_instance(), 60, 127)));
    EXPECT_FLOAT_EQ(render_unit(*gate, kFrames)[0][100], 0.5f) << "the preset's level";

    // A preset file of the unit's parameters, onto another node of the plugin.
    const plist::Value saved = preset_of(*gate);
    auto other = make(kGate, 1);
    ASSERT_TRUE(apply_preset(*other, saved, 0, &error)) << error;
    render_unit(*other, kFrames);
    EXPECT_EQ(other->parameter_value(2, kScopeGlobal, 0), 0.5f);
}

// How many "memory" instances the tests' plugin library holds, -1 if it is not loaded.
int memory_instances() {
    const std::string path = std::string(OMBREL_TEST_LV2_DIR) + "/ombrel-test.lv2/ombrel_test_plugins.so";
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!library) return -1;
    auto* count = reinterpret_cast<int (*)()>(dlsym(library, "ombrel_test_memory_instances"));
    const int n = count ? count() : -1;
    dlclose(library);
    return n;
}

// The state interface: a value only the plugin's state holds is saved in the preset, and restored into fresh
// instances while another thread keeps rendering the unit (a restore overlapping a run would show as "clash").
TEST(Lv2, APluginsOwnStateIsSavedAndRestoredIntoFreshInstancesWhileItPlays) {
    const std::string kMemory = "urn:ombrel:test:memory";
    const float kSaved = 100.0f / 127.0f;
    auto memory = make(kMemory, 1);
    ASSERT_TRUE(memory->post(midi(10, 0xB0, 7, 100)));
    EXPECT_FLOAT_EQ(render_unit(*memory, kFrames)[0][10], kSaved);
    // Through the preset file's text, as au:save-preset and au:load-preset carry it.
    const plist::Value saved = *plist::parse(plist::serialize(preset_of(*memory)));
    const plist::Value* text = saved.find("state") ? saved.find("state")->find("lv2-state") : nullptr;
    ASSERT_TRUE(text && text->as_string());
    EXPECT_NE(text->as_string()->find("urn:ombrel:test:memory#value"), std::string::npos) << *text->as_string();

    auto other = make(kMemory, 2);  // one instance: the plugin has no audio input to pair
    std::atomic<bool> stop{false};
    std::atomic<float> last{0.0f};
    std::thread renderer([&] {
        for (int64_t window = 0; !stop; window += kFrames) last = render_unit(*other, kFrames, window)[1].back();
    });
    std::string error;
    const bool applied = apply_preset(*other, saved, 0, &error);
    for (int i = 0; i < 2000 && last != kSaved; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    renderer.join();
    ASSERT_TRUE(applied) << error;
    EXPECT_FLOAT_EQ(last, kSaved) << "the restored instances play";
    EXPECT_FLOAT_EQ(other->parameter_value(2, kScopeGlobal, 0), kSaved);
    EXPECT_EQ(other->parameter_value(3, kScopeGlobal, 0), 0.0f) << "a restore overlapped a run";
    EXPECT_EQ(memory_instances(), 2) << "one for each unit: the replaced one is freed once the render let it go";

    // State that cannot be used is refused with the reason, and the unit plays on as it was.
    auto with_state = [&](const std::string& state) {
        plist::Value bad = saved;
        bad.find("state")->as_dict()->set("lv2-state", state);
        return bad;
    };
    std::string for_gate = *text->as_string();
    for (size_t at; (at = for_gate.find("<" + kMemory + ">")) != std::string::npos;)
        for_gate.replace(at, kMemory.size() + 2, "<" + kGate + ">");
    EXPECT_FALSE(apply_preset(*other, with_state("not turtle {"), 0, &error));
    EXPECT_EQ(error, "its LV2 state could not be read");
    EXPECT_FALSE(apply_preset(*other, with_state(for_gate), 0, &error));
    EXPECT_EQ(error, "its LV2 state is for " + kGate);
    EXPECT_FLOAT_EQ(render_unit(*other, kFrames, 0)[0][0], kSaved);

    // A bundled preset that carries the plugin's own state, beyond port values.
    ASSERT_TRUE(lv2_load_preset(*memory, kMemory + "#quarter", 0, &error)) << error;
    EXPECT_FLOAT_EQ(render_unit(*memory, kFrames)[0][0], 0.25f);

    // A plugin whose output is not a number is silenced, and counted for the log.
    ASSERT_TRUE(memory->post(midi(100, 0xB0, 9, 1)));
    const Signal faulty = render_unit(*memory, kFrames)[0];
    EXPECT_FLOAT_EQ(faulty[99], 0.25f);
    EXPECT_TRUE(std::all_of(faulty.begin() + 100, faulty.end(), [](float v) { return v == 0.0f; }));
    EXPECT_EQ(memory->take_silenced_samples(), kFrames - 100);
}

// ---- through the program ------------------------------------------------------------------------------------------

struct Outcome {
    int status = -1;
    std::string output;
};

std::string contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

Outcome render(const TempDir& dir, const std::string& piece) {
    std::ofstream(dir.file("piece.scm")) << piece;
    const std::string command = std::string(OMBREL_BIN) + " --render " + dir.file("piece.scm") +
                                " --seconds 0.5 --out " + dir.file("out.wav") + " > " + dir.file("log.txt") + " 2>&1";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, contents(dir.file("log.txt"))};
}

TEST(Lv2Program, AnAmplifierAtMinusSixDecibelsHalvesARenderedNoteFromItsParameterFrame) {
    TempDir dir;
    const Outcome r = render(dir, "(define gate (au:make-lv2-node \"" + kGate + "\"))\n"
                                  "(define amp (au:make-lv2-node \"" + kAmp + "\"))\n"
                                  "(au:connect-node gate 0 amp 0) (au:to-output amp)\n"
                                  "(schedule 1000 *au:set-param* amp 0 0 0 -6.0206)\n"
                                  "(play-note 4410 gate 60 127 2000)\n"
                                  "(schedule 5001 *au:set-param* amp 0 0 0 0.0)\n");
    ASSERT_EQ(r.status, 0) << r.output;
    const std::vector<float> left = read_left(dir.file("out.wav"));
    ASSERT_GT(left.size(), 7000u);
    EXPECT_EQ(left[4409], 0.0f);
    EXPECT_NEAR(left[4410], 0.5f, 1e-4) << "the note, halved, on its frame";
    EXPECT_NEAR(left[5000], 0.5f, 1e-4);
    EXPECT_NEAR(left[5001], 1.0f, 1e-4) << "0 dB from the parameter's frame";
    EXPECT_NEAR(left[6409], 1.0f, 1e-4);
    EXPECT_EQ(left[6410], 0.0f) << "the note off, 2000 frames on";
}

TEST(Lv2Program, PiecesMakePluginsByUriAndCodesAndAreToldOfWhatCannotBe) {
    TempDir dir;
    const std::string answers = dir.file("answers.txt");
    const Outcome r = render(dir, "(define amp (au:make-lv2-node \"" + kAmp + "\"))\n"
                                  "(define gate (au:make-lv2-node \"" + kGate + "\" 1))\n"
                                  "(define needs (au:make-lv2-node \"urn:ombrel:test:needs-more\"))\n"
                                  "(define none (au:make-lv2-node \"urn:nothing:here\"))\n"
                                  "(define by-codes (au:make-node \"aufx\" \"" + fourcc_text(lv2_code(kAmp, 0)) +
                                  "\" \"29wl\"))\n"
                                  "(define gate-again (au:make-lv2-node \"" + kGate + "\"))\n"
                                  "(schedule 100 *au:set-param* amp 0 0 0 100.0)\n"
                                  "(schedule 200 *au:set-param* gate 3 0 0 5.0)\n"
                                  "(define (report) (call-with-output-file \"" + answers + "\"\n"
                                  "  (lambda (p) (write (list amp gate needs none by-codes (au:get-param amp 0 0 0)\n"
                                  "    (au:get-param-info amp 0 0) (vector-length (au:get-node-vector \"aufx\"))) p)\n"
                                  "    (for-each (lambda (v) (if (> (vector-length v) 4) (begin (write v p) (newline p))))\n"
                                  "      (vector->list (au:get-node-vector \"aufx\"))))))\n"
                                  "(callback 4000 report)\n"
                                  "(define mem (au:make-lv2-node \"urn:ombrel:test:memory\"))\n"
                                  "(au:to-output mem) (control-change 300 mem 0 9 1)\n");
    EXPECT_EQ(r.status, 0) << r.output;
    const std::string a = contents(answers);
    EXPECT_EQ(a.rfind("(2 3 -1 -1 4 70 (\"default:Amps gain (dB)\" -70 70 0 \"kAudioUnitParameterUnit_Generic -  "
                      "untyped value generally between 0.0 and 1.0 \")",
                      0),
              0u)
        << a;
    EXPECT_NE(a.find("#( \"Simple amplifier\" \"aufx\" \"" + fourcc_text(lv2_code(kAmp, 0)) + "\" \"29wl\" \"" + kAmp +
                     "\")"),
              std::string::npos);
    EXPECT_NE(a.find("\"urn:ombrel:test:needs-more\" \"it needs urn:ombrel:test:a-feature-no-host-has\")"),
              std::string::npos)
        << a;
    EXPECT_NE(r.output.find("au:set-param: 100 is outside -70 to 70 for parameter 0 of node 2: 70 is used"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("au:set-param: parameter 3 of node 3 is a value the unit reports; it cannot be set"),
              std::string::npos);
    EXPECT_NE(r.output.find("cannot be hosted: it needs urn:ombrel:test:a-feature-no-host-has"), std::string::npos);
    EXPECT_NE(r.output.find("Unable To Create AudioUnit"), std::string::npos);
    const std::string not_rt = "The LV2 plugin Ombrel test gate does not say it is hard real-time capable";
    const size_t first = r.output.find(not_rt);
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(r.output.find(not_rt, first + 1), std::string::npos) << "said once";
    const std::string faulty = "The unit at node 6 (Ombrel test memory) put out values that are not numbers: they "
                               "are silenced";
    const size_t told = r.output.find(faulty);
    EXPECT_NE(told, std::string::npos) << r.output;
    EXPECT_EQ(r.output.find(faulty, told + 1), std::string::npos) << "said once";
}

}  // namespace
}  // namespace omb
