#include "platform/exception.h"

#include <utility>

namespace omb {

PlatformException::PlatformException(std::string name, std::string reason)
    : name_(std::move(name)), reason_(std::move(reason)) {}

} // namespace omb
