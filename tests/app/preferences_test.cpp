#include "app/preferences.h"
#include "platform/resources.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
namespace plist = omb::plist;
using omb::Colour;
using omb::Preferences;
using omb::Rect;
using plist::Array;
using plist::Dict;
using plist::Value;

namespace {

std::string wrap(const std::string& dict_body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + dict_body +
           "</dict></plist>\n";
}

std::string prefs_only(const std::string& body) { return wrap("<key>preferences_key</key><dict>" + body + "</dict>"); }

std::string colour_xml(double r, double g, double b, double a) {
    auto real = [](double d) { return "<real>" + std::to_string(d) + "</real>"; };
    return "<dict><key>red</key>" + real(r) + "<key>green</key>" + real(g) + "<key>blue</key>" + real(b) +
           "<key>alpha</key>" + real(a) + "</dict>";
}

// The typed settings on one line, so one comparison covers every getter.
std::string summary(const Preferences& p) {
    std::ostringstream s;
    s << p.audio_frames() << ' ' << p.reaper_time() << ' ' << p.reap_callbacks() << ' ' << p.osc_port() << ' '
      << p.eval_port() << ' ' << p.listen_address() << ' ' << p.osc_listen_address() << " [" << p.audio_driver()
      << "] " << p.font_size() << ' ' << p.expr_highlight() << ' ' << p.floating_auview();
    return s.str();
}
const std::string DEFAULTS = "256 3.25 0 7009 7010 127.0.0.1 127.0.0.1 [] 12 1 0";

std::vector<std::string> names(const Value& records) {
    std::vector<std::string> out;
    for (const Value& r : *records.as_array()) out.push_back(*r.find("name")->as_string());
    return out;
}

class PreferencesTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    void write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }

    Preferences load(const std::string& text) {
        write(file_, text);
        return load_file();
    }
    Preferences load_file(const fs::path& defaults = {}, const fs::path& file = {}) {
        auto p = Preferences::load(file.empty() ? file_ : file, defaults.empty() ? dir_ / "none.plist" : defaults);
        log_.flush();
        return p;
    }

    omb::test::LogCapture log_;
    const fs::path dir_ = fs::temp_directory_path() / ("ombrel-preferences-test-" + std::to_string(::getpid()));
    const fs::path file_ = dir_ / "ombrel.plist";
};

TEST_F(PreferencesTest, MissingFileReadsTheDefaultsFile) {
    fs::path delivered = omb::resource_path("resources/ombrel.plist");
    ASSERT_FALSE(delivered.empty()) << "resources/ombrel.plist is not found";
    Preferences p = load_file(delivered);

    EXPECT_EQ(log_.notes, std::vector<std::string>{"Loaded Defaults!\n"});
    EXPECT_TRUE(log_.errors.empty()) << log_.errors.front();
    EXPECT_FALSE(p.file_unreadable()) << "a missing file is a first start";
    // The delivered copy must agree with what the program would fill in itself.
    EXPECT_EQ(p.document(), Preferences::defaults());

    // Any defaults file is read; without one the program fills in its own and says which file was missing.
    log_.clear();
    write(dir_ / "defaults.plist", prefs_only("<key>audio_frames</key><integer>512</integer>"));
    EXPECT_EQ(load_file(dir_ / "defaults.plist").audio_frames(), 512);
    EXPECT_EQ(log_.notes, std::vector<std::string>{"Loaded Defaults!\n"});

    log_.clear();
    EXPECT_EQ(load_file().document(), Preferences::defaults());
    EXPECT_EQ(log_.notes, std::vector<std::string>{"Loaded Defaults!\n"});
    ASSERT_EQ(log_.errors.size(), 1u);
    EXPECT_NE(log_.errors[0].find("none.plist"), std::string::npos) << log_.errors[0];
}

TEST_F(PreferencesTest, DamagedFileIsReportedWithItsNameAndReason) {
    for (const std::string& text : {std::string("<plist><dict><key>x</key></dict></plist>"),
                                    std::string("<plist><array/></plist>"), std::string("\x01\x02garbage")}) {
        log_.clear();
        Preferences p = load(text);
        EXPECT_EQ(p.audio_frames(), 256);
        EXPECT_TRUE(p.file_unreadable()) << "the performer's file must not be saved over";
        EXPECT_EQ(log_.notes, std::vector<std::string>{"Loaded Defaults!\n"}) << text;
        ASSERT_GE(log_.errors.size(), 1u) << text;
        EXPECT_EQ(log_.errors[0].rfind(":ERROR: Cannot read the preferences: " + file_.string() + ": ", 0), 0u)
            << log_.errors[0];
    }
    EXPECT_NE(log_.errors[0].find("line 1: not well-formed XML"), std::string::npos) << log_.errors[0];
}

TEST_F(PreferencesTest, PartialFileIsFilledQuietlyAndKeepsWhatItHas) {
    Preferences p = load(wrap("<key>preferences_key</key><dict>"
                              "<key>audio_frames</key><real>512</real>"
                              "<key>font_size</key><integer>14</integer>"
                              "<key>my_own_setting</key><string>kept</string>"
                              "<key>editor_omb_colour</key>" +
                              colour_xml(0, 0, 1, 1) +
                              "<key>dark_colourset</key><dict><key>editor_bg</key>" +
                              colour_xml(0, 0, 0, 1) +
                              "</dict></dict>"
                              "<key>scheme_keywords_key</key><array><dict><key>name</key><string>define</string>"
                              "<key>colour</key>" +
                              colour_xml(0, 1, 0, 1) + "</dict></array>"));
    EXPECT_TRUE(log_.errors.empty()) << log_.errors.front();
    EXPECT_TRUE(log_.notes.empty());
    EXPECT_EQ(p.audio_frames(), 512);
    EXPECT_EQ(p.font_size(), 14.0);
    EXPECT_EQ(p.reaper_time(), 3.25);
    EXPECT_EQ(p.colour("editor_fg"), (Colour{0, 0, 0.4, 1}));

    const Value& doc = p.document();
    const Value& prefs = *doc.find("preferences_key");
    EXPECT_EQ(*prefs.find("my_own_setting"), Value("kept"));
    EXPECT_EQ(*prefs.find("reaper_time"), Value(3.25));
    const Value& dark = *prefs.find("dark_colourset");
    EXPECT_EQ(omb::colour_from(*dark.find("editor_bg")), (Colour{0, 0, 0, 1}));
    EXPECT_NE(omb::colour_from(*dark.find("editor_fg")), p.colour("editor_fg")) << "dark fill uses dark colours";

    EXPECT_EQ(names(*doc.find("scheme_keywords_key")), std::vector<std::string>{"define"});
    // Library names missing altogether take the colour the file chose for them.
    const Value& omb_first = (*doc.find("omb_keywords_key")->as_array())[0];
    EXPECT_EQ(omb::colour_from(*omb_first.find("colour")), (Colour{0, 0, 1, 1}));
    EXPECT_EQ(*doc.find("window_size_key"), Value(Array{"{{100, 100}, {800, 600}}", "{{920, 100}, {500, 600}}"}));
}

TEST_F(PreferencesTest, WrongValuesAreReportedOnceAndReplaced) {
    Preferences p = load(wrap("<key>preferences_version_key</key><integer>3</integer>"
                              "<key>window_size_key</key><array><string>{{1, 2}, {3, 4}}</string>"
                              "<string>{{1, 2}, {3}}</string></array>"
                              "<key>preferences_key</key><dict>"
                              "<key>audio_frames</key><integer>8193</integer>"
                              "<key>reaper_time</key><real>-1</real>"
                              "<key>reap_callbacks</key><integer>1</integer>"
                              "<key>osc_port</key><integer>80</integer>"
                              "<key>eval_port</key><string>7011</string>"
                              "<key>listen_address</key><integer>0</integer>"
                              "<key>font_size</key><real>nan</real>"
                              "<key>editor_bg</key>" +
                              colour_xml(1.5, 0, 0, 1) +
                              "<key>light_colourset</key><dict><key>note_bg</key><string>yellow</string></dict>"
                              "</dict>"));
    const std::vector<std::string> want = {
        ":ERROR: Preference editor_bg: expected a colour {red, green, blue, alpha} with components from 0 to 1; "
        "using (0.95, 0.95, 0.95, 0.99)\n",
        ":ERROR: Preference audio_frames: expected an integer from 16 to 8192; using 256\n",
        ":ERROR: Preference reaper_time: expected a number of at least 0; using 3.25\n",
        ":ERROR: Preference reap_callbacks: expected true or false; using false\n",
        ":ERROR: Preference font_size: expected a number from 4 to 288; using 12\n",
        ":ERROR: Preference osc_port: expected an integer from 1025 to 65535; using 7009\n",
        ":ERROR: Preference light_colourset.note_bg: expected a colour {red, green, blue, alpha} with components "
        "from 0 to 1; using (1, 1, 0.8, 1)\n",
        ":ERROR: Preference listen_address: expected a non-empty string; using \"127.0.0.1\"\n",
        ":ERROR: Preference eval_port: expected an integer from 1025 to 65535; using 7010\n",
        ":ERROR: Preferences item preferences_version_key: expected a string; using the default\n",
        ":ERROR: Preferences item window_size_key: entry 1 is not a rectangle \"{{x, y}, {w, h}}\"; using "
        "{{920, 100}, {500, 600}}\n",
    };
    EXPECT_EQ(log_.errors, want);
    EXPECT_TRUE(log_.notes.empty());

    EXPECT_EQ(summary(p), DEFAULTS);
    EXPECT_EQ(p.colour("editor_bg"), (Colour{0.95, 0.95, 0.95, 0.99}));
    EXPECT_EQ(p.window_frame(0), (Rect{1, 2, 3, 4}));

    // The document itself is repaired, so saving does not carry the faults into the next start; changes made since
    // loading, of every kind, are saved (into folders made on the way) and come back.
    p.preferences().as_dict()->set("note_bg", omb::colour_value({0.25, 0.5, 0.75, 1}));
    p.preferences().as_dict()->set("user_added", Array{1, "two"});
    p.set_window_frame(0, Rect{10, 20, 300.5, 400});
    const fs::path elsewhere = dir_ / "new" / "folder" / "ombrel.plist";
    std::string error;
    ASSERT_TRUE(p.save(elsewhere, &error)) << error;
    log_.clear();
    Preferences back = load_file({}, elsewhere);
    EXPECT_EQ(log_.errors.size() + log_.notes.size(), 0u);
    EXPECT_EQ(back.document(), p.document());
    EXPECT_EQ(back.colour("note_bg"), (Colour{0.25, 0.5, 0.75, 1}));
    EXPECT_EQ(back.window_frame(0), (Rect{10, 20, 300.5, 400}));

    // Values broken after loading (by the preferences window) still answer with a usable default.
    for (const char* key : {"audio_frames", "reaper_time", "reap_callbacks", "osc_port", "eval_port", "listen_address",
                            "osc_listen_address", "audio_driver", "font_size", "expr_highlight", "floating_auview"})
        p.preferences().as_dict()->set(key, Array{});
    p.preferences().as_dict()->set("osc_port", 70000);
    p.preferences().as_dict()->set("audio_frames", 8193);
    EXPECT_EQ(summary(p), DEFAULTS);
}

TEST_F(PreferencesTest, KeywordRecordsWithoutNameOrColour) {
    std::string keywords = "<array>"
                           "<dict><key>name</key><string>define</string><key>colour</key>" +
                           colour_xml(0, 0, 1, 1) +
                           "</dict>"
                           "<dict><key>colour</key>" +
                           colour_xml(0, 0, 1, 1) +
                           "</dict>"
                           "<string>not a record</string>"
                           "<dict><key>name</key><string>lambda</string></dict>"
                           "<dict><key>name</key><string>if</string><key>colour</key><dict><key>red</key>"
                           "<real>0.1</real></dict></dict>"
                           "</array>";
    Preferences p = load(wrap("<key>scheme_keywords_key</key>" + keywords +
                              "<key>specialforms_key</key><array><dict><key>name</key><string>do</string>"
                              "<key>tabwidth</key><string>x</string></dict></array>"));
    EXPECT_EQ(log_.errors, (std::vector<std::string>{":ERROR: error in get keywords dict. name\n",
                                                     ":ERROR: error in get keywords dict. colour\n",
                                                     ":ERROR: error in get special forms dict. tabwidth\n"}));
    const Value& records = *p.document().find("scheme_keywords_key");
    EXPECT_EQ(names(records), (std::vector<std::string>{"define", "lambda", "if"}));
    const Array& a = *records.as_array();
    EXPECT_EQ(omb::colour_from(*a[0].find("colour")), (Colour{0, 0, 1, 1}));
    EXPECT_EQ(omb::colour_from(*a[1].find("colour")), (Colour{0.6, 0, 0, 1}));
    EXPECT_EQ(omb::colour_from(*a[2].find("colour")), (Colour{0.6, 0, 0, 1}));
    EXPECT_EQ(*(*p.document().find("specialforms_key")->as_array())[0].find("tabwidth"), Value(1));
}

TEST(PreferencesText, RectanglesAndColours) {
    EXPECT_EQ(omb::rect_from(" { {-5,2.5},{1e3 , 0} } "), (Rect{-5, 2.5, 1000, 0}));
    for (const char* bad : {"", "{{1, 2}, {3, 4}} x", "{{1, 2}, {3, -4}}", "{{1, 2} {3, 4}}", "{{1, 2}, {3, 4}"})
        EXPECT_FALSE(omb::rect_from(bad)) << bad;
    Dict c({{"red", 1}, {"green", 0}, {"blue", 0.5}, {"alpha", 1.01}});
    EXPECT_FALSE(omb::colour_from(c));
    c.set("alpha", 1);
    EXPECT_EQ(omb::colour_from(c), (Colour{1, 0, 0.5, 1}));
    c.erase("red");
    EXPECT_FALSE(omb::colour_from(c));
}

// Sets or unsets environment variables for one scope.
struct EnvGuard {
    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
    void set(const char* name, const char* value) {
        const char* old = std::getenv(name);
        saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~EnvGuard() {
        for (auto it = saved.rbegin(); it != saved.rend(); ++it)
            it->second ? ::setenv(it->first, it->second->c_str(), 1) : ::unsetenv(it->first);
    }
};

TEST(PreferencesPath, FollowsXdgConfigHome) {
    EnvGuard env;
    env.set("HOME", "/home/performer");
    env.set("XDG_CONFIG_HOME", "/srv/config");
    EXPECT_EQ(omb::preferences_path(), fs::path("/srv/config/ombrel/ombrel.plist"));
    for (const char* ignored : {"", "relative/config"}) {
        env.set("XDG_CONFIG_HOME", ignored);
        EXPECT_EQ(omb::preferences_path(), fs::path("/home/performer/.config/ombrel/ombrel.plist")) << ignored;
    }
    env.set("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(omb::preferences_path(), fs::path("/home/performer/.config/ombrel/ombrel.plist"));
    env.set("HOME", nullptr);
    fs::path from_passwd = omb::preferences_path();
    EXPECT_TRUE(from_passwd.empty() || (from_passwd.is_absolute() &&
                                        from_passwd.string().ends_with("/.config/ombrel/ombrel.plist")))
        << from_passwd;
}

}  // namespace
