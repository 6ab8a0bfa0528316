// The OSC names of every process: "*io:osc-send-msg*", "io:osc-register-events" and "io:osc-blob".
#pragma once

namespace omb {

class SchemeInterface;
// Registered as a native library; the first process to start creates the OSC server (binding its socket).
void osc_scheme_init(SchemeInterface* process);

}  // namespace omb
