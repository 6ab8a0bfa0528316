#include "native/native_scheme.h"

namespace omb {

NativeTable object_bridge_procedures() { return {}; }
Object* objc_bridge_object() { return nullptr; }

}  // namespace omb
