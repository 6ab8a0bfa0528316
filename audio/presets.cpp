#include "audio/presets.h"

namespace omb {

plist::Value preset_of(const Unit& unit) {
    const ComponentDescription& d = unit.description();
    plist::Array values;
    for (const ParameterInfo& p : unit.parameters())
        for (int e = 0; e < p.elements; ++e)
            values.push_back(plist::Dict({{"id", static_cast<int64_t>(p.id)},
                                          {"scope", p.scope},
                                          {"element", e},
                                          {"value", static_cast<double>(unit.parameter_value(p.id, p.scope, e))}}));
    return plist::Dict({{"type", fourcc_text(d.type)},
                        {"subtype", fourcc_text(d.subtype)},
                        {"manufacturer", fourcc_text(d.manufacturer)},
                        {"name", d.name},
                        {"parameters", std::move(values)},
                        {"state", unit.extra_state()}});
}

bool apply_preset(Unit& unit, const plist::Value& preset, int64_t window, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    const ComponentDescription& d = unit.description();
    const std::string* type = preset.find("type") ? preset.find("type")->as_string() : nullptr;
    const std::string* subtype = preset.find("subtype") ? preset.find("subtype")->as_string() : nullptr;
    if (!type || !subtype) return fail("not a preset: it names no component");
    if (*type != fourcc_text(d.type) || *subtype != fourcc_text(d.subtype))
        return fail("a preset of '" + *type + "' '" + *subtype + "', not of '" + fourcc_text(d.type) + "' '" +
                    fourcc_text(d.subtype) + "'");
    const plist::Value* values = preset.find("parameters");
    if (values && !values->is_array()) return fail("its parameters are not a list");
    if (const plist::Value* state = preset.find("state"); state && !unit.set_extra_state(*state, error)) return false;
    if (!values) return true;
    for (const plist::Value& v : *values->as_array()) {
        const plist::Value *id = v.find("id"), *scope = v.find("scope"), *element = v.find("element"),
                           *value = v.find("value");
        // An entry it cannot use is passed over: the others still apply.
        if (!id || !scope || !element || !value || !id->as_int() || !scope->as_int() || !element->as_int() ||
            !value->as_real())
            continue;
        const ParameterInfo* p = unit.parameter(static_cast<uint32_t>(id->as_int().value_or(0)),
                                                static_cast<int>(scope->as_int().value_or(0)));
        const int64_t at = element->as_int().value_or(-1);
        if (!p || at < 0 || at >= p->elements) continue;
        UnitEvent e;
        e.kind = UnitEvent::Kind::parameter;
        e.window = window;
        e.parameter = {p->id, p->scope, static_cast<int32_t>(at), static_cast<float>(value->as_real().value_or(0))};
        unit.post(e);
    }
    return true;
}

}  // namespace omb
