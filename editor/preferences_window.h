// The preferences window: edits the "preferences_key" dict of the program's preferences (colours, the dark or
// light colour set, font size, audio frames, reaper time, OSC port, expression highlighting, floating unit windows).
//
// Nothing reaches the document until OK or Apply, which write the values and call on_changed (the application
// restyles and saves); Cancel forgets them. Numbers outside a preference's range cannot be entered. Settings read
// only at start carry the line "Takes effect when Ombrel restarts". Main thread.
#pragma once

#include <QDialog>

#include <functional>
#include <map>
#include <string>

#include "app/preferences.h"

class QCheckBox;
class QDoubleSpinBox;
class QFormLayout;
class QGridLayout;
class QPushButton;
class QSpinBox;

namespace omb {

class PreferencesWindow : public QDialog {
    Q_OBJECT
public:
    PreferencesWindow(Preferences& preferences, std::function<void()> on_changed, QWidget* parent = nullptr);

    // Shows the document's values, dropping what was not applied (done on construction; again before reopening).
    void load();
    // Writes the values into the document, then calls on_changed.
    void apply();

    // A colour as the window holds it (applied or not); setting one is what its colour button does.
    Colour colour(const std::string& key) const;
    void set_colour(const std::string& key, Colour colour);
    // Takes every colour of the document's "dark_colourset" (or "light_colourset").
    void use_colour_set(bool dark);

private:
    void add_colours(QGridLayout& grid);
    void add_settings(QFormLayout& form);
    void choose_colour(const std::string& key);

    Preferences& preferences_;
    std::function<void()> on_changed_;
    std::map<std::string, Colour> colours_;
    std::map<std::string, QPushButton*> colour_buttons_;
    QSpinBox* audio_frames_ = nullptr;
    QSpinBox* osc_port_ = nullptr;
    QDoubleSpinBox* font_size_ = nullptr;
    QDoubleSpinBox* reaper_time_ = nullptr;
    QCheckBox* reap_callbacks_ = nullptr;
    QCheckBox* expr_highlight_ = nullptr;
    QCheckBox* floating_auview_ = nullptr;
    // The real values as the spin boxes showed them on loading: unchanged ones are not rewritten rounded.
    double loaded_font_size_ = 0, loaded_reaper_time_ = 0;
};

}  // namespace omb
