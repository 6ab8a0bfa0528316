// The audio engine's Scheme names, registered in every process as its first native library.
#pragma once

namespace omb {

class SchemeInterface;
void au_scheme_init(SchemeInterface* process);

}  // namespace omb
