#include "platform/log_bridge.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>

#include "platform/main_queue.h"
#include "platform/objects/object.h"

namespace omb {
namespace {

std::atomic<LogTarget*> g_target{nullptr};
// Posted operations currently calling into a target; detach waits for zero
// so the caller may destroy the old target as soon as detach returns.
std::atomic<int> g_in_use{0};

enum class Kind { output, error, notification };

// Messages posted and not yet delivered. A runaway loop printing faster than the log can show must not fill memory:
// past the limit messages are dropped and counted, and the log says how many once it catches up.
constexpr long kMaxUndelivered = 200000;
std::atomic<long> g_undelivered{0};
std::atomic<long> g_dropped{0};

std::string vformat(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n <= 0)
    return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  return out;
}

template <class F>
void deliver(F&& call) {
  if (g_undelivered.fetch_add(1) >= kMaxUndelivered) {
    g_undelivered.fetch_sub(1);
    g_dropped.fetch_add(1);
    return;
  }
  // Checked again on the main thread: the target may have gone meanwhile.
  main_queue::post([call = std::forward<F>(call)] {
    g_in_use.fetch_add(1);
    if (LogTarget* t = g_target.load()) {
      if (const long dropped = g_dropped.exchange(0))
        t->error(":ERROR: " + std::to_string(dropped) + " log messages were dropped: they came faster than the log "
                 "could show them\n");
      call(*t);
    }
    g_in_use.fetch_sub(1);
    g_undelivered.fetch_sub(1);
  });
}

void send(Kind kind, std::string text) {
  deliver([kind, text = std::move(text)](LogTarget& t) {
    switch (kind) {
    case Kind::output: t.output(text); break;
    case Kind::error: t.error(text); break;
    case Kind::notification: t.notification(text); break;
    }
  });
}

bool attached() { return g_target.load() != nullptr; }

void wait_until_unused() {
  // On the main thread no posted operation can be running concurrently.
  if (main_queue::is_main_thread())
    return;
  while (g_in_use.load() != 0)
    std::this_thread::yield();
}

} // namespace

#define OMB_FORMAT_AND_SEND(kind, prefix, suffix)                              \
  do {                                                                         \
    if (!attached())                                                           \
      return;                                                                  \
    va_list args;                                                              \
    va_start(args, fmt);                                                       \
    std::string body = vformat(fmt, args);                                     \
    va_end(args);                                                              \
    send(kind, std::string(prefix) + body + suffix);                           \
  } while (0)

void CPPBridge::notification(const char* fmt, ...) { OMB_FORMAT_AND_SEND(Kind::notification, "", "\n"); }
void CPPBridge::error(const char* fmt, ...) { OMB_FORMAT_AND_SEND(Kind::error, ":ERROR: ", "\n"); }
void CPPBridge::log(const char* fmt, ...) { OMB_FORMAT_AND_SEND(Kind::output, "", "\n"); }
void CPPBridge::lognbr(const char* fmt, ...) { OMB_FORMAT_AND_SEND(Kind::output, "", ""); }

#undef OMB_FORMAT_AND_SEND

void CPPBridge::notification_text(std::string_view msg) {
  if (attached())
    send(Kind::notification, std::string(msg) + "\n");
}

void CPPBridge::error_text(std::string_view msg) {
  if (attached())
    send(Kind::error, ":ERROR: " + std::string(msg) + "\n");
}

void CPPBridge::log_text(std::string_view msg) {
  if (attached())
    send(Kind::output, std::string(msg) + "\n");
}

void CPPBridge::lognbr_text(std::string_view msg) {
  if (attached())
    send(Kind::output, std::string(msg));
}

void CPPBridge::logattr(StyledText text) {
  if (!attached())
    return;
  deliver([text = std::move(text)](LogTarget& t) { t.styled(text); });
}

void CPPBridge::release(Object* obj) {
  if (obj && OBJC_GC.load())
    obj->release();
}

void CPPBridge::attach(LogTarget* target) {
  LogTarget* old = g_target.exchange(target);
  if (old && old != target)
    wait_until_unused();
}

void CPPBridge::detach() {
  g_target.store(nullptr);
  wait_until_unused();
}

LogTarget* CPPBridge::target() { return g_target.load(); }

} // namespace omb
