#include "native/native_scheme.h"

namespace omb {

NativeTable vector_data_procedures() { return {}; }

}  // namespace omb
