#include "graphics/canvas_events.h"

#include <cstdio>
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

// The code point when `text` is exactly one well-formed UTF-8 character beyond ASCII; 0 otherwise.
char32_t single_non_ascii(std::string_view text) {
    if (text.size() < 2 || text.size() > 4) return 0;
    const auto lead = static_cast<unsigned char>(text[0]);
    const size_t length = lead >= 0xF0 && lead < 0xF5 ? 4 : lead >= 0xE0 ? (lead < 0xF0 ? 3 : 0) : lead >= 0xC2 ? 2 : 0;
    if (length != text.size()) return 0;
    char32_t code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) != 0x80) return 0;
        code = (code << 6) | (c & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return code;
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
    // The reader takes a character literal of one byte only: a character beyond ASCII goes by its code ("#\\xe9"),
    // or the key would be lost to a read error.
    if (const char32_t code = single_non_ascii(characters)) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "x%x", static_cast<unsigned>(code));
        text += hex;
    } else {
        text.append(characters);
    }
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
