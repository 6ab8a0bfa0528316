// A unit's state as a property list: what "au:save-preset" writes and "au:load-preset" reads back.
//
// The list holds the component's codes and name, every parameter value (by id, scope and element) and the unit's
// own settings (a SoundFont, loaded samples). Loading checks the codes and applies the values at the start of the
// coming buffer.
#pragma once

#include <string>

#include "audio/unit.h"
#include "platform/plist.h"

namespace omb {

plist::Value preset_of(const Unit& unit);
// False, with the reason, when the list is not a preset of this kind of unit; nothing is changed then.
bool apply_preset(Unit& unit, const plist::Value& preset, int64_t window, std::string* error);

}  // namespace omb
