// The built-in effects and the mixer: their factories, and what every one of them shares.
//
// Each effect takes one input bus with the node's channels (1 or 2) and outputs the same. Parameter ids are small
// integers from 0, in the order the unit lists them. A posted value outside a parameter's range is clamped to it; a
// value that is not finite counts as the parameter's default.
#pragma once

#include <memory>
#include <string>

#include "audio/unit.h"

namespace omb::fx {

std::unique_ptr<Unit> make_delay(const ComponentDescription& asked, int channels, std::string* error);
std::unique_ptr<Unit> make_reverb(const ComponentDescription& asked, int channels, std::string* error);
// Low-, high- or band-pass, by the subtype asked for.
std::unique_ptr<Unit> make_filter(const ComponentDescription& asked, int channels, std::string* error);
std::unique_ptr<Unit> make_compressor(const ComponentDescription& asked, int channels, std::string* error);
std::unique_ptr<Unit> make_distortion(const ComponentDescription& asked, int channels, std::string* error);
std::unique_ptr<Unit> make_gain(const ComponentDescription& asked, int channels, std::string* error);
std::unique_ptr<Unit> make_mixer(const ComponentDescription& asked, int channels, std::string* error);

// What a unit made for `asked` (an alias or its own codes) calls itself: its own codes and name.
ComponentDescription effect_description(const ComponentDescription& asked);

ParameterInfo param(uint32_t id, const char* name, int unit, float min, float max, float initial,
                        int scope = kScopeGlobal, int elements = 1);

// False, with the reason, for a channel count the units do not take (they take 1 or 2).
bool channels_supported(const ComponentDescription& asked, int channels, std::string* error);

// `value` limited to the range of `p` (see above); 0 without a parameter.
float limit(const ParameterInfo* p, float value);

// A unit with one input bus shaped like its output.
class Effect : public Unit {
protected:
    Effect(ComponentDescription description, std::vector<ParameterInfo> parameters, int channels)
        : Unit(std::move(description), std::move(parameters), {channels}, channels) {}
    // `value` limited to the range of parameter `id` (see above).
    float limited(uint32_t id, float value, int scope = kScopeGlobal) const {
        return limit(parameter(id, scope), value);
    }
    // The current value of a parameter, limited.
    float setting(uint32_t id, int scope = kScopeGlobal, int element = 0) const {
        return limited(id, value(id, scope, element), scope);
    }
};

}  // namespace omb::fx
