// Canvas input as Scheme text: mouse and key events become the expressions a process evaluates
// ("(io:mouse-down 12.5 40)"), queued as tasks with its executer. The texts are pure functions, so they are tested as
// text; the window that produces the events calls the senders on the main thread.
#pragma once

#include <string>
#include <string_view>

namespace omb {

class GraphicView;

enum class MouseEvent { down, up, right_down, right_up, drag, right_drag };

// The expression for a mouse event at x, y (window coordinates, origin bottom left). The numbers are printed with
// at most 6 significant digits and no trailing zeros: 200.0 is "200", 12.25 is "12.25".
std::string mouse_expression(MouseEvent event, float x, float y);
// The expression for a key going down or up: its characters (UTF-8, modifiers ignored) as a character literal,
// then a newline. One character beyond ASCII is written by its code ("#\\xe9"), which the reader can read.
std::string key_expression(bool down, std::string_view characters);

// Main thread: a "MOUSE TASK" to the process of every interpreter registered with the canvas (in pointer order);
// nothing when none is. The canvas keeps the position for "io:get-mouse-position".
void send_mouse_event(GraphicView& view, MouseEvent event, float x, float y);
// Main thread: a "KEY TASK" to the first process. Auto-repeats are ignored. False when nothing was sent.
bool send_key_event(bool down, std::string_view characters, bool repeat);

}  // namespace omb
