#include "graphics/canvas_events.h"

#include <cstring>
#include <sstream>

#include "graphics/graphic_view.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

const char* mouse_name(MouseEvent event) {
    switch (event) {
    case MouseEvent::down: return "io:mouse-down";
    case MouseEvent::up: return "io:mouse-up";
    case MouseEvent::right_down: return "io:right-mouse-down";
    case MouseEvent::right_up: return "io:right-mouse-up";
    case MouseEvent::drag: return "io:mouse-drag";
    case MouseEvent::right_drag: return "io:right-mouse-drag";
    }
    return "io:mouse-down";
}

void queue(SchemeInterface* process, const std::string& text, const char* label) {
    process->createSchemeTask(::strdup(text.c_str()), label, SchemeTaskType::eval_string);
}

}  // namespace

std::string mouse_expression(MouseEvent event, float x, float y) {
    // A default stream prints general notation with 6 significant digits, trailing zeros dropped.
    std::ostringstream text;
    text << '(' << mouse_name(event) << ' ' << static_cast<double>(x) << ' ' << static_cast<double>(y) << ')';
    return text.str();
}

std::string key_expression(bool down, std::string_view characters) {
    std::string text = down ? "(gfx:canvas-key-down #\\" : "(gfx:canvas-key-up #\\";
    text.append(characters);
    text += ")\n";
    return text;
}

void send_mouse_event(GraphicView& view, MouseEvent event, float x, float y) {
    view.set_pointer(x, y);
    const auto schemes = view.schemes();
    if (schemes.empty()) return;
    const std::string text = mouse_expression(event, x, y);
    for (scheme* sc : schemes)
        if (SchemeInterface* process = SchemeInterface::I(sc)) queue(process, text, "MOUSE TASK");
}

bool send_key_event(bool down, std::string_view characters, bool repeat) {
    if (repeat || characters.empty()) return false;
    SchemeInterface* first = SchemeInterface::I(size_t{0});
    if (!first) return false;
    queue(first, key_expression(down, characters), "KEY TASK");
    return true;
}

}  // namespace omb
