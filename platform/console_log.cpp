#include "platform/console_log.h"

#include <cstdlib>
#include <string>

#include <unistd.h>

namespace omb {

ConsoleLog::ConsoleLog(std::FILE* out)
    : out_(out),
      colour_(::isatty(::fileno(out)) == 1 && std::getenv("NO_COLOR") == nullptr) {}

void ConsoleLog::write(std::string_view text, const char* sgr) {
  if (colour_ && sgr)
    std::fputs(sgr, out_);
  std::fwrite(text.data(), 1, text.size(), out_);
  if (colour_ && sgr)
    std::fputs("\x1b[0m", out_);
  std::fflush(out_);
}

void ConsoleLog::output(std::string_view text) { write(text, nullptr); }
void ConsoleLog::error(std::string_view text) { write(text, "\x1b[31m"); }
void ConsoleLog::notification(std::string_view text) { write(text, "\x1b[36m"); }

void ConsoleLog::styled(const StyledText& text) {
  if (!colour_) {
    write(text.text, nullptr);
    return;
  }
  auto rgb = [](std::uint32_t c) {
    return std::to_string((c >> 16) & 0xff) + ";" + std::to_string((c >> 8) & 0xff) + ";" +
           std::to_string(c & 0xff);
  };
  std::string sgr = "\x1b[38;2;" + rgb(text.fg_rgb) + ";48;2;" + rgb(text.bg_rgb) + "m";
  if (text.bold)
    sgr += "\x1b[1m";
  write(text.text, sgr.c_str());
}

} // namespace omb
