// The LV2 plugin view: suil loads the UI (an X11 UI needs no wrapping: it makes a child of our native window), and
// this widget stands between it and the unit.
#include "editor/lv2_plugin_view.h"

#include <QGuiApplication>
#include <QTimer>

#include <lv2/atom/atom.h>
#include <lv2/parameters/parameters.h>
#include <lv2/urid/urid.h>
#include <suil/suil.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "audio/au_host.h"
#include "editor/x11_errors.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"

namespace omb {

namespace {

constexpr int kTickMs = 33;
// What the UI wrote waits this long for the render thread to apply it before the UI hears the unit's value again
// (the engine may not be rendering at all); meanwhile the UI's control does not jump back.
constexpr std::chrono::milliseconds kPendingFor{300};
constexpr QSize kPreferredSize{400, 300};  // until the UI asks for its own size

bool x11() { return QGuiApplication::platformName() == QLatin1String("xcb"); }

}  // namespace

bool Lv2PluginView::available(const Unit& unit) {
    std::string why;
    return x11() && lv2_embeddable_ui(unit, suil_ui_supported, &why).has_value();
}

Lv2PluginView* Lv2PluginView::make(const std::shared_ptr<Unit>& unit, int node, QWidget* parent) {
    const char* name = unit->description().name.c_str();
    std::string why;
    std::optional<Lv2UiInfo> info = lv2_embeddable_ui(*unit, suil_ui_supported, &why);
    if (!info) {
        devlog("No plugin UI for %s: %s", name, why.c_str());
        // A performer who expected the plugin's own window is told why the sliders came instead.
        if (why.rfind("its UI", 0) == 0)
            CPPBridge::notification("The LV2 plugin %s shows the generic view: %s", name, why.c_str());
        return nullptr;
    }
    if (!x11()) {
        CPPBridge::notification("The LV2 plugin %s shows the generic view: its UI needs an X11 display", name);
        return nullptr;
    }
    auto* view = new Lv2PluginView(unit, node, std::move(*info), parent);
    std::string error;
    if (view->load(&error)) return view;
    CPPBridge::notification("The UI of the LV2 plugin %s did not load (%s): the generic view is shown", name,
                            error.c_str());
    delete view;
    return nullptr;
}

Lv2PluginView::Lv2PluginView(std::shared_ptr<Unit> unit, int node, Lv2UiInfo info, QWidget* parent)
    : QWidget(parent), unit_(std::move(unit)), node_(node), info_(std::move(info)) {
    setFixedSize(kPreferredSize);
}

Lv2PluginView::~Lv2PluginView() { let_go(); }

bool Lv2PluginView::load(std::string* error) {
    // The UI makes its window a child of ours, so ours must exist in the X server first.
    setAttribute(Qt::WA_NativeWindow);
    const WId parent_window = winId();

    survive_x_errors();
    LV2_URID_Map* map = lv2_urid_map();
    const LV2_URID float_type = map->map(map->handle, LV2_ATOM__Float);
    if (unit_->sample_rate() > 0) sample_rate_ = static_cast<float>(unit_->sample_rate());
    options_ = {{LV2_OPTIONS_INSTANCE, 0, map->map(map->handle, LV2_UI__updateRate), sizeof(float), float_type,
                 &update_rate_},
                {LV2_OPTIONS_INSTANCE, 0, map->map(map->handle, LV2_PARAMETERS__sampleRate), sizeof(float), float_type,
                 &sample_rate_},
                {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
    resize_ = {this, [](LV2UI_Feature_Handle h, int width, int height) {
                   if (width <= 0 || height <= 0) return 1;
                   static_cast<Lv2PluginView*>(h)->setFixedSize(width, height);  // the window follows
                   return 0;
               }};
    features_ = {{LV2_UI__parent, reinterpret_cast<void*>(static_cast<uintptr_t>(parent_window))},
                 {LV2_UI__resize, &resize_},
                 {LV2_URID__map, map},
                 {LV2_URID__unmap, lv2_urid_unmap()},
                 {LV2_OPTIONS__options, options_.data()},
                 {LV2_UI__idleInterface, nullptr}};
    for (const LV2_Feature& f : features_) feature_list_.push_back(&f);
    feature_list_.push_back(nullptr);

    // Values are told from the first tick; the UI may write while it is made, so this is ready before.
    told_.assign(info_.port_symbols.size(), std::numeric_limits<float>::quiet_NaN());
    written_.assign(info_.port_symbols.size(), {});
    host_ = suil_host_new(
        [](SuilController c, uint32_t port, uint32_t size, uint32_t format, const void* buffer) {
            static_cast<Lv2PluginView*>(c)->write(port, size, format, buffer);
        },
        [](SuilController c, const char* symbol) { return static_cast<Lv2PluginView*>(c)->index_of(symbol); },
        nullptr, nullptr);
    instance_ = suil_instance_new(host_, this, LV2_UI__X11UI, info_.plugin_uri.c_str(), info_.ui_uri.c_str(),
                                  info_.ui_type_uri.c_str(), info_.bundle_path.c_str(), info_.binary_path.c_str(),
                                  feature_list_.data());
    if (!instance_) {
        *error = "its library " + info_.binary_path + " did not give the UI " + info_.ui_uri;
        return false;
    }
    idle_ = static_cast<const LV2UI_Idle_Interface*>(suil_instance_extension_data(instance_, LV2_UI__idleInterface));
    show_ = static_cast<const LV2UI_Show_Interface*>(suil_instance_extension_data(instance_, LV2_UI__showInterface));
    if (show_ && show_->show) show_->show(suil_instance_get_handle(instance_));
    devlog("Plugin UI %s loaded for %s", info_.ui_uri.c_str(), info_.plugin_name.c_str());

    tick();  // the UI hears every port's value at once
    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, &Lv2PluginView::tick);
    timer_->start(kTickMs);
    return true;
}

void Lv2PluginView::let_go() {
    if (timer_) timer_->stop();
    if (instance_) {
        if (show_ && show_->hide) show_->hide(suil_instance_get_handle(instance_));
        suil_instance_free(instance_);  // the UI destroys its window while ours still exists
        instance_ = nullptr;
    }
    if (host_) suil_host_free(host_);
    host_ = nullptr;
    idle_ = nullptr;
    show_ = nullptr;
    unit_.reset();
}

void Lv2PluginView::tick() {
    if (!instance_ || !unit_) return;
    if (idle_ && idle_->idle && idle_->idle(suil_instance_get_handle(instance_)) != 0) {
        idle_ = nullptr;  // the UI closed itself: so does its window
        if (QWidget* w = window()) w->close();
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    for (const ParameterInfo& p : unit_->parameters()) {
        if (p.scope != kScopeGlobal || p.id >= told_.size()) continue;
        const float v = unit_->parameter_value(p.id, kScopeGlobal, 0);
        if (!(v == told_[p.id]) && now - written_[p.id] >= kPendingFor) tell(p.id, v);
    }
}

void Lv2PluginView::tell(uint32_t port, float value) {
    told_[port] = value;
    suil_instance_port_event(instance_, port, sizeof value, 0, &value);
}

// As the generic view's moves: at the start of the next buffer.
void Lv2PluginView::write(uint32_t port, uint32_t size, uint32_t format, const void* buffer) {
    if (!unit_) return;
    const ParameterInfo* p = port < told_.size() ? unit_->parameter(port, kScopeGlobal) : nullptr;
    const ParameterTraits* traits = p ? unit_->traits(port, kScopeGlobal) : nullptr;
    if (!p || (traits && traits->output) || format != 0 || size != sizeof(float) || !buffer) {
        if (refused_ports_.insert(port).second)
            CPPBridge::error("The UI of %s wrote to its port %u, which is not a control input: ignored",
                             info_.plugin_name.c_str(), port);
        return;
    }
    float value;
    std::memcpy(&value, buffer, sizeof value);
    const float written = value;
    if (traits && traits->clamped && !(value >= p->min && value <= p->max)) {
        value = std::isnan(value) ? p->initial : std::clamp(value, p->min, p->max);
        CPPBridge::error("The UI of %s: %g is outside %g to %g for parameter %u of node %d: %g is used",
                         info_.plugin_name.c_str(), written, p->min, p->max, port, node_, value);
    }
    UnitEvent e;
    e.kind = UnitEvent::Kind::parameter;
    e.parameter = {port, kScopeGlobal, 0, value};
    AUHost::place(e, static_cast<int64_t>(AUHost::TIME.load()));
    // The UI shows what it wrote; a clamped value differs from it, so the UI hears the one used once it lands.
    if (!unit_->post(e)) return;  // queue full: the UI hears the unit's real value at the next tick
    told_[port] = written;
    written_[port] = std::chrono::steady_clock::now();
}

uint32_t Lv2PluginView::index_of(const char* symbol) const {
    for (size_t i = 0; symbol && i < info_.port_symbols.size(); ++i)
        if (info_.port_symbols[i] == symbol) return static_cast<uint32_t>(i);
    return LV2UI_INVALID_PORT_INDEX;
}

}  // namespace omb
