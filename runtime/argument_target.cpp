#include "runtime/argument_target.h"

#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

bool ArgumentTarget::read(scheme* sc, pointer args, TaskArguments& into) const {
    for (pointer p = args; is_pair(p); p = pair_cdr(p)) {
        pointer a = pair_car(p);
        if (!is_number(a)) {
            CPPBridge::error("Task arguments must be numbers: %s", printed(sc, args).c_str());
            return false;
        }
        into.numbers.push_back(rvalue(a));
    }
    return true;
}

}  // namespace omb
