// The LV2 plugins installed on this machine as audio-unit components: found on first use (never while the program
// starts), each under three four-character codes derived from its URI, and made into units of the graph.
//
// Codes: the type follows the plugin's class ("aumu" instruments, "augn" generators, "aumx" mixers, "aufx" the
// rest); the subtype is a hash of the plugin's URI and the manufacturer a hash of the URI's authority (its host, or
// its scheme-specific part up to the first '/' or '#'), each written with the 36 characters a-z and 0-9. Should two
// plugins of one type and manufacturer hash to one subtype, the one whose URI sorts later takes the hash of its URI
// followed by "#1" (then "#2", ...). The same URIs give the same codes on every run and every machine.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "audio/unit.h"

namespace omb {

struct Lv2Component {
    ComponentDescription description;  // the plugin's name
    std::string uri;
    std::string unavailable;  // why it is never made (a feature or a port it needs that we lack); empty when usable
};

// Every installed plugin, sorted by URI. The first call loads the LV2 world (LV2_PATH, or the usual folders) and
// the others wait for it; any thread but the render thread.
const std::vector<Lv2Component>& lv2_components();
const Lv2Component* lv2_find(FourCC type, FourCC subtype, FourCC manufacturer);
const Lv2Component* lv2_find(const std::string& uri);

// A unit of the plugin with `channels` channels on each bus, instantiated for the given format (so that a plugin
// whose library does not load is refused here); null with the reason when it cannot be made.
std::unique_ptr<Unit> lv2_make_unit(const Lv2Component& component, int channels, double sample_rate,
                                    uint32_t max_frames, std::string* error);

// The presets a plugin's bundles bring, as (label, URI), sorted by label; none for a unit that is not a plugin's.
std::vector<std::pair<std::string, std::string>> lv2_presets(const Unit& unit);
// Sets the port values of one of those presets on the unit, as parameter changes in the buffer that starts at sample
// time `window`; false with the reason when it is not one of them.
bool lv2_load_preset(Unit& unit, const std::string& preset_uri, int64_t window, std::string* error);

// The code `text` hashes to, salted by a collision count (0 for the first choice).
FourCC lv2_code(const std::string& text, int salt);

}  // namespace omb
