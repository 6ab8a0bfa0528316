// A Scheme value held by native code, and the task that carries one to a target at its time.
//
// `environment` stays protected from the collector until the holder is destroyed; the release then happens on
// the owning process's executer thread, the only thread that may touch the interpreter.
#pragma once

#include "interpreter/scheme.h"
#include "scheduler/tasks.h"

namespace omb {

class SchemeObj {
public:
    SchemeObj(scheme* sc, pointer value, pointer environment);
    ~SchemeObj();
    SchemeObj(const SchemeObj&) = delete;
    SchemeObj& operator=(const SchemeObj&) = delete;

    scheme* getScheme() const { return scheme_; }
    pointer getEnvironment() const { return environment_; }
    pointer getValue() const { return value_; }
    bool valid() const { return environment_ != nullptr; }

private:
    scheme* scheme_;
    pointer environment_;
    pointer value_;
};

// The argument of a discarded Scheme task was never handed to a target: the task lets it go.
template <>
inline void Task<SchemeObj*>::discard() {
    delete argument_;
    argument_ = nullptr;
}

template <>
inline const void* Task<SchemeObj*>::owner() const {
    return argument_ ? argument_->getScheme() : nullptr;
}

}  // namespace omb
