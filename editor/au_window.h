// The window of one audio unit's controls: the unit's own editor when one is registered for its component, else
// an LV2 plugin's own UI when it has one an X11 window can hold (editor/lv2_plugin_view.h), else
// the generic view ("AU Generic View"), a row per parameter element with its name, its unit, a control and its value.
//
// Threads: main thread only. The render thread is never touched: the window reads the parameters' atomic mirror
// (Unit::parameter_value) about 30 times a second, so it follows changes made from Scheme, and sends the
// performer's moves to the unit as parameter events for the start of the next buffer. It holds its unit, so it
// may close while the unit plays; when the graph drops the node it says "This node is gone" and lets go of it.
#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

#include "audio/graph.h"
#include "audio/unit.h"

class QLabel;
class QTimer;

namespace omb {

class Preferences;
class GenericUnitView;
class Lv2PluginView;

// A unit's own editor (registered, else an LV2 plugin's UI), made inside `parent`; null when it cannot be made (the generic view is shown instead).
using UnitEditorFactory = std::function<QWidget*(const std::shared_ptr<Unit>& unit, QWidget* parent)>;
// Whatever provides a kind of unit with its own editor registers it here, by component. Main thread.
void register_unit_editor(FourCC type, FourCC subtype, FourCC manufacturer, UnitEditorFactory make);

// The short text shown beside a parameter for its unit kind: "Hz", "dB", "%", ... or the kind's name.
const char* parameter_unit_text(int unit_kind);

class AUWindow : public QWidget {
    Q_OBJECT
public:
    // `floating`: stays above the editor. `force_generic`: the generic view even when the unit has its own editor.
    AUWindow(Graph& graph, int node, std::shared_ptr<Unit> unit, bool floating, bool force_generic = false);
    ~AUWindow() override;

    int node() const { return node_; }
    bool generic() const { return generic_ != nullptr; }
    bool gone() const { return gone_; }

    // Shows the unit's current values in the controls the performer is not holding, and notices a node the graph
    // no longer holds. The window's timer calls it about 30 times a second.
    void refresh();

private:
    void show_gone();

    Graph& graph_;
    const int node_;
    std::shared_ptr<Unit> unit_;  // released once the node is gone
    GenericUnitView* generic_ = nullptr;
    Lv2PluginView* plugin_ = nullptr;  // an LV2 plugin's own UI
    QWidget* content_ = nullptr;  // the generic view or the unit's own editor
    QLabel* gone_label_ = nullptr;
    QTimer* timer_ = nullptr;
    bool gone_ = false;
};

// Opens a window for the unit at `node` of the engine's graph (AUHost), or brings forward the one already open for
// it. Main thread, with a QApplication; false when there is none or the node has no unit. Windows delete
// themselves when closed.
bool open_au_window(int node, const Preferences& preferences, bool force_generic = false);
// The windows open now, oldest first; and closing them all (at quit).
std::vector<AUWindow*> au_windows();
void close_au_windows();

}  // namespace omb
