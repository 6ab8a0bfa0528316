// What a host needs to embed an LV2 plugin's own UI in an X11 window: which UI, where its code is, the names of the
// plugin's ports, and the process's URID map. Lilv's data only: no UI code is loaded here (the editor does that).
//
// Threads: any thread but the render thread; every lilv call takes the LV2 world's lock.
#pragma once

#include <lv2/urid/urid.h>

#include <optional>
#include <string>
#include <vector>

#include "audio/unit.h"

namespace omb {

struct Lv2UiInfo {
    std::string plugin_uri;
    std::string plugin_name;
    std::string ui_uri;
    std::string ui_type_uri;  // the UI's own widget type (X11 UI, or one the wrapper can embed in X11)
    std::string bundle_path;  // a directory, ending in '/'
    std::string binary_path;
    std::vector<std::string> port_symbols;  // by port index
};

// Whether a wrapper can embed a UI of type `ui_type` in a container of type `host_type`: 0 when it cannot, else
// the quality (1 best). The editor passes suil's, which this module does not link.
using Lv2UiSupported = unsigned (*)(const char* host_type, const char* ui_type);

// The plugin UI of `unit` that can be embedded in an X11 window, the best one when it has several. None, with the
// reason in `why`, when the unit is not an LV2 plugin's, the plugin has no such UI, or the UI requires a feature
// the host does not give (instance and data access are never given: the unit's instances belong to the render
// thread).
std::optional<Lv2UiInfo> lv2_embeddable_ui(const Unit& unit, Lv2UiSupported supported, std::string* why);

// The features a plugin UI may ask for that the host gives (besides what the wrapper adds itself).
const std::vector<std::string>& lv2_ui_features_given();

// The URID map and unmap every plugin and UI of the process shares.
LV2_URID_Map* lv2_urid_map();
LV2_URID_Unmap* lv2_urid_unmap();

}  // namespace omb
