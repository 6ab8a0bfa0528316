// "io:read-midi-file": the notes of a standard MIDI file as Scheme lists, registered in every process.
#pragma once

namespace omb {

struct scheme;
struct cell;
class SchemeInterface;

// Registers "io:read-midi-file" in the process, in place of the process's own stub that refuses every file.
void midi_file_scheme_init(SchemeInterface* process);

// The foreign function itself, (io:read-midi-file path), for an interpreter without a process (a benchmark).
// Returns the file's notes (SMF::getSchemeData) or, for a file it cannot read, #f after the error "Bad MIDI File".
cell* read_midi_file(scheme* sc, cell* args);

}  // namespace omb
