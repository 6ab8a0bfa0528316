#include "native/native_scheme.h"

namespace omb {

NativeTable file_procedures() { return {}; }

}  // namespace omb
