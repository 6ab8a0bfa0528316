#include "platform/objects/object.h"

#include <cstdio>
#include <mutex>
#include <unordered_set>

namespace omb {

namespace {

std::atomic<std::size_t> live_objects{0};

struct AddressTable {
    std::mutex mutex;
    std::unordered_set<std::uintptr_t> objects;
};

// Never destroyed: objects released during static destruction still find it.
AddressTable& address_table() {
    static auto* table = new AddressTable;
    return *table;
}

std::uintptr_t address_of(const Object* o) { return reinterpret_cast<std::uintptr_t>(o); }

}  // namespace

Object::Object() { live_objects.fetch_add(1, std::memory_order_relaxed); }

Object::~Object() {
    // The last release happens after any giving out (its holder had a reference), so the flag is seen here.
    if (given_out_.load(std::memory_order_acquire)) {
        AddressTable& t = address_table();
        std::lock_guard lock(t.mutex);
        t.objects.erase(address_of(this));
    }
    live_objects.fetch_sub(1, std::memory_order_relaxed);
}

void Object::retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }

void Object::release() noexcept {
    // acq_rel: the deleting thread must see every other holder's writes.
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

std::int32_t Object::retain_count() const noexcept { return refs_.load(std::memory_order_relaxed); }

std::string Object::class_name() const { return "NSObject"; }

std::string Object::description() const { return "#<" + class_name() + " " + address_text() + ">"; }

std::string Object::address_text() const {
    if (!given_out_.exchange(true, std::memory_order_acq_rel)) {
        AddressTable& t = address_table();
        std::lock_guard lock(t.mutex);
        t.objects.insert(address_of(this));
    }
    char text[32];
    std::snprintf(text, sizeof text, "%p", static_cast<const void*>(this));
    return text;
}

Object* Object::retain_live(std::uintptr_t address) {
    AddressTable& t = address_table();
    std::lock_guard lock(t.mutex);
    if (!t.objects.count(address)) return nullptr;
    // In the table, so made whole and not yet destroyed (the destructor waits for the lock); but a count already
    // at zero means its last release has begun, and it must not come back.
    auto* o = reinterpret_cast<Object*>(address);
    std::int32_t n = o->refs_.load(std::memory_order_relaxed);
    while (n > 0)
        if (o->refs_.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel)) return o;
    return nullptr;
}

std::size_t Object::live_count() { return live_objects.load(std::memory_order_relaxed); }

}  // namespace omb
