// An LV2 plugin's own X11 UI, hosted through suil in a native child window of the unit window.
//
// Threads: main thread only. The UI never touches the plugin's instances (they belong to the render thread): its
// writes become parameter events for the start of the next buffer, exactly like the generic view's moves, and it
// hears the unit's values (inputs and outputs) from the parameters' atomic mirror, polled about 30 times a second
// with the UI's idle call. The UI is freed when the view goes, or earlier by let_go() when the node is gone.
#pragma once

#include <QWidget>

#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/ui/ui.h>

#include <chrono>
#include <memory>
#include <set>
#include <vector>

#include "audio/lv2_ui_info.h"
#include "audio/unit.h"

struct SuilHostImpl;
struct SuilInstanceImpl;
class QTimer;

namespace omb {

class Lv2PluginView : public QWidget {
    Q_OBJECT
public:
    // Whether the unit is an LV2 plugin's with a UI this view can embed (no UI code is loaded to find out).
    static bool available(const Unit& unit);
    // The view of the unit at `node`, inside `parent`; null when the unit has no embeddable UI, or with a log line
    // saying why when its UI does not load (the caller then shows the generic view).
    static Lv2PluginView* make(const std::shared_ptr<Unit>& unit, int node, QWidget* parent);
    ~Lv2PluginView() override;

    // Frees the UI and lets go of the unit: the node is gone, or the window is closing.
    void let_go();
    bool loaded() const { return instance_ != nullptr; }

private:
    Lv2PluginView(std::shared_ptr<Unit> unit, int node, Lv2UiInfo info, QWidget* parent);
    bool load(std::string* error);
    void tick();
    void tell(uint32_t port, float value);
    void write(uint32_t port, uint32_t size, uint32_t format, const void* buffer);
    uint32_t index_of(const char* symbol) const;

    std::shared_ptr<Unit> unit_;
    const int node_;
    const Lv2UiInfo info_;
    SuilHostImpl* host_ = nullptr;
    SuilInstanceImpl* instance_ = nullptr;
    const LV2UI_Idle_Interface* idle_ = nullptr;
    const LV2UI_Show_Interface* show_ = nullptr;
    QTimer* timer_ = nullptr;
    std::vector<float> told_;  // by port index: the value the UI last heard or wrote; NaN before the first
    std::vector<std::chrono::steady_clock::time_point> written_;  // by port index: when the UI last wrote it
    std::set<uint32_t> refused_ports_;  // writes the log has named, so a UI that keeps writing is named once
    // What the UI is given; it may keep pointers to all of it until it is freed.
    float update_rate_ = 30, sample_rate_ = 48000;
    LV2UI_Resize resize_{};
    std::vector<LV2_Options_Option> options_;
    std::vector<LV2_Feature> features_;
    std::vector<const LV2_Feature*> feature_list_;
};

}  // namespace omb
