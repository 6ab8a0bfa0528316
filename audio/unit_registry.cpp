#include "audio/unit_registry.h"

namespace omb {

const UnitRegistry& UnitRegistry::builtin() {
    static const UnitRegistry registry = [] {
        UnitRegistry r;
        register_instruments(r);
        register_effects(r);
        register_mixers(r);
        return r;
    }();
    return registry;
}

void UnitRegistry::add(ComponentDescription description, UnitFactory make,
                       std::vector<std::array<FourCC, 3>> aliases) {
    units_.push_back(RegisteredUnit{std::move(description), std::move(aliases), make});
}

const RegisteredUnit* UnitRegistry::find(FourCC type, FourCC subtype, FourCC manufacturer) const {
    for (const auto& u : units_) {
        const auto& d = u.description;
        if (d.type == type && d.subtype == subtype && d.manufacturer == manufacturer) return &u;
        for (const auto& a : u.aliases)
            if (a[0] == type && a[1] == subtype && a[2] == manufacturer) return &u;
    }
    return nullptr;
}

std::vector<const RegisteredUnit*> UnitRegistry::of_type(FourCC type) const {
    std::vector<const RegisteredUnit*> found;
    for (const auto& u : units_)
        if (u.description.type == type) found.push_back(&u);
    return found;
}

}  // namespace omb
