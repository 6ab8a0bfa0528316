// GLUT's shapes drawn by our own code, headless: an EGL context on Mesa's surfaceless platform renders into a
// framebuffer object under an orthographic projection, and the pixels are checked. A light along the view
// direction shows whether normals face out; culling back faces shows whether faces wind counter-clockwise.
#define GL_GLEXT_PROTOTYPES
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <GL/glext.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "graphics/glut_shapes.h"
#include "graphics/utah_teapot.h"

namespace omb {
namespace {

constexpr int SIDE = 200;
constexpr int FULL = 204;  // the default material's diffuse 0.8 under a white light facing the surface

struct Coverage {
    int x0 = SIDE, y0 = SIDE, x1 = -1, y1 = -1;  // bounding box of drawn pixels
    int drawn = 0, lit = 0;                      // pixels drawn, and those more than dimly lit
};

class GlutShapes : public ::testing::Test {
protected:
    void SetUp() override {
        display_ = eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        ASSERT_TRUE(display_ != EGL_NO_DISPLAY && eglInitialize(display_, nullptr, nullptr));
        ASSERT_TRUE(eglBindAPI(EGL_OPENGL_API));
        const EGLint attributes[] = {EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_COMPATIBILITY_PROFILE_BIT,
                                     EGL_NONE};
        context_ = eglCreateContext(display_, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, attributes);
        ASSERT_NE(context_, EGL_NO_CONTEXT);
        ASSERT_TRUE(eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_));
        glGenFramebuffers(1, &framebuffer_);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
        glGenRenderbuffers(2, renderbuffers_);
        attach(renderbuffers_[0], GL_RGBA8, GL_COLOR_ATTACHMENT0);
        attach(renderbuffers_[1], GL_DEPTH_COMPONENT24, GL_DEPTH_ATTACHMENT);
        ASSERT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER), static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
        glViewport(0, 0, SIDE, SIDE);
    }

    void TearDown() override {
        if (context_ == EGL_NO_CONTEXT) return;
        glDeleteRenderbuffers(2, renderbuffers_);
        glDeleteFramebuffers(1, &framebuffer_);
        eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        eglDestroyContext(display_, context_);
    }

    // A clear frame showing x and y in [-extent, extent]; lit from the viewer, or plain white.
    void frame(double extent, bool lit, bool cull = true) {
        extent_ = extent;
        glClearColor(0, 0, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glOrtho(-extent, extent, -extent, extent, -10, 10);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glEnable(GL_DEPTH_TEST);
        if (lit) {
            const GLfloat towards_viewer[] = {0, 0, 1, 0}, black[] = {0, 0, 0, 1};
            glEnable(GL_LIGHTING);
            glEnable(GL_LIGHT0);
            glLightfv(GL_LIGHT0, GL_POSITION, towards_viewer);
            glLightModelfv(GL_LIGHT_MODEL_AMBIENT, black);
        } else {
            glDisable(GL_LIGHTING);
            glColor3f(1, 1, 1);
        }
        if (cull) {
            glEnable(GL_CULL_FACE);
            glCullFace(GL_BACK);
        } else {
            glDisable(GL_CULL_FACE);
        }
    }

    // The pixel column or row of world coordinate v in the current frame.
    int pixel(double v) const { return static_cast<int>(std::floor((v + extent_) / (2 * extent_) * SIDE)); }

    void read() {
        pixels_.assign(SIDE * SIDE * 4, 0);
        glReadPixels(0, 0, SIDE, SIDE, GL_RGBA, GL_UNSIGNED_BYTE, pixels_.data());
    }
    int red(int x, int y) const { return pixels_[static_cast<size_t>((y * SIDE + x) * 4)]; }

    Coverage coverage() {
        read();
        Coverage c;
        for (int y = 0; y < SIDE; ++y)
            for (int x = 0; x < SIDE; ++x) {
                if (red(x, y) == 0) continue;
                ++c.drawn;
                if (red(x, y) > 60) ++c.lit;
                c.x0 = std::min(c.x0, x), c.x1 = std::max(c.x1, x);
                c.y0 = std::min(c.y0, y), c.y1 = std::max(c.y1, y);
            }
        return c;
    }

private:
    void attach(GLuint renderbuffer, GLenum format, GLenum attachment) {
        glBindRenderbuffer(GL_RENDERBUFFER, renderbuffer);
        glRenderbufferStorage(GL_RENDERBUFFER, format, SIDE, SIDE);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, attachment, GL_RENDERBUFFER, renderbuffer);
    }

    EGLDisplay display_ = EGL_NO_DISPLAY;
    EGLContext context_ = EGL_NO_CONTEXT;
    GLuint framebuffer_ = 0, renderbuffers_[2] = {};
    double extent_ = 1;
    std::vector<unsigned char> pixels_;
};

void expect_near_pixel(int actual, int expected, const char* what) {
    EXPECT_LE(std::abs(actual - expected), 1) << what << ": " << actual << " for " << expected;
}

TEST_F(GlutShapes, CubeIsCentredWithOneNormalPerFace) {
    frame(1, true);
    draw_cube(1.0, true);
    Coverage front = coverage();
    expect_near_pixel(front.x0, pixel(-0.5), "left");
    expect_near_pixel(front.x1, pixel(0.5) - 1, "right");
    expect_near_pixel(front.y0, pixel(-0.5), "bottom");
    expect_near_pixel(front.y1, pixel(0.5) - 1, "top");
    EXPECT_EQ(red(SIDE / 2, SIDE / 2), FULL);  // the +z face faces the light

    // Turned so three faces show: culling keeps them (counter-clockwise outside) and each is lit by its normal.
    frame(1, true);
    glRotatef(30, 1, 0, 0);
    glRotatef(40, 0, 1, 0);
    draw_cube(1.0, true);
    Coverage turned = coverage();
    EXPECT_GT(turned.drawn, front.drawn);
    EXPECT_GT(turned.lit, turned.drawn * 95 / 100);

    frame(1, false, false);
    draw_cube(1.0, false);
    Coverage wire = coverage();
    EXPECT_EQ(red(SIDE / 2, SIDE / 2), 0);
    expect_near_pixel(wire.x0, pixel(-0.5), "wire left");
    expect_near_pixel(wire.x1, pixel(0.5), "wire right");
}

TEST_F(GlutShapes, SphereHasOutwardNormalsAndItsPoleOnZ) {
    frame(1, true);
    draw_sphere(0.8, 32, 16, true);
    Coverage disc = coverage();
    EXPECT_LE(std::abs(disc.x1 - pixel(0.8)), 2);
    EXPECT_LE(std::abs(disc.y0 - pixel(-0.8)), 2);
    EXPECT_GE(red(SIDE / 2, SIDE / 2), FULL - 1);   // facing the light
    EXPECT_LT(red(pixel(0.78), SIDE / 2), FULL / 2);  // turned away at the rim

    // From the side, with the z axis pointing up the frame: four stacks put a ring on the equator, a horizontal
    // line through the middle; seen from the pole, the same sphere shows no such line.
    frame(1, false, false);
    glRotatef(-90, 1, 0, 0);
    draw_sphere(0.8, 8, 4, false);
    read();
    int equator = 0;
    for (int x = 0; x < SIDE; ++x) equator += red(x, SIDE / 2) || red(x, SIDE / 2 - 1);
    EXPECT_GT(equator, SIDE * 6 / 10);
    frame(1, false, false);
    draw_sphere(0.8, 8, 4, false);
    read();
    int across = 0;
    for (int x = 0; x < SIDE; ++x) across += red(x, SIDE / 2 + 20) != 0;
    EXPECT_LT(across, 10);
}

TEST_F(GlutShapes, SphereWithoutDivisionsDrawsNothing) {
    frame(1, false, false);
    draw_sphere(0.8, 0, 4, true);
    draw_sphere(0.8, 8, 0, false);
    draw_sphere(0.8, -3, 4, true);
    draw_sphere(0.8, SPHERE_DIVISIONS_MAX + 1, 4, true);
    EXPECT_EQ(coverage().drawn, 0);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

// Newell's teapot halved and centred: the handle's back at x -1.5, the spout's lip short of 1.7625, the bottom at
// y -0.75, the knob's top at 0.825.
TEST_F(GlutShapes, TeapotStandsLikeGlutsAndFacesOut) {
    frame(2, true, false);
    draw_teapot(1.0, true);
    Coverage side = coverage();
    expect_near_pixel(side.x0, pixel(-1.5), "handle");
    EXPECT_GT(side.x1, pixel(1.65));
    EXPECT_LE(side.x1, pixel(1.7625));
    expect_near_pixel(side.y0, pixel(-0.75), "bottom");
    expect_near_pixel(side.y1, pixel(0.825) - 1, "knob");
    EXPECT_GT(side.lit, side.drawn * 85 / 100);

    frame(2, true, true);
    draw_teapot(1.0, true);
    EXPECT_GT(coverage().drawn, side.drawn * 97 / 100);

    for (float turn : {90.0f, -90.0f}) {  // from above, the knob; from below, the bottom
        frame(2, true, true);
        glRotatef(turn, 1, 0, 0);
        draw_teapot(1.0, true);
        Coverage c = coverage();
        EXPECT_GT(c.lit, c.drawn * 8 / 10) << turn;
        EXPECT_GE(red(SIDE / 2, SIDE / 2), FULL - 4) << turn;
    }
}

TEST_F(GlutShapes, TeapotSizesWireAndMirror) {
    frame(2, false, false);
    draw_teapot(1.0, true);
    Coverage one = coverage();

    frame(4, false, false);
    draw_teapot(2.0, true);
    Coverage two = coverage();
    EXPECT_LE(std::abs(two.x1 - one.x1), 1);
    EXPECT_LE(std::abs(two.y0 - one.y0), 1);

    frame(2, false, false);
    draw_teapot(1.0, false);
    Coverage wire = coverage();
    EXPECT_LT(wire.drawn, one.drawn * 8 / 10);
    EXPECT_GT(wire.drawn, one.drawn / 10);
    EXPECT_LE(std::abs(wire.x1 - one.x1), 1);

    // A negative size turns it through the origin; it is still lit and survives culling.
    frame(2, true, true);
    draw_teapot(-1.0, true);
    Coverage mirrored = coverage();
    EXPECT_EQ(mirrored.x0, SIDE - 1 - one.x1);
    EXPECT_GT(mirrored.drawn, one.drawn * 97 / 100);
    EXPECT_GT(mirrored.lit, mirrored.drawn * 85 / 100);
}

TEST_F(GlutShapes, StateIsRestoredAndShapesCompileIntoLists) {
    glNormal3f(0.25f, 0.5f, 0.75f);
    glTexCoord2f(0.125f, 0.375f);
    GLint depth_before = 0, depth_after = 0;
    glGetIntegerv(GL_ATTRIB_STACK_DEPTH, &depth_before);
    draw_cube(1, true);
    draw_sphere(1, 5, 5, false);
    draw_teapot(1, true);
    draw_teapot(1, false);
    GLfloat normal[4] = {}, tex[4] = {};
    glGetFloatv(GL_CURRENT_NORMAL, normal);
    glGetFloatv(GL_CURRENT_TEXTURE_COORDS, tex);
    glGetIntegerv(GL_ATTRIB_STACK_DEPTH, &depth_after);
    EXPECT_EQ(normal[0], 0.25f);
    EXPECT_EQ(normal[2], 0.75f);
    EXPECT_EQ(tex[0], 0.125f);
    EXPECT_EQ(tex[1], 0.375f);
    EXPECT_EQ(depth_before, depth_after);

    frame(2, true, false);
    draw_teapot(1.0, true);
    const int immediate = coverage().drawn;
    const GLuint list = glGenLists(1);
    glNewList(list, GL_COMPILE);
    draw_teapot(1.0, true);
    glEndList();
    frame(2, true, false);
    glCallList(list);
    EXPECT_EQ(coverage().drawn, immediate);
    glDeleteLists(list, 1);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

// The mesh itself: unit normals that agree with the winding of every regular triangle, and GLUT's symmetry.
TEST(TeapotMesh, NormalsAgreeWithWindingAndTheTeapotIsSymmetric) {
    const TeapotMesh& mesh = teapot_mesh();
    ASSERT_EQ(mesh.vertices.size(), static_cast<size_t>(TeapotMesh::PATCHES * TeapotMesh::SIDE * TeapotMesh::SIDE));
    auto sub = [](const std::array<float, 3>& a, const std::array<float, 3>& b) {
        return std::array<double, 3>{a[0] - b[0], a[1] - b[1], a[2] - b[2]};
    };
    int regular = 0;
    double agreement = 0;
    for (int patch = 0; patch < TeapotMesh::PATCHES; ++patch)
        for (int row = 0; row < TeapotMesh::GRID; ++row)
            for (int column = 0; column < TeapotMesh::GRID; ++column) {
                const TeapotVertex& a = mesh.at(patch, row, column);
                const auto e1 = sub(mesh.at(patch, row, column + 1).position, a.position);
                const auto e2 = sub(mesh.at(patch, row + 1, column).position, a.position);
                const std::array<double, 3> n = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                                                 e1[0] * e2[1] - e1[1] * e2[0]};
                const double area = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
                const double len = std::hypot(a.normal[0], a.normal[1], a.normal[2]);
                EXPECT_NEAR(len, 1.0, 1e-5);
                if (area < 1e-6) continue;  // collapsed at the knob's top and the bottom's centre
                ++regular;
                const double agree = (n[0] * a.normal[0] + n[1] * a.normal[1] + n[2] * a.normal[2]) / area;
                // Same side everywhere; only across the spout's tight lip do they part by much.
                EXPECT_GT(agree, 0.0) << "patch " << patch << " row " << row << " column " << column;
                agreement += agree;
            }
    EXPECT_GT(regular, TeapotMesh::PATCHES * TeapotMesh::GRID * TeapotMesh::GRID * 9 / 10);
    EXPECT_GT(agreement / regular, 0.97);

    // Mirrored in z (the spout and handle lie on z = 0), every vertex has a twin with the mirrored normal.
    for (size_t i = 0; i < mesh.vertices.size(); i += 7) {
        const TeapotVertex& v = mesh.vertices[i];
        const bool twin = std::any_of(mesh.vertices.begin(), mesh.vertices.end(), [&](const TeapotVertex& w) {
            return std::abs(w.position[0] - v.position[0]) < 1e-5 && std::abs(w.position[1] - v.position[1]) < 1e-5 &&
                   std::abs(w.position[2] + v.position[2]) < 1e-5 && std::abs(w.normal[2] + v.normal[2]) < 1e-4;
        });
        EXPECT_TRUE(twin) << "vertex " << i;
    }
}

}  // namespace
}  // namespace omb
