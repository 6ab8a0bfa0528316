// The built-in audio units, found by component description: what "au:make-node" can make and the component
// listings show. Each family of units registers itself; every unit is also found under the platform codes that
// pieces written elsewhere use for the same kind of unit.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "audio/unit.h"

namespace omb {

struct RegisteredUnit {
    ComponentDescription description;          // manufacturer "ombr"
    std::vector<std::array<FourCC, 3>> aliases;  // other (type, subtype, manufacturer) it answers to
    UnitFactory make;
};

class UnitRegistry {
public:
    // Every built-in unit, registered on first use.
    static const UnitRegistry& builtin();

    void add(ComponentDescription description, UnitFactory make, std::vector<std::array<FourCC, 3>> aliases = {});
    const RegisteredUnit* find(FourCC type, FourCC subtype, FourCC manufacturer) const;
    // In registration order.
    std::vector<const RegisteredUnit*> of_type(FourCC type) const;

private:
    std::vector<RegisteredUnit> units_;
};

constexpr FourCC kOmbrel = fourcc("ombr");
constexpr FourCC kApple = fourcc("appl");

// The families (audio/units/): instruments ("aumu"), effects ("aufx") and mixers ("aumx").
void register_instruments(UnitRegistry& registry);
void register_effects(UnitRegistry& registry);
void register_mixers(UnitRegistry& registry);

}  // namespace omb
