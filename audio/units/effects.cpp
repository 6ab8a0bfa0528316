// The effects family ("aufx"), each also found under the platform's codes for the same effect.
#include <algorithm>
#include <cmath>

#include "audio/unit_registry.h"
#include "audio/units/effect_units.h"

namespace omb {

namespace fx {

ParameterInfo param(uint32_t id, const char* name, int unit, float min, float max, float initial, int scope,
                        int elements) {
    ParameterInfo p;
    p.id = id;
    p.name = name;
    p.unit = unit;
    p.min = min;
    p.max = max;
    p.initial = initial;
    p.scope = scope;
    p.elements = elements;
    return p;
}

bool channels_supported(const ComponentDescription& asked, int channels, std::string* error) {
    if (channels == 1 || channels == 2) return true;
    if (error)
        *error = fourcc_text(asked.subtype) + " takes 1 or 2 channels, not " + std::to_string(channels);
    return false;
}

float limit(const ParameterInfo* p, float value) {
    if (!p) return 0;
    if (!std::isfinite(value)) return p->initial;
    return std::clamp(value, p->min, p->max);
}

}  // namespace fx

namespace {

struct Listing {
    FourCC subtype;
    const char* name;
    UnitFactory make;
    bool platform_alias;
};

const Listing kEffects[] = {
    {fourcc("dely"), "Ombrel: Delay", fx::make_delay, true},
    {fourcc("mrev"), "Ombrel: Reverb", fx::make_reverb, true},
    {fourcc("lpas"), "Ombrel: Low-pass Filter", fx::make_filter, true},
    {fourcc("hpas"), "Ombrel: High-pass Filter", fx::make_filter, true},
    {fourcc("bpas"), "Ombrel: Band-pass Filter", fx::make_filter, true},
    {fourcc("dcmp"), "Ombrel: Compressor", fx::make_compressor, true},
    {fourcc("dist"), "Ombrel: Distortion", fx::make_distortion, true},
    {fourcc("gain"), "Ombrel: Gain and Pan", fx::make_gain, false},
};

constexpr FourCC kEffect = fourcc("aufx");

}  // namespace

ComponentDescription fx::effect_description(const ComponentDescription& asked) {
    for (const Listing& e : kEffects)
        if (e.subtype == asked.subtype) return {kEffect, e.subtype, kOmbrel, e.name};
    return {kEffect, asked.subtype, kOmbrel, asked.name};
}

void register_effects(UnitRegistry& registry) {
    for (const Listing& e : kEffects) {
        std::vector<std::array<FourCC, 3>> aliases;
        if (e.platform_alias) aliases.push_back({kEffect, e.subtype, kApple});
        registry.add({kEffect, e.subtype, kOmbrel, e.name}, e.make, std::move(aliases));
    }
}

}  // namespace omb
