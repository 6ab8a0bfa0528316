// Texts the editor makes from outside events: the clock in the window title and caps-lock keys as Scheme.
#pragma once

#include <cstdint>
#include <string>

namespace omb::editor {

// The time `elapsed_samples` of the sample clock stand for, as "%02llu:%02llu:%02llu": hours modulo 24, minutes,
// seconds. A negative count (the clock restarted behind the origin) or a sample rate that is not positive shows
// "00:00:00".
std::string clock_text(std::int64_t elapsed_samples, double samplerate);

// "(io:caps-key-down #\a)" or "(io:caps-key-up #\a)" for a key pressed or released with caps lock held. A
// printable ASCII character (space included) follows "#\" as it is; any other character is written by its code,
// "#\xe9", since the reader takes a single-byte character name only and would refuse UTF-8 bytes. Empty when
// `key` is no Unicode character (a surrogate or beyond U+10FFFF): there is nothing to send.
std::string caps_key_expression(bool down, char32_t key);

}  // namespace omb::editor
