#include "editor/text/event_texts.h"

#include <cmath>
#include <cstdio>

namespace omb::editor {

std::string clock_text(std::int64_t elapsed_samples, double samplerate) {
    unsigned long long seconds = 0;
    if (elapsed_samples > 0 && samplerate > 0)
        seconds = static_cast<unsigned long long>(std::floor(static_cast<double>(elapsed_samples) / samplerate));
    char out[32];
    std::snprintf(out, sizeof out, "%02llu:%02llu:%02llu", seconds / 3600 % 24, seconds / 60 % 60, seconds % 60);
    return out;
}

std::string caps_key_expression(bool down, char32_t key) {
    if (key > 0x10FFFF || (key >= 0xD800 && key <= 0xDFFF)) return {};
    std::string text = down ? "(io:caps-key-down #\\" : "(io:caps-key-up #\\";
    if (key >= 0x20 && key < 0x7F) {
        text.push_back(static_cast<char>(key));
    } else {
        char code[16];
        std::snprintf(code, sizeof code, "x%x", static_cast<unsigned>(key));
        text += code;
    }
    text.push_back(')');
    return text;
}

}  // namespace omb::editor
