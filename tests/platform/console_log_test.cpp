#include "platform/console_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string contents(std::FILE* f) {
  std::rewind(f);
  std::string out;
  char buf[256];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, f))
    out.append(buf, n);
  return out;
}

TEST(ConsoleLog, WritesPlainTextWhenNotATerminal) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  omb::ConsoleLog log(f);
  EXPECT_FALSE(log.colour());
  log.output("a\n");
  log.error(":ERROR: b\n");
  log.notification("c\n");
  log.styled({"d", 0xffffff, 0, true});
  log.output("e");
  EXPECT_EQ(contents(f), "a\n:ERROR: b\nc\nde");
  std::fclose(f);
}

} // namespace
