// Log bridge: any thread reports text; the attached target shows it on the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace omb {

class Object;

struct StyledText {
  std::string text;
  std::uint32_t fg_rgb = 0;
  std::uint32_t bg_rgb = 0;
  bool bold = false;
};

// Where messages end up (a console, an editor pane). Called on the main thread only.
class LogTarget {
public:
  virtual ~LogTarget() = default;
  virtual void output(std::string_view text) = 0;
  virtual void error(std::string_view text) = 0;
  virtual void notification(std::string_view text) = 0;
  virtual void styled(const StyledText& text) = 0;
};

// When false, CPPBridge::release leaves objects alone (ownership handed elsewhere).
inline std::atomic<bool> OBJC_GC{true};

// Every call formats on the calling thread and posts to the main queue
// without waiting. With no target attached the message is dropped at once.
struct CPPBridge {
  static void notification(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
  static void error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
  static void log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
  static void lognbr(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

  // Same, for text that is not a format string.
  static void notification_text(std::string_view msg); // "msg\n"
  static void error_text(std::string_view msg);        // ":ERROR: msg\n"
  static void log_text(std::string_view msg);          // "msg\n"
  static void lognbr_text(std::string_view msg);       // "msg"

  static void logattr(StyledText text);

  // Drops one reference to obj while OBJC_GC is on; null is ignored.
  static void release(Object* obj);

  // attach/detach may be called from any thread. After detach returns, the
  // old target is no longer called and may be destroyed.
  static void attach(LogTarget* target);
  static void detach();
  static LogTarget* target();
};

} // namespace omb
