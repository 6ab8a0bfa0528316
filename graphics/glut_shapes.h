// GLUT's solid and wire shapes (cube, sphere, teapot) drawn with our own code in GL immediate mode (compatibility
// profile), so they work headless where freeglut cannot be initialised. They draw what glutSolidCube,
// glutWireSphere, glutSolidTeapot and their kin draw: same sizes, orientation and normals, so lit scenes look alike.
//
// Threads: the caller holds the view's GL context current (and locked) on its own thread for the whole call; these
// functions keep no GL objects and the teapot's mesh, built once, is shared read-only. Each call saves and restores
// the GL state it changes (the current normal and texture coordinate).
#pragma once

namespace omb {

// Above this many slices or stacks a sphere is not drawn: the caller reports it rather than stall a frame.
constexpr int SPHERE_DIVISIONS_MAX = 1024;

// A cube of side `size` centred on the origin, one normal per face.
void draw_cube(double size, bool solid);

// A sphere of `radius` centred on the origin with the z axis as its pole: `slices` around z, `stacks` from +z to
// -z. Draws nothing when slices or stacks is below 1 or above SPHERE_DIVISIONS_MAX.
void draw_sphere(double radius, int slices, int stacks, bool solid);

// The Utah teapot, size 1 being GLUT's usual teapot: standing on the x-z plane, y up, spout towards +x. Faces are
// counter-clockwise seen from outside and normals point outwards (also for a negative size).
void draw_teapot(double size, bool solid);

}  // namespace omb
