#include "native/native_scheme.h"

namespace omb {

NativeTable memory_procedures() { return {}; }
NativeTable vector_math_procedures() { return {}; }

}  // namespace omb
