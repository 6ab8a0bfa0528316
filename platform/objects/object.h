// Object: base of the small reference-counted object runtime, and the table of objects whose addresses have been
// given out as text.
//
// An address that comes back as text (the object bridge's objc:from-address) is checked against that table before
// it is trusted: only an object whose address was given out, that is still alive and not already on its way out,
// is handed back. An object enters the table when its address is first given out, never while it is being made,
// and leaves it when it is destroyed. Counting and the table are safe across threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace omb {

// Starts with one reference, owned by its creator. Allocate with new: the last release() deletes it.
class Object {
public:
    Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    virtual ~Object();

    void retain() noexcept;
    void release() noexcept;
    std::int32_t retain_count() const noexcept;

    // The name the runtime knows the class by (platform/objects/runtime.h); "NSObject" unless overridden.
    virtual std::string class_name() const;
    // "#<Class 0x55d4c2a0>" unless overridden; gives the address out.
    virtual std::string description() const;

    // The address in "%p" form ("0x55d4c2a0"); from now on retain_live finds the object by it. The caller holds a
    // reference.
    std::string address_text() const;
    // The object whose address was given out as `address`, retained for the caller; null when there is none
    // alive there.
    static Object* retain_live(std::uintptr_t address);
    // How many objects exist now.
    static std::size_t live_count();

private:
    std::atomic<std::int32_t> refs_{1};
    mutable std::atomic<bool> given_out_{false};
};

}  // namespace omb
