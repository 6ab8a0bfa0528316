// Native libraries: each subsystem's schemeInit, run by every process's executer before the standard files load.
//
// The program registers the libraries it links, in order (audio, MIDI, OSC, graphics, native), before it creates
// its first process; processes created later get the same set.
#pragma once

namespace omb {

class SchemeInterface;
using NativeLibraryInit = void (*)(SchemeInterface*);

void add_native_library(NativeLibraryInit init);
void register_native_libraries(SchemeInterface* process);

}  // namespace omb
