#include "audio/event_queue.h"

#include <cstring>

namespace omb {

EventQueue::EventQueue()
    : events_(std::make_unique<UnitEvent[]>(kEvents)), bytes_(std::make_unique<uint8_t[]>(kSysexBytes)) {}

bool EventQueue::push(const UnitEvent& event) {
    std::lock_guard lock(posters_);
    const size_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) == kEvents) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    events_[head & (kEvents - 1)] = event;
    head_.store(head + 1, std::memory_order_release);
    return true;
}

bool EventQueue::push_sysex(const UnitEvent& event, std::span<const uint8_t> message) {
    std::lock_guard lock(posters_);
    const size_t head = head_.load(std::memory_order_relaxed);
    size_t start = byte_head_.load(std::memory_order_relaxed);
    // A message is kept in one piece: one that would wrap starts again at the beginning of the ring.
    const size_t at = start & (kSysexBytes - 1);
    if (at + message.size() > kSysexBytes) start += kSysexBytes - at;
    const size_t end = start + message.size();
    if (head - tail_.load(std::memory_order_acquire) == kEvents ||
        end - byte_tail_.load(std::memory_order_acquire) > kSysexBytes) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    std::memcpy(bytes_.get() + (start & (kSysexBytes - 1)), message.data(), message.size());
    UnitEvent e = event;
    e.kind = UnitEvent::Kind::sysex;
    e.sysex.size = static_cast<uint32_t>(message.size());
    e.sysex.start = static_cast<uint32_t>(start & (kSysexBytes - 1));
    e.sysex.end = end;
    events_[head & (kEvents - 1)] = e;
    byte_head_.store(end, std::memory_order_relaxed);
    head_.store(head + 1, std::memory_order_release);
    return true;
}

const UnitEvent* EventQueue::peek(int64_t window) const {
    const size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load(std::memory_order_acquire)) return nullptr;
    const UnitEvent& e = events_[tail & (kEvents - 1)];
    return e.window <= window ? &e : nullptr;
}

std::span<const uint8_t> EventQueue::sysex_bytes() const {
    const UnitEvent& e = events_[tail_.load(std::memory_order_relaxed) & (kEvents - 1)];
    return {bytes_.get() + e.sysex.start, e.sysex.size};
}

void EventQueue::pop() {
    const size_t tail = tail_.load(std::memory_order_relaxed);
    const UnitEvent& e = events_[tail & (kEvents - 1)];
    if (e.kind == UnitEvent::Kind::sysex) byte_tail_.store(e.sysex.end, std::memory_order_release);
    tail_.store(tail + 1, std::memory_order_release);
}

}  // namespace omb
