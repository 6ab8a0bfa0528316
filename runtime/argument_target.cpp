#include "runtime/argument_target.h"

#include <cstring>
#include <mutex>

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

CM* keep_target(std::unique_ptr<CM> target) {
    static std::mutex mutex;
    static std::vector<std::unique_ptr<CM>> targets;
    std::lock_guard lock(mutex);
    targets.push_back(std::move(target));
    return targets.back().get();
}

bool read_bytes(scheme* sc, pointer data, std::vector<uint8_t>& into) {
    if (is_string(data)) {
        const char* s = string_value(data);
        into.assign(s, s + std::strlen(s));
        return true;
    }
    auto add = [&](pointer b) {
        if (!is_integer(b) || ivalue(b) < 0 || ivalue(b) > 255) return false;
        into.push_back(static_cast<uint8_t>(ivalue(b)));
        return true;
    };
    if (is_vector(data)) {
        for (int64_t i = 0; i < ivalue(data); ++i)
            if (!add(vector_elem(data, static_cast<int>(i)))) return false;
        return true;
    }
    if (data != sc->NIL && list_length(sc, data) < 0) return false;
    for (; is_pair(data); data = pair_cdr(data))
        if (!add(pair_car(data))) return false;
    return true;
}

}  // namespace omb
