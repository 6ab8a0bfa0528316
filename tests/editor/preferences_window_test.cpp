// The preferences window writes into the document only on Apply, refuses numbers outside a preference's range,
// leaves untouched values exactly as they were, and takes a whole colour set.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QSpinBox>

#include <algorithm>

#include "editor/preferences_window.h"

namespace omb {
namespace {

QApplication& app() {
    static int argc = 1;
    static char name[] = "preferences_window_test";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("DISPLAY")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: Qt's own globals may be gone by the time static destructors run.
    static QApplication* instance = new QApplication(argc, argv);
    return *instance;
}

TEST(PreferencesWindow, AppliesWhatWasSetWithinRange) {
    app();
    Preferences preferences;
    preferences.preferences().as_dict()->set("reaper_time", 3.1234);  // finer than the spin box shows
    int changes = 0;
    PreferencesWindow window(preferences, [&] { ++changes; });
    const auto labels = window.findChildren<QLabel*>();
    EXPECT_EQ(std::count_if(labels.begin(), labels.end(),
                            [](QLabel* l) { return l->text() == "Takes effect when Ombrel restarts"; }),
              4);
    window.set_colour("editor_bg", {0.1, 0.2, 0.3, 1});
    window.findChild<QDoubleSpinBox*>("font_size")->setValue(18);
    window.findChild<QSpinBox*>("osc_port")->setValue(70000);
    window.findChild<QSpinBox*>("audio_frames")->setValue(5);
    EXPECT_EQ(preferences.colour("editor_bg"), (Colour{0.95, 0.95, 0.95, 0.99}));  // nothing before Apply
    EXPECT_EQ(changes, 0);

    window.apply();
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(preferences.colour("editor_bg"), (Colour{0.1, 0.2, 0.3, 1}));
    EXPECT_EQ(preferences.font_size(), 18);
    EXPECT_EQ(preferences.osc_port(), 65535);
    EXPECT_EQ(preferences.audio_frames(), 16);
    EXPECT_EQ(preferences.reaper_time(), 3.1234);
    EXPECT_EQ(preferences.colour("editor_fg"), (Colour{0, 0, 0.4, 1}));  // untouched colours keep every digit

    // What is not applied is dropped when the window loads again.
    window.set_colour("editor_bg", {1, 1, 1, 1});
    window.load();
    EXPECT_EQ(window.colour("editor_bg"), (Colour{0.1, 0.2, 0.3, 1}));
}

TEST(PreferencesWindow, ColourSetsCopyEveryColour) {
    app();
    Preferences preferences;
    PreferencesWindow window(preferences, {});
    for (bool dark : {true, false}) {
        window.use_colour_set(dark);
        window.apply();
        const plist::Value& set = *preferences.preferences().find(dark ? "dark_colourset" : "light_colourset");
        ASSERT_FALSE(set.as_dict()->empty());
        for (const auto& [key, value] : *set.as_dict()) EXPECT_EQ(preferences.colour(key), *colour_from(value)) << key;
    }
}

}  // namespace
}  // namespace omb
