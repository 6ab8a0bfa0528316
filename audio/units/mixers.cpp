#include "audio/unit_registry.h"

namespace omb {

void register_mixers(UnitRegistry&) {}

}  // namespace omb
