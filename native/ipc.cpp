#include "native/native_scheme.h"

namespace omb {

NativeTable ipc_procedures() { return {}; }

}  // namespace omb
