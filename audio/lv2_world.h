// The LV2 world the catalog and the LV2 units share: lilv's data, the nodes they ask about, the URID map, and the
// lock that every lilv call outside a unit's run takes (lilv's world is not thread-safe). Only the two files that
// wrap lilv include this.
#pragma once

#include <lilv/lilv.h>
#include <lv2/urid/urid.h>

#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "audio/lv2_catalog.h"

namespace omb {

// URIDs for every plugin of the process. Plugins map while they are made and restored, rarely in run(): a lock is
// enough, and a URID once given is never taken back.
class Lv2Urids {
public:
    LV2_URID map(const char* uri);
    const char* unmap(LV2_URID urid);
    LV2_URID_Map* map_feature() { return &map_; }
    LV2_URID_Unmap* unmap_feature() { return &unmap_; }

private:
    std::mutex lock_;
    std::unordered_map<std::string, LV2_URID> ids_;
    std::deque<std::string> uris_;  // URID n is uris_[n - 1]; a deque never moves what it holds
    LV2_URID_Map map_{this, [](LV2_URID_Map_Handle h, const char* uri) { return static_cast<Lv2Urids*>(h)->map(uri); }};
    LV2_URID_Unmap unmap_{this, [](LV2_URID_Unmap_Handle h, LV2_URID id) {
                              return static_cast<Lv2Urids*>(h)->unmap(id);
                          }};
};

struct Lv2Nodes {
    LilvNode *audio_port, *control_port, *atom_port, *cv_port, *input_port, *output_port;
    LilvNode *midi_event, *atom_sequence, *connection_optional, *minimum_size;
    LilvNode *instrument_class, *generator_class, *oscillator_class, *constant_class, *mixer_class;
    LilvNode *units_unit, *units_symbol, *toggled, *integer, *enumeration, *sample_rate;
    LilvNode *preset_class, *rdfs_label, *worker_interface, *hard_rt_capable;
};

struct Lv2World {
    // Every lilv call on the world, its plugins and nodes; recursive, as a unit freed under it takes it again.
    std::recursive_mutex lock;
    LilvWorld* world = nullptr;
    Lv2Nodes nodes{};
    Lv2Urids urids;
    std::vector<Lv2Component> components;    // sorted by URI
    std::vector<const LilvPlugin*> plugins;  // plugins[i] is components[i]'s
    std::set<std::string> told_not_hard_rt;  // the plugins the log has named as such
};

// Loaded on the first call, never freed: units made from it may live until the process ends.
Lv2World& lv2_world();

// Made by the unit's own file; the world's lock is held by the caller.
std::unique_ptr<Unit> make_lv2_unit(Lv2World& world, const LilvPlugin* plugin, const Lv2Component& component,
                                    int channels, double sample_rate, uint32_t max_frames, std::string* error);

}  // namespace omb
