// An LV2 plugin's embeddable UI, found in lilv's data: the plugin's UIs in order, the first (best wrapped) one whose
// type an X11 window can hold and whose required features the host gives.
#include "audio/lv2_ui_info.h"

#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <algorithm>

#include "audio/lv2_world.h"
#include "audio/unit_registry.h"

namespace omb {

namespace {

// A node freed with its scope. The world's lock is held while one lives.
struct Node {
    LilvNode* node;
    Node(LilvWorld* w, const char* uri) : node(lilv_new_uri(w, uri)) {}
    ~Node() { lilv_node_free(node); }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
};

std::string path_of(const LilvNode* uri) {
    char* path = uri ? lilv_file_uri_parse(lilv_node_as_uri(uri), nullptr) : nullptr;
    if (!path) return {};
    std::string text = path;
    lilv_free(path);
    return text;
}

// The first feature the UI requires that is not given; empty when all are.
std::string missing_feature(LilvWorld* w, const LilvUI* ui) {
    Node required(w, LV2_CORE__requiredFeature);
    LilvNodes* features = lilv_world_find_nodes(w, lilv_ui_get_uri(ui), required.node, nullptr);
    std::string missing;
    const auto& given = lv2_ui_features_given();
    LILV_FOREACH (nodes, i, features) {
        const LilvNode* f = lilv_nodes_get(features, i);
        const std::string uri = lilv_node_is_uri(f) ? lilv_node_as_uri(f) : lilv_node_as_string(f);
        if (missing.empty() && std::find(given.begin(), given.end(), uri) == given.end()) missing = uri;
    }
    lilv_nodes_free(features);
    return missing;
}

std::vector<std::string> port_symbols(const LilvPlugin* plugin) {
    std::vector<std::string> symbols;
    for (uint32_t i = 0, n = lilv_plugin_get_num_ports(plugin); i < n; ++i)
        symbols.emplace_back(lilv_node_as_string(lilv_port_get_symbol(plugin, lilv_plugin_get_port_by_index(plugin, i))));
    return symbols;
}

}  // namespace

const std::vector<std::string>& lv2_ui_features_given() {
    // Idle and show are extension data, but UIs often list them as features.
    static const std::vector<std::string> given = {
        LV2_UI__parent,     LV2_UI__resize,        LV2_URID__map,        LV2_URID__unmap,
        LV2_OPTIONS__options, LV2_UI__idleInterface, LV2_UI__showInterface, LV2_UI__portMap,
        LV2_UI__noUserResize, LV2_UI__fixedSize,   LV2_UI_PREFIX "makeResident"};
    return given;
}

std::optional<Lv2UiInfo> lv2_embeddable_ui(const Unit& unit, Lv2UiSupported supported, std::string* why) {
    const ComponentDescription& d = unit.description();
    // A built-in unit is never an LV2 plugin's; asking the catalog would load the LV2 world for nothing.
    const Lv2Component* component =
        d.manufacturer == kOmbrel || d.manufacturer == kApple ? nullptr : lv2_find(d.type, d.subtype, d.manufacturer);
    if (!component) {
        *why = "it is not an LV2 plugin";
        return std::nullopt;
    }
    Lv2World& w = lv2_world();
    std::lock_guard guard(w.lock);
    const LilvPlugin* plugin = w.plugins[static_cast<size_t>(component - w.components.data())];
    Node x11(w.world, LV2_UI__X11UI);
    LilvUIs* uis = lilv_plugin_get_uis(plugin);
    std::optional<Lv2UiInfo> best;
    unsigned best_quality = 0;
    *why = "it has no UI of its own";
    LILV_FOREACH (uis, i, uis) {
        const LilvUI* ui = lilv_uis_get(uis, i);
        const std::string ui_uri = lilv_node_as_uri(lilv_ui_get_uri(ui));
        lilv_world_load_resource(w.world, lilv_ui_get_uri(ui));  // its own data files, when it has some
        const LilvNode* type = nullptr;
        const unsigned quality = lilv_ui_is_supported(ui, supported, x11.node, &type);
        if (quality == 0 || !type) {
            *why = "its UI " + ui_uri + " is of a kind an X11 window cannot hold (a Gtk or Qt 5 UI)";
            continue;
        }
        if (const std::string missing = missing_feature(w.world, ui); !missing.empty()) {
            *why = "its UI " + ui_uri + " needs " + missing + ", which Ombrel does not give";
            continue;
        }
        Lv2UiInfo info{component->uri, d.name, ui_uri, lilv_node_as_uri(type),
                       path_of(lilv_ui_get_bundle_uri(ui)), path_of(lilv_ui_get_binary_uri(ui)), {}};
        if (info.bundle_path.empty() || info.binary_path.empty()) {
            *why = "its UI " + ui_uri + " has no library file";
            continue;
        }
        if (!best || quality < best_quality) {
            best = std::move(info);
            best_quality = quality;
        }
    }
    lilv_uis_free(uis);
    if (best) {
        best->port_symbols = port_symbols(plugin);
        why->clear();
    }
    return best;
}

LV2_URID_Map* lv2_urid_map() { return lv2_world().urids.map_feature(); }
LV2_URID_Unmap* lv2_urid_unmap() { return lv2_world().urids.unmap_feature(); }

}  // namespace omb
