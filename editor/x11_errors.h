// Xlib's protocol errors in this process, made survivable: a plugin UI's mistake is logged, not fatal.
//
// Xlib's default handler ends the program on any protocol error (a plugin UI that destroys a window twice, say).
// The editor's own windows go through xcb, so only the plugin UIs loaded into the process meet this handler.
// Main thread, before a plugin UI is loaded; once is enough.
#pragma once

namespace omb {

void survive_x_errors();

}  // namespace omb
