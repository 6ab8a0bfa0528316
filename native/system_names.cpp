#include "native/native_scheme.h"

namespace omb {

NativeTable converter_and_log_procedures() { return {}; }
NativeTable log_help_and_buffer_procedures() { return {}; }
NativeTable script_procedures() { return {}; }
NativeTable text_buffer_and_pasteboard_procedures() { return {}; }

}  // namespace omb
