#include "graphics/glut_shapes.h"

#include <GL/gl.h>

#include <cmath>
#include <numbers>

#include "graphics/utah_teapot.h"

namespace omb {
namespace {

// Saves the current normal and texture coordinate for the length of one shape.
struct CurrentAttributes {
    CurrentAttributes() { glPushAttrib(GL_CURRENT_BIT); }
    ~CurrentAttributes() { glPopAttrib(); }
    CurrentAttributes(const CurrentAttributes&) = delete;
    CurrentAttributes& operator=(const CurrentAttributes&) = delete;
};

struct CubeFace {
    GLfloat normal[3];
    int corners[4];  // counter-clockwise seen from outside
};

// Corner k has x, y, z of sign - or + from bits 0, 1, 2 of k.
constexpr CubeFace CUBE_FACES[6] = {
    {{1, 0, 0}, {1, 3, 7, 5}},  {{-1, 0, 0}, {0, 4, 6, 2}}, {{0, 1, 0}, {2, 6, 7, 3}},
    {{0, -1, 0}, {0, 1, 5, 4}}, {{0, 0, 1}, {4, 5, 7, 6}},  {{0, 0, -1}, {0, 2, 3, 1}},
};

void cube_corner(int corner, GLfloat half) {
    glVertex3f(corner & 1 ? half : -half, corner & 2 ? half : -half, corner & 4 ? half : -half);
}

// The sphere's point at stack i (0 at +z) and slice j, its normal the unit direction from the centre.
void sphere_vertex(double radius, int i, int stacks, int j, int slices) {
    const double theta = std::numbers::pi * i / stacks;
    const double phi = 2.0 * std::numbers::pi * (j % slices) / slices;
    const double x = std::sin(theta) * std::cos(phi), y = std::sin(theta) * std::sin(phi), z = std::cos(theta);
    glNormal3d(x, y, z);
    glVertex3d(radius * x, radius * y, radius * z);
}

void solid_sphere(double radius, int slices, int stacks) {
    for (int i = 0; i < stacks; ++i) {
        glBegin(GL_TRIANGLE_STRIP);
        for (int j = 0; j <= slices; ++j) {
            sphere_vertex(radius, i, stacks, j, slices);
            sphere_vertex(radius, i + 1, stacks, j, slices);
        }
        glEnd();
    }
}

void wire_sphere(double radius, int slices, int stacks) {
    for (int i = 1; i < stacks; ++i) {
        glBegin(GL_LINE_LOOP);
        for (int j = 0; j < slices; ++j) sphere_vertex(radius, i, stacks, j, slices);
        glEnd();
    }
    for (int j = 0; j < slices; ++j) {
        glBegin(GL_LINE_STRIP);
        for (int i = 0; i <= stacks; ++i) sphere_vertex(radius, i, stacks, j, slices);
        glEnd();
    }
}

void teapot_vertex(const TeapotVertex& v, GLfloat scale, GLfloat flip) {
    glTexCoord2fv(v.tex.data());
    glNormal3f(flip * v.normal[0], flip * v.normal[1], flip * v.normal[2]);
    glVertex3f(scale * v.position[0], scale * v.position[1], scale * v.position[2]);
}

void solid_teapot(const TeapotMesh& mesh, GLfloat scale, GLfloat flip) {
    // Starting each pair on the next row keeps the strip's triangles counter-clockwise from outside; a negative
    // size mirrors the teapot, so there the pairs start on the row itself.
    const int first = flip > 0 ? 1 : 0;
    for (int patch = 0; patch < TeapotMesh::PATCHES; ++patch)
        for (int row = 0; row < TeapotMesh::GRID; ++row) {
            glBegin(GL_TRIANGLE_STRIP);
            for (int column = 0; column < TeapotMesh::SIDE; ++column) {
                teapot_vertex(mesh.at(patch, row + first, column), scale, flip);
                teapot_vertex(mesh.at(patch, row + 1 - first, column), scale, flip);
            }
            glEnd();
        }
}

void wire_teapot(const TeapotMesh& mesh, GLfloat scale, GLfloat flip) {
    for (int patch = 0; patch < TeapotMesh::PATCHES; ++patch)
        for (int line = 0; line < TeapotMesh::SIDE; ++line) {
            glBegin(GL_LINE_STRIP);
            for (int k = 0; k < TeapotMesh::SIDE; ++k) teapot_vertex(mesh.at(patch, line, k), scale, flip);
            glEnd();
            glBegin(GL_LINE_STRIP);
            for (int k = 0; k < TeapotMesh::SIDE; ++k) teapot_vertex(mesh.at(patch, k, line), scale, flip);
            glEnd();
        }
}

}  // namespace

void draw_cube(double size, bool solid) {
    const CurrentAttributes saved;
    const auto half = static_cast<GLfloat>(size / 2.0);
    for (const CubeFace& face : CUBE_FACES) {
        glBegin(solid ? GL_QUADS : GL_LINE_LOOP);
        glNormal3fv(face.normal);
        for (int corner : face.corners) cube_corner(corner, half);
        glEnd();
    }
}

void draw_sphere(double radius, int slices, int stacks, bool solid) {
    if (slices < 1 || stacks < 1 || slices > SPHERE_DIVISIONS_MAX || stacks > SPHERE_DIVISIONS_MAX) return;
    const CurrentAttributes saved;
    if (solid)
        solid_sphere(radius, slices, stacks);
    else
        wire_sphere(radius, slices, stacks);
}

void draw_teapot(double size, bool solid) {
    const TeapotMesh& mesh = teapot_mesh();
    const CurrentAttributes saved;
    // A negative size turns the teapot inside out through the origin; its normals follow so they still face out.
    const auto scale = static_cast<GLfloat>(size);
    const GLfloat flip = size < 0 ? -1.0f : 1.0f;
    if (solid)
        solid_teapot(mesh, scale, flip);
    else
        wire_teapot(mesh, scale, flip);
}

}  // namespace omb
