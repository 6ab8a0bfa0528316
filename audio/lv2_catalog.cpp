// The LV2 catalog: lilv's world loaded on first use, every plugin described as a component, and the checks that
// keep a plugin we cannot host from ever being instantiated. Discovery reads the plugins' data files only; no
// plugin code runs until a unit is made.
#include "audio/lv2_catalog.h"

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/port-props/port-props.h>
#include <lv2/presets/presets.h>
#include <lv2/resize-port/resize-port.h>
#include <lv2/state/state.h>
#include <lv2/units/units.h>
#include <lv2/worker/worker.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "audio/lv2_world.h"
#include "audio/unit_registry.h"
#include "platform/dev_log.h"

namespace omb {

LV2_URID Lv2Urids::map(const char* uri) {
    std::lock_guard guard(lock_);
    auto [it, added] = ids_.try_emplace(uri, static_cast<LV2_URID>(uris_.size() + 1));
    if (added) uris_.emplace_back(uri);
    return it->second;
}

const char* Lv2Urids::unmap(LV2_URID urid) {
    std::lock_guard guard(lock_);
    return urid >= 1 && urid <= uris_.size() ? uris_[urid - 1].c_str() : nullptr;
}

FourCC lv2_code(const std::string& text, int salt) {
    std::string key = text;
    if (salt > 0) key += "#" + std::to_string(salt);
    uint32_t hash = 2166136261u;  // FNV-1a: simple, and the same everywhere
    for (unsigned char c : key) hash = (hash ^ c) * 16777619u;
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    FourCC code = 0;
    for (int i = 0; i < 4; ++i, hash /= 36) code = (code << 8) | static_cast<uint8_t>(kAlphabet[hash % 36]);
    return code;
}

namespace {

// "http://plugin.org.uk/swh-plugins/amp" -> "plugin.org.uk"; "urn:zamaudio:ZamComp" -> "zamaudio".
std::string authority_of(const std::string& uri) {
    size_t start = uri.find("://");
    start = start == std::string::npos ? uri.find(':') + 1 : start + 3;
    const size_t end = uri.find_first_of("/#:", start);
    return uri.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

LilvNode* uri_node(LilvWorld* w, const char* uri) { return lilv_new_uri(w, uri); }

void make_nodes(LilvWorld* w, Lv2Nodes& n) {
    n.audio_port = uri_node(w, LV2_CORE__AudioPort);
    n.control_port = uri_node(w, LV2_CORE__ControlPort);
    n.atom_port = uri_node(w, LV2_ATOM__AtomPort);
    n.cv_port = uri_node(w, LV2_CORE__CVPort);
    n.input_port = uri_node(w, LV2_CORE__InputPort);
    n.output_port = uri_node(w, LV2_CORE__OutputPort);
    n.midi_event = uri_node(w, LV2_MIDI__MidiEvent);
    n.atom_sequence = uri_node(w, LV2_ATOM__Sequence);
    n.connection_optional = uri_node(w, LV2_CORE__connectionOptional);
    n.minimum_size = uri_node(w, LV2_RESIZE_PORT__minimumSize);
    n.instrument_class = uri_node(w, LV2_CORE__InstrumentPlugin);
    n.generator_class = uri_node(w, LV2_CORE__GeneratorPlugin);
    n.oscillator_class = uri_node(w, LV2_CORE__OscillatorPlugin);
    n.constant_class = uri_node(w, LV2_CORE__ConstantPlugin);
    n.mixer_class = uri_node(w, LV2_CORE__MixerPlugin);
    n.units_unit = uri_node(w, LV2_UNITS__unit);
    n.units_symbol = uri_node(w, LV2_UNITS__symbol);
    n.toggled = uri_node(w, LV2_CORE__toggled);
    n.integer = uri_node(w, LV2_CORE__integer);
    n.enumeration = uri_node(w, LV2_CORE__enumeration);
    n.sample_rate = uri_node(w, LV2_CORE__sampleRate);
    n.preset_class = uri_node(w, LV2_PRESETS__Preset);
    n.rdfs_label = uri_node(w, "http://www.w3.org/2000/01/rdf-schema#label");
    n.worker_interface = uri_node(w, LV2_WORKER__interface);
    n.hard_rt_capable = uri_node(w, LV2_CORE__hardRTCapable);
}

// What a unit provides to plugins (see lv2_unit.cpp); a plugin needing anything else is never made.
const std::set<std::string>& provided_features() {
    static const std::set<std::string> features = {
        LV2_URID__map,        LV2_URID__unmap,          LV2_OPTIONS__options,        LV2_BUF_SIZE__boundedBlockLength,
        LV2_WORKER__schedule, LV2_STATE__loadDefaultState, LV2_CORE__isLive,         LV2_CORE__inPlaceBroken,
        LV2_CORE__hardRTCapable, "http://lv2plug.in/ns/ext/port-props#supportsStrictBounds"};
    return features;
}

struct PortCounts {
    int audio_in = 0, audio_out = 0;
    bool midi_in = false;
};

// Why the plugin cannot be hosted, or empty; counts its ports on the way.
std::string check_plugin(const Lv2Nodes& n, const LilvPlugin* p, PortCounts& counts) {
    if (!lilv_plugin_verify(p)) return "its description is incomplete or broken";
    const LilvNode* library = lilv_plugin_get_library_uri(p);
    char* path = library ? lilv_file_uri_parse(lilv_node_as_uri(library), nullptr) : nullptr;
    if (!path) return "it has no library file";
    lilv_free(path);
    LilvNodes* required = lilv_plugin_get_required_features(p);
    std::string missing;
    LILV_FOREACH (nodes, i, required) {
        const char* feature = lilv_node_as_uri(lilv_nodes_get(required, i));
        if (!provided_features().count(feature)) missing = std::string("it needs ") + feature;
    }
    lilv_nodes_free(required);
    if (!missing.empty()) return missing;
    for (uint32_t i = 0, count = lilv_plugin_get_num_ports(p); i < count; ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(p, i);
        const bool input = lilv_port_is_a(p, port, n.input_port);
        const std::string symbol = lilv_node_as_string(lilv_port_get_symbol(p, port));
        if (lilv_port_is_a(p, port, n.audio_port)) {
            ++(input ? counts.audio_in : counts.audio_out);
        } else if (lilv_port_is_a(p, port, n.atom_port)) {
            if (input && lilv_port_supports_event(p, port, n.midi_event)) counts.midi_in = true;
        } else if (!lilv_port_is_a(p, port, n.control_port) &&
                   !lilv_port_has_property(p, port, n.connection_optional)) {
            return "its port \"" + symbol + "\" is of a kind Ombrel does not host";
        }
    }
    return {};
}

bool class_is(const LilvPlugin* p, const LilvNode* wanted) {
    const LilvPluginClass* c = lilv_plugin_get_class(p);
    return lilv_node_equals(lilv_plugin_class_get_uri(c), wanted);
}

FourCC type_of(const Lv2Nodes& n, const LilvPlugin* p, const PortCounts& counts) {
    const bool makes_sound = counts.audio_out > 0 && counts.audio_in == 0;
    if (class_is(p, n.instrument_class) || (makes_sound && counts.midi_in)) return fourcc("aumu");
    if (class_is(p, n.mixer_class)) return fourcc("aumx");
    if (makes_sound || class_is(p, n.generator_class) || class_is(p, n.oscillator_class) ||
        class_is(p, n.constant_class))
        return fourcc("augn");
    return fourcc("aufx");
}

// Gives every component distinct codes, in URI order, away from the built-in units' manufacturers.
void assign_codes(std::vector<Lv2Component>& components) {
    std::set<std::tuple<FourCC, FourCC, FourCC>> taken;
    for (Lv2Component& c : components) {
        FourCC manufacturer = lv2_code(authority_of(c.uri), 0);
        for (int salt = 1; manufacturer == kOmbrel || manufacturer == kApple; ++salt)
            manufacturer = lv2_code(authority_of(c.uri), salt);
        c.description.manufacturer = manufacturer;
        for (int salt = 0;; ++salt) {
            c.description.subtype = lv2_code(c.uri, salt);
            if (taken.insert({c.description.type, c.description.subtype, manufacturer}).second) break;
        }
    }
}

Lv2World* load_world() {
    auto* w = new Lv2World;
    std::lock_guard guard(w->lock);
    w->world = lilv_world_new();
    lilv_world_load_all(w->world);  // LV2_PATH when set, else the usual folders
    make_nodes(w->world, w->nodes);
    const LilvPlugins* all = lilv_world_get_all_plugins(w->world);
    std::vector<std::pair<Lv2Component, const LilvPlugin*>> found;
    LILV_FOREACH (plugins, i, all) {
        const LilvPlugin* p = lilv_plugins_get(all, i);
        Lv2Component c;
        c.uri = lilv_node_as_uri(lilv_plugin_get_uri(p));
        LilvNode* name = lilv_plugin_get_name(p);
        c.description.name = name ? lilv_node_as_string(name) : c.uri;
        lilv_node_free(name);
        PortCounts counts;
        c.unavailable = check_plugin(w->nodes, p, counts);
        c.description.type = type_of(w->nodes, p, counts);
        found.emplace_back(std::move(c), p);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first.uri < b.first.uri; });
    for (auto& [c, p] : found) {
        w->components.push_back(std::move(c));
        w->plugins.push_back(p);
    }
    assign_codes(w->components);
    devlog("LV2: %zu plugins", w->components.size());
    return w;
}

}  // namespace

Lv2World& lv2_world() {
    static Lv2World* world = load_world();
    return *world;
}

const std::vector<Lv2Component>& lv2_components() { return lv2_world().components; }

const Lv2Component* lv2_find(FourCC type, FourCC subtype, FourCC manufacturer) {
    for (const Lv2Component& c : lv2_components())
        if (c.description.type == type && c.description.subtype == subtype &&
            c.description.manufacturer == manufacturer)
            return &c;
    return nullptr;
}

const Lv2Component* lv2_find(const std::string& uri) {
    const auto& all = lv2_components();
    auto it = std::lower_bound(all.begin(), all.end(), uri, [](const Lv2Component& c, const std::string& u) {
        return c.uri < u;
    });
    return it != all.end() && it->uri == uri ? &*it : nullptr;
}

std::unique_ptr<Unit> lv2_make_unit(const Lv2Component& component, int channels, double sample_rate,
                                    uint32_t max_frames, std::string* error) {
    if (!component.unavailable.empty()) {
        *error = component.description.name + " cannot be hosted: " + component.unavailable;
        return nullptr;
    }
    Lv2World& w = lv2_world();
    const auto index = static_cast<size_t>(&component - w.components.data());
    if (index >= w.components.size()) {
        *error = "not an installed LV2 plugin";
        return nullptr;
    }
    std::lock_guard guard(w.lock);
    return make_lv2_unit(w, w.plugins[index], component, channels, sample_rate, max_frames, error);
}

}  // namespace omb
