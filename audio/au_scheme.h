// The audio engine's Scheme names, registered in every process as its first native library.
#pragma once

#include <functional>

namespace omb {

class SchemeInterface;
void au_scheme_init(SchemeInterface* process);

// How the editor opens a unit's window (on the main thread); installed by the editor at start. Without one,
// "au:open-view" only says no window is available. `generic`: the generic view even for a unit with its own editor.
using UnitViewOpener = std::function<bool(int node, bool generic)>;
void set_unit_view_opener(UnitViewOpener opener);

}  // namespace omb
