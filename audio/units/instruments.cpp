#include "audio/unit_registry.h"

namespace omb {

void register_instruments(UnitRegistry&) {}

}  // namespace omb
