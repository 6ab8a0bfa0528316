#include "editor/x11_errors.h"

#include <X11/Xlib.h>

#include "platform/dev_log.h"

namespace omb {

namespace {

int log_x_error(Display* display, XErrorEvent* error) {
    char text[160] = "";
    XGetErrorText(display, error->error_code, text, sizeof text);
    devlog("A plugin UI's X request failed (%s, request %d): ignored", text, static_cast<int>(error->request_code));
    return 0;
}

}  // namespace

void survive_x_errors() {
    static const bool installed = (XSetErrorHandler(log_x_error), true);
    (void)installed;
}

}  // namespace omb
