#include "editor/preferences_window.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace omb {

namespace {

struct ColourKey {
    const char* key;
    const char* label;
};

constexpr ColourKey kColours[] = {
    {"editor_bg", "Editor background"},
    {"editor_fg", "Text"},
    {"editor_hl", "Expression under the cursor"},
    {"eval_hl", "Evaluated expression"},
    {"editor_selection", "Selection"},
    {"editor_string", "Strings"},
    {"editor_comments", "Comments"},
    {"editor_number", "Numbers"},
    {"editor_scheme_colour", "Language keywords"},
    {"editor_omb_colour", "Library names"},
    {"def_sym_colour", "Defined names"},
    {"output_text", "Log output"},
    {"error_fg", "Log errors"},
    {"error_bg", "Log errors, background"},
    {"note_fg", "Log notifications"},
    {"note_bg", "Log notifications, background"},
};

const QString kRestart = QStringLiteral("Takes effect when Ombrel restarts");

QColor to_qcolor(Colour c) { return QColor::fromRgbF(float(c.r), float(c.g), float(c.b), float(c.a)); }

Colour from_qcolor(const QColor& q) {
    float r, g, b, a;
    q.getRgbF(&r, &g, &b, &a);
    return {r, g, b, a};
}

QIcon swatch(Colour c) {
    QPixmap pixmap(32, 16);
    pixmap.fill(to_qcolor(c));
    return QIcon(pixmap);
}

// A control with the restart line beside it.
QWidget* with_restart_note(QWidget* control, QWidget* parent) {
    auto* box = new QWidget(parent);
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(control);
    auto* note = new QLabel(kRestart, box);
    note->setEnabled(false);  // drawn greyed: a remark, not a setting
    row->addWidget(note, 1);
    return box;
}

}  // namespace

PreferencesWindow::PreferencesWindow(Preferences& preferences, std::function<void()> on_changed, QWidget* parent)
    : QDialog(parent), preferences_(preferences), on_changed_(std::move(on_changed)) {
    setWindowTitle(tr("Preferences"));
    auto* layout = new QVBoxLayout(this);

    auto* colours = new QGroupBox(tr("Colours"), this);
    auto* grid = new QGridLayout(colours);
    add_colours(*grid);
    layout->addWidget(colours);

    auto* settings = new QGroupBox(tr("Settings"), this);
    auto* form = new QFormLayout(settings);
    add_settings(*form);
    layout->addWidget(settings);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Apply | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        apply();
        accept();
    });
    connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, &PreferencesWindow::apply);
    connect(buttons, &QDialogButtonBox::rejected, this, [this] {
        load();
        reject();
    });
    layout->addWidget(buttons);
    load();
}

void PreferencesWindow::add_colours(QGridLayout& grid) {
    constexpr int kPerColumn = (std::size(kColours) + 1) / 2;
    int i = 0;
    for (const ColourKey& c : kColours) {
        auto* button = new QPushButton(this);
        button->setObjectName(c.key);
        button->setToolTip(tr(c.label));
        connect(button, &QPushButton::clicked, this, [this, key = std::string(c.key)] { choose_colour(key); });
        colour_buttons_[c.key] = button;
        const int column = (i / kPerColumn) * 2;
        grid.addWidget(new QLabel(tr(c.label), this), i % kPerColumn, column);
        grid.addWidget(button, i % kPerColumn, column + 1);
        ++i;
    }
    auto* sets = new QHBoxLayout;
    auto* dark = new QPushButton(tr("Dark colours"), this);
    auto* light = new QPushButton(tr("Light colours"), this);
    dark->setObjectName("dark_colourset");
    light->setObjectName("light_colourset");
    connect(dark, &QPushButton::clicked, this, [this] { use_colour_set(true); });
    connect(light, &QPushButton::clicked, this, [this] { use_colour_set(false); });
    sets->addWidget(dark);
    sets->addWidget(light);
    sets->addStretch(1);
    grid.addLayout(sets, kPerColumn, 0, 1, 4);
}

void PreferencesWindow::add_settings(QFormLayout& form) {
    // Ranges are the ones the preferences accept on loading.
    font_size_ = new QDoubleSpinBox(this);
    font_size_->setObjectName("font_size");
    font_size_->setRange(4, 288);
    font_size_->setDecimals(1);
    form.addRow(tr("Font size"), font_size_);

    expr_highlight_ = new QCheckBox(tr("Highlight the expression under the cursor"), this);
    expr_highlight_->setObjectName("expr_highlight");
    form.addRow(expr_highlight_);

    floating_auview_ = new QCheckBox(tr("Audio unit windows float above the editor"), this);
    floating_auview_->setObjectName("floating_auview");
    form.addRow(floating_auview_);

    audio_frames_ = new QSpinBox(this);
    audio_frames_->setObjectName("audio_frames");
    audio_frames_->setRange(16, 8192);
    form.addRow(tr("Audio frames per buffer"), with_restart_note(audio_frames_, this));

    reaper_time_ = new QDoubleSpinBox(this);
    reaper_time_->setObjectName("reaper_time");
    reaper_time_->setRange(0, 3600);
    reaper_time_->setDecimals(3);
    reaper_time_->setSuffix(tr(" s"));
    form.addRow(tr("Reap tasks late by"), with_restart_note(reaper_time_, this));

    reap_callbacks_ = new QCheckBox(tr("Reap late Scheme callbacks too"), this);
    reap_callbacks_->setObjectName("reap_callbacks");
    form.addRow(with_restart_note(reap_callbacks_, this));

    osc_port_ = new QSpinBox(this);
    osc_port_->setObjectName("osc_port");
    osc_port_->setRange(1025, 65535);
    form.addRow(tr("OSC port"), with_restart_note(osc_port_, this));
}

void PreferencesWindow::load() {
    for (const ColourKey& c : kColours) set_colour(c.key, preferences_.colour(c.key));
    font_size_->setValue(preferences_.font_size());
    expr_highlight_->setChecked(preferences_.expr_highlight());
    floating_auview_->setChecked(preferences_.floating_auview());
    audio_frames_->setValue(preferences_.audio_frames());
    reaper_time_->setValue(preferences_.reaper_time());
    reap_callbacks_->setChecked(preferences_.reap_callbacks());
    osc_port_->setValue(preferences_.osc_port());
    loaded_font_size_ = font_size_->value();
    loaded_reaper_time_ = reaper_time_->value();
}

void PreferencesWindow::apply() {
    plist::Dict& d = *preferences_.preferences().as_dict();
    for (const auto& [key, colour] : colours_) d.set(key, colour_value(colour));
    if (font_size_->value() != loaded_font_size_) d.set("font_size", font_size_->value());
    if (reaper_time_->value() != loaded_reaper_time_) d.set("reaper_time", reaper_time_->value());
    d.set("expr_highlight", expr_highlight_->isChecked());
    d.set("floating_auview", floating_auview_->isChecked());
    d.set("reap_callbacks", reap_callbacks_->isChecked());
    d.set("audio_frames", audio_frames_->value());
    d.set("osc_port", osc_port_->value());
    loaded_font_size_ = font_size_->value();
    loaded_reaper_time_ = reaper_time_->value();
    if (on_changed_) on_changed_();
}

Colour PreferencesWindow::colour(const std::string& key) const {
    auto it = colours_.find(key);
    return it == colours_.end() ? Colour{0, 0, 0, 1} : it->second;
}

void PreferencesWindow::set_colour(const std::string& key, Colour colour) {
    auto button = colour_buttons_.find(key);
    if (button == colour_buttons_.end()) return;  // not a colour this window edits
    colours_[key] = colour;
    button->second->setIcon(swatch(colour));
}

void PreferencesWindow::use_colour_set(bool dark) {
    const plist::Value* set = preferences_.preferences().find(dark ? "dark_colourset" : "light_colourset");
    if (!set) return;
    for (const ColourKey& c : kColours)
        if (const plist::Value* v = set->find(c.key))
            if (auto colour = colour_from(*v)) set_colour(c.key, *colour);
}

void PreferencesWindow::choose_colour(const std::string& key) {
    const QString label = colour_buttons_.at(key)->toolTip();
    const QColor chosen =
        QColorDialog::getColor(to_qcolor(colour(key)), this, label, QColorDialog::ShowAlphaChannel);
    if (chosen.isValid()) set_colour(key, from_qcolor(chosen));
}

}  // namespace omb
