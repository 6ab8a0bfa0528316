#include "audio/unit_registry.h"

namespace omb {

void register_effects(UnitRegistry&) {}

}  // namespace omb
