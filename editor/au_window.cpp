#include "editor/au_window.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <optional>
#include <tuple>

#include "app/preferences.h"
#include "audio/au_host.h"
#include "editor/lv2_plugin_view.h"

namespace omb {

namespace {

constexpr int kPollMs = 33;
constexpr int kSteps = 1000;      // slider positions of a continuous parameter
constexpr int kMaxChoices = 128;  // an indexed parameter with more values gets a slider
// A move the performer made waits this long for the render thread to apply it before the control shows the
// unit's value again (the engine may not be rendering at all).
constexpr std::chrono::milliseconds kPendingFor{300};

using Component = std::tuple<FourCC, FourCC, FourCC>;

std::map<Component, UnitEditorFactory>& editor_factories() {
    static std::map<Component, UnitEditorFactory> factories;
    return factories;
}

const UnitEditorFactory* own_editor(const Unit& unit) {
    const ComponentDescription& d = unit.description();
    auto it = editor_factories().find({d.type, d.subtype, d.manufacturer});
    return it == editor_factories().end() ? nullptr : &it->second;
}

std::vector<AUWindow*>& registry() {
    static std::vector<AUWindow*> windows;
    return windows;
}

bool integral(const ParameterInfo& p) {
    return (p.unit == kUnitIndexed || p.unit == kUnitMIDINoteNumber || p.unit == kUnitMIDIController) &&
           p.max - p.min <= 100000;
}

// Frequencies are heard in octaves, so their sliders move in them.
bool logarithmic(const ParameterInfo& p) { return p.unit == kUnitHertz && p.min > 0 && p.max > p.min; }

int slider_position(const ParameterInfo& p, float v) {
    if (integral(p)) return static_cast<int>(std::lround(v));
    if (!(p.max > p.min)) return 0;
    const double t = logarithmic(p) ? std::log(v / p.min) / std::log(p.max / p.min) : (v - p.min) / (p.max - p.min);
    return static_cast<int>(std::lround(std::clamp(t, 0.0, 1.0) * kSteps));
}

float slider_value(const ParameterInfo& p, int position) {
    if (integral(p)) return static_cast<float>(position);
    const double t = static_cast<double>(position) / kSteps;
    const double v = logarithmic(p) ? p.min * std::pow(double(p.max) / p.min, t) : p.min + t * (p.max - p.min);
    return std::clamp(static_cast<float>(v), p.min, p.max);
}

QString value_text(const ParameterInfo& p, float v) {
    if (integral(p) || p.unit == kUnitBoolean) return QString::number(std::lround(v));
    const float a = std::fabs(v);
    return QString::number(v, 'f', a >= 1000 ? 0 : a >= 100 ? 1 : a >= 1 ? 2 : 3);
}

QString row_name(const ParameterInfo& p, int element) {
    QString name = QString::fromStdString(p.name);
    if (p.scope == kScopeInput) return name + QStringLiteral(" (input %1)").arg(element);
    if (p.scope == kScopeOutput) return name + QStringLiteral(" (output %1)").arg(element);
    if (p.elements > 1) return name + QStringLiteral(" (element %1)").arg(element);
    return name;
}

bool same_value(float a, float b) { return std::fabs(a - b) <= 1e-5f * std::max(1.0f, std::fabs(b)); }

}  // namespace

void register_unit_editor(FourCC type, FourCC subtype, FourCC manufacturer, UnitEditorFactory make) {
    editor_factories()[{type, subtype, manufacturer}] = std::move(make);
}

const char* parameter_unit_text(int unit_kind) {
    static const char* const texts[] = {
        "Generic", "Indexed", "Boolean", "%",         "s",     "samples", "°",         "Rate",  "Hz",
        "cents",   "semitones", "note",  "MIDI CC",   "dB",    "gain",    "°",         "Crossfade", "Fader",
        "Pan",     "m",       "cents",   "octaves",   "BPM",   "beats",   "ms",        "Ratio", "Custom",
    };
    return unit_kind >= 0 && unit_kind < static_cast<int>(std::size(texts)) ? texts[unit_kind] : "";
}

// ---- the generic view ------------------------------------------------------------------------------------------

// One row per parameter element; each row has exactly one control.
class GenericUnitView : public QWidget {
public:
    explicit GenericUnitView(std::shared_ptr<Unit> unit) : unit_(std::move(unit)) {
        auto* grid = new QGridLayout(this);
        grid->setColumnStretch(2, 1);
        for (const ParameterInfo& p : unit_->parameters())
            for (int e = 0; e < std::max(1, p.elements); ++e) add_row(*grid, p, e);
        if (rows_.empty()) grid->addWidget(new QLabel(tr("This unit has no parameters"), this), 0, 0);
        grid->setRowStretch(static_cast<int>(rows_.size()), 1);
    }

    void refresh() {
        if (!unit_) return;
        const auto now = std::chrono::steady_clock::now();
        for (Row& row : rows_) {
            const float v = unit_->parameter_value(row.info.id, row.info.scope, row.element);
            if (row.pending) {
                if (!same_value(v, *row.pending) && now - row.sent < kPendingFor) continue;
                row.pending.reset();
            }
            if (held(row) || (row.shown && same_value(v, *row.shown))) continue;
            show_value(row, v);
        }
    }

    void let_go() {
        unit_.reset();
        setEnabled(false);
    }

private:
    struct Row {
        ParameterInfo info;
        int element = 0;
        QSlider* slider = nullptr;
        QComboBox* combo = nullptr;
        QCheckBox* check = nullptr;
        QLabel* value = nullptr;
        std::optional<float> shown, pending;
        std::chrono::steady_clock::time_point sent;
    };

    void add_row(QGridLayout& grid, const ParameterInfo& p, int element) {
        const int r = static_cast<int>(rows_.size());
        Row& row = rows_.emplace_back();
        row.info = p;
        row.element = element;
        grid.addWidget(new QLabel(row_name(p, element), this), r, 0);
        grid.addWidget(new QLabel(QString::fromUtf8(parameter_unit_text(p.unit)), this), r, 1);
        grid.addWidget(make_control(row, r), r, 2);
        row.value = new QLabel(this);
        row.value->setMinimumWidth(70);
        row.value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        grid.addWidget(row.value, r, 3);
        show_value(row, unit_->parameter_value(p.id, p.scope, element));
    }

    // Rows are only appended while building, so the index stays good for the connections below.
    QWidget* make_control(Row& row, int index) {
        const ParameterInfo& p = row.info;
        const QString name = QStringLiteral("%1/%2/%3").arg(p.id).arg(p.scope).arg(row.element);
        QWidget* control;
        if (p.unit == kUnitBoolean) {
            row.check = new QCheckBox(this);
            connect(row.check, &QCheckBox::toggled, this, [this, index](bool on) {
                Row& r = rows_[size_t(index)];
                send(r, on ? r.info.max : r.info.min);
            });
            control = row.check;
        } else if (p.unit == kUnitIndexed && integral(p) && p.max - p.min < kMaxChoices) {
            row.combo = new QComboBox(this);
            for (long v = std::lround(std::ceil(p.min)); v <= std::lround(std::floor(p.max)); ++v)
                row.combo->addItem(QString::number(v), static_cast<int>(v));
            connect(row.combo, &QComboBox::currentIndexChanged, this, [this, index](int i) {
                Row& r = rows_[size_t(index)];
                send(r, static_cast<float>(r.combo->itemData(i).toInt()));
            });
            control = row.combo;
        } else {
            row.slider = new QSlider(Qt::Horizontal, this);
            row.slider->setMinimumWidth(200);
            if (integral(p)) row.slider->setRange(static_cast<int>(std::ceil(p.min)), static_cast<int>(std::floor(p.max)));
            else row.slider->setRange(0, kSteps);
            connect(row.slider, &QSlider::valueChanged, this, [this, index](int position) {
                Row& r = rows_[size_t(index)];
                send(r, slider_value(r.info, position));
            });
            control = row.slider;
        }
        control->setObjectName(name);
        return control;
    }

    static bool held(const Row& row) {
        return (row.slider && row.slider->isSliderDown()) || (row.combo && row.combo->view()->isVisible());
    }

    void show_value(Row& row, float v) {
        row.shown = v;
        row.value->setText(value_text(row.info, v));
        if (row.slider) {
            QSignalBlocker quiet(row.slider);
            row.slider->setValue(slider_position(row.info, v));
        } else if (row.combo) {
            QSignalBlocker quiet(row.combo);
            row.combo->setCurrentIndex(row.combo->findData(static_cast<int>(std::lround(v))));
        } else if (row.check) {
            QSignalBlocker quiet(row.check);
            row.check->setChecked(v != 0);
        }
    }

    // At the start of the next buffer, so the performer hears the move at once.
    void send(Row& row, float v) {
        if (!unit_) return;
        UnitEvent e;
        e.kind = UnitEvent::Kind::parameter;
        e.parameter = {row.info.id, row.info.scope, row.element, v};
        AUHost::place(e, static_cast<int64_t>(AUHost::TIME.load()));
        if (!unit_->post(e)) return;  // queue full: the next refresh shows what the unit really has
        row.pending = v;
        row.sent = std::chrono::steady_clock::now();
        row.shown = v;
        row.value->setText(value_text(row.info, v));
    }

    std::shared_ptr<Unit> unit_;
    std::vector<Row> rows_;
};

// ---- the window ------------------------------------------------------------------------------------------------

AUWindow::AUWindow(Graph& graph, int node, std::shared_ptr<Unit> unit, bool floating, bool force_generic)
    : graph_(graph), node_(node), unit_(std::move(unit)) {
    auto* layout = new QVBoxLayout(this);
    gone_label_ = new QLabel(tr("This node is gone"), this);
    gone_label_->setObjectName("gone");
    gone_label_->hide();
    layout->addWidget(gone_label_);

    const UnitEditorFactory* make = force_generic ? nullptr : own_editor(*unit_);
    if (make) content_ = (*make)(unit_, this);
    else if (!force_generic) content_ = plugin_ = Lv2PluginView::make(unit_, node_, this);
    if (content_) {
        setWindowTitle(QString::fromStdString(unit_->description().name));
        layout->addWidget(content_);
        layout->setSizeConstraint(QLayout::SetFixedSize);  // the window follows the editor's size
    } else {
        setWindowTitle(QStringLiteral("AU Generic View"));
        generic_ = new GenericUnitView(unit_);
        auto* scroll = new QScrollArea(this);
        scroll->setWidget(generic_);
        scroll->setWidgetResizable(true);
        layout->addWidget(scroll);
        content_ = generic_;
        // Wide enough for every row (past the scroll bar), at most 600 high: longer lists scroll.
        generic_->ensurePolished();
        const QSize rows = generic_->sizeHint();
        resize(rows.width() + 60, std::min(600, rows.height() + 40));
        // A light tint of (0.2, 0.5, 0.9) over the usual background marks the window as a unit's.
        QPalette tinted = palette();
        const QColor base = tinted.color(QPalette::Window);
        tinted.setColor(QPalette::Window, QColor::fromRgbF(0.9f * base.redF() + 0.02f, 0.9f * base.greenF() + 0.05f,
                                                           0.9f * base.blueF() + 0.09f));
        setPalette(tinted);
        setAutoFillBackground(true);
    }
    setWindowFlag(Qt::WindowStaysOnTopHint, floating);

    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, &AUWindow::refresh);
    timer_->start(kPollMs);
    registry().push_back(this);
}

AUWindow::~AUWindow() {
    std::erase(registry(), this);
    if (plugin_) plugin_->let_go();  // before any native window goes: the plugin's UI destroys its own child of ours
}

void AUWindow::refresh() {
    if (gone_) return;
    if (graph_.unit(node_) != unit_) {
        show_gone();
        return;
    }
    if (generic_) generic_->refresh();
}

void AUWindow::show_gone() {
    gone_ = true;
    timer_->stop();
    gone_label_->show();
    if (generic_) generic_->let_go();
    if (plugin_) plugin_->let_go();
    content_->setEnabled(false);
    unit_.reset();  // a removed unit (and what it loaded) need not live as long as its window
}

bool open_au_window(int node, const Preferences& preferences, bool force_generic) {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app || QThread::currentThread() != app->thread()) return false;
    Graph& graph = AUHost::singleton().graph();
    std::shared_ptr<Unit> unit = graph.unit(node);
    if (!unit) return false;
    const bool generic = force_generic || !(own_editor(*unit) || Lv2PluginView::available(*unit));
    AUWindow* window = nullptr;
    for (AUWindow* w : registry())
        if (w->node() == node && !w->gone() && w->generic() == generic) window = w;
    if (!window) {
        window = new AUWindow(graph, node, std::move(unit), preferences.floating_auview(), force_generic);
        window->setAttribute(Qt::WA_DeleteOnClose);
    }
    window->show();
    window->raise();
    window->activateWindow();
    return true;
}

std::vector<AUWindow*> au_windows() { return registry(); }

void close_au_windows() {
    for (AUWindow* w : au_windows()) w->close();
}

}  // namespace omb
