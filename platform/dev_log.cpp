#include "platform/dev_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace omb {

namespace {
std::atomic<bool>& enabled_flag() {
    static std::atomic<bool> on{[] {
        const char* v = std::getenv("OMBREL_DEVLOG");
        return v && std::strcmp(v, "0") != 0;
    }()};
    return on;
}
}  // namespace

bool devlog_enabled() { return enabled_flag().load(std::memory_order_relaxed); }

void devlog_enable(bool on) { enabled_flag().store(on, std::memory_order_relaxed); }

void devlog(const char* fmt, ...) {
    if (!devlog_enabled()) return;
    char line[1024];
    int n = std::snprintf(line, sizeof line, "ombrel: ");
    va_list ap;
    va_start(ap, fmt);
    int m = std::vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, fmt, ap);
    va_end(ap);
    size_t len = static_cast<size_t>(n) + (m < 0 ? 0 : static_cast<size_t>(m));
    if (len > sizeof line - 2) len = sizeof line - 2;
    line[len++] = '\n';
    std::fwrite(line, 1, len, stderr);
}

}  // namespace omb
