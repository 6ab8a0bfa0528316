// The gl:, glu: and glut: procedures (OpenGL views and the binding family), for NativeScheme to bind in its own
// order. Their behaviour is in graphics/gl_call.h and the files it names.
#pragma once

#include "interpreter/scheme.h"

namespace omb {

// The procedure of a gl:, glu: or glut: name; null for a name this build does not have.
foreign_func opengl_procedure(const char* name);

}  // namespace omb
