// Object: base of the small reference-counted object runtime.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace omb {

// Starts with one reference, owned by its creator. Allocate with new:
// the last release() deletes it. Counting is safe across threads.
class Object {
public:
  Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  virtual ~Object();

  void retain() noexcept;
  void release() noexcept;
  std::int32_t retain_count() const noexcept;

  virtual std::string class_name() const;
  virtual std::string description() const;

private:
  std::atomic<std::int32_t> refs_{1};
};

} // namespace omb
