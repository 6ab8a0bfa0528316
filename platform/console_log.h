// ConsoleLog: a LogTarget that writes to a terminal or any stdio stream.
#pragma once

#include <cstdio>

#include "platform/log_bridge.h"

namespace omb {

// Colours errors (red), notifications (cyan) and styled text only when the
// stream is a terminal and NO_COLOR is unset; otherwise writes texts as given.
class ConsoleLog : public LogTarget {
public:
  explicit ConsoleLog(std::FILE* out = stdout);

  void output(std::string_view text) override;
  void error(std::string_view text) override;
  void notification(std::string_view text) override;
  void styled(const StyledText& text) override;

  bool colour() const { return colour_; }

private:
  void write(std::string_view text, const char* sgr);

  std::FILE* out_;
  bool colour_;
};

} // namespace omb
