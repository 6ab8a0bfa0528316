#include "platform/objects/object.h"

#include <cstdio>

namespace omb {

Object::~Object() = default;

void Object::retain() noexcept {
  refs_.fetch_add(1, std::memory_order_relaxed);
}

void Object::release() noexcept {
  // acq_rel: the deleting thread must see every other holder's writes.
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1)
    delete this;
}

std::int32_t Object::retain_count() const noexcept {
  return refs_.load(std::memory_order_relaxed);
}

std::string Object::class_name() const { return "Object"; }

std::string Object::description() const {
  char addr[32];
  std::snprintf(addr, sizeof addr, "%p", static_cast<const void*>(this));
  return "#<" + class_name() + " " + addr + ">";
}

} // namespace omb
