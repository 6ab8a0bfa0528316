#include "editor/text/event_texts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

using namespace omb::editor;
using std::tuple;

TEST(EventTexts, ClockInTheTitle) {
    for (auto [samples, rate, text] : {
             tuple{std::int64_t{0}, 44100.0, "00:00:00"},
             {44099, 44100, "00:00:00"},
             {44100 * 61, 44100, "00:01:01"},
             {48000LL * (3600 * 25 + 59 * 60 + 7), 48000, "01:59:07"},  // hours wrap at a day
             {-1, 44100, "00:00:00"},  // the clock restarted behind the origin
             {44100, 0, "00:00:00"},
         })
        EXPECT_EQ(clock_text(samples, rate), text) << samples << " at " << rate;
}

TEST(EventTexts, CapsLockKeysAsScheme) {
    for (auto [down, key, text] : {
             tuple{true, U'a', "(io:caps-key-down #\\a)"},
             {false, U'A', "(io:caps-key-up #\\A)"},
             {true, U' ', "(io:caps-key-down #\\ )"},
             {true, U')', "(io:caps-key-down #\\))"},
             {true, U'\u00e9', "(io:caps-key-down #\\xe9)"},  // by code: the reader takes no UTF-8 character name
             {false, U'\u20ac', "(io:caps-key-up #\\x20ac)"},
             {true, U'\r', "(io:caps-key-down #\\xd)"},
             {true, char32_t{0xD800}, ""},
             {true, char32_t{0x110000}, ""},
         })
        EXPECT_EQ(caps_key_expression(down, key), text) << std::uint32_t(key);
}
