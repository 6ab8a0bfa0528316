// Canvases on screen. Each canvas (graphics/graphic_view.h) gets a Qt window that composites its bitmap and turns
// the performer's mouse and keys into Scheme expressions (graphics/canvas_events.h). This file also keeps the
// program's view of the screens, and answers "gfx:get-code-image" with a picture of the code editor's text.
//
// Screen coordinates are the desktop's own: origin at the top left of the virtual screen, as X11 and Qt have them.
// A canvas's own coordinates (drawing, mouse positions) still count y up from its bottom edge.
//
// Threads: install and uninstall on the main thread. The executer that opens, closes or reshapes a canvas only posts
// the work to the main thread and never waits; a post that arrives after its window went, or after uninstall, does
// nothing. screen_geometry reads a copy of the screens that the main thread keeps current, from any thread.
#pragma once

#include <optional>

#include <QRect>

namespace omb {

// Main thread, with the QApplication made: canvases opened from now on get windows, the screens and the pointer
// are followed, and the code image comes from the editor.
void install_canvas_windows();
// Main thread, before the QApplication goes: every canvas window closes, work still posted to them is dropped, and
// canvases opened later have no window. The canvases themselves and their pictures stay.
void uninstall_canvas_windows();

// Any thread: the geometry of screen `index` in the order the desktop lists them, or of the main screen when there
// is no such screen; nothing before install or without screens.
std::optional<QRect> screen_geometry(int index);
// Any thread: the main screen's geometry; nothing before install or without screens.
std::optional<QRect> main_screen_geometry();

}  // namespace omb
