// The developer log: engine diagnostics for whoever runs the program, on standard error, off unless asked for.
//
// Enabled by the environment variable OMBREL_DEVLOG (any value but "0") or by devlog_enable(). Performers never
// see it; what they must see goes through the log bridge.
#pragma once

namespace omb {

bool devlog_enabled();
void devlog_enable(bool on);
// One line, prefixed "ombrel: ", written with a single call so lines from several threads do not interleave.
void devlog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace omb
