// The Utah teapot as a mesh: Newell's 32 bicubic Bezier patches (306 control points, public domain) evaluated on a
// grid, with unit normals pointing out of the surface and per-patch texture coordinates. Pure arithmetic, no GL: the
// drawing lives in glut_shapes.
//
// Coordinates are GLUT's for a teapot of size 1: standing on the x-z plane with y up, the spout towards +x, the
// height of Newell's data halved and centred (y from -0.75 to 0.825).
//
// Threads: teapot_mesh() builds the mesh once, on first use, from whichever thread asks first; it is immutable
// afterwards and may be read from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace omb {

struct TeapotVertex {
    std::array<float, 3> position;
    std::array<float, 3> normal;  // unit length, outwards
    std::array<float, 2> tex;     // (s, t) across the patch
};

struct TeapotMesh {
    static constexpr int PATCHES = 32;
    static constexpr int GRID = 10;  // quads along each side of a patch
    static constexpr int SIDE = GRID + 1;
    // PATCHES blocks of SIDE * SIDE vertices; within a block, vertex (row, column) is at row * SIDE + column.
    // Triangle (row, col), (row, col + 1), (row + 1, col) is counter-clockwise seen from outside.
    std::vector<TeapotVertex> vertices;

    const TeapotVertex& at(int patch, int row, int column) const {
        return vertices[static_cast<std::size_t>((patch * SIDE + row) * SIDE + column)];
    }
};

const TeapotMesh& teapot_mesh();

// Newell's control points (z up, unscaled) as patches of 4 x 4, for the mesh's tests.
std::array<std::array<float, 3>, 16> teapot_patch_controls(int patch);

}  // namespace omb
