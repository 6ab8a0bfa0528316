// OpenGL views headless (EGL on Mesa's software renderer) through a real process: frames cleared and drawn, read
// back with gl:read-pixels and through the backing image (top row first), a lit cube of vertex arrays, display
// lists, a shader program, the float and integer uniform variants, every kind of refused call (the view still
// works after each), vertex data held while GL may read it, and two threads drawing on one view.
#include <GL/gl.h>

#include <atomic>
#include <thread>

#include "graphics/gl_pixel_sizes.h"
#include "graphics/opengl_view.h"
#include "native/native_scheme.h"
#include "tests/graphics/canvas_support.h"

namespace omb::test {
namespace {

const bool registered = (add_native_library(NativeScheme::schemeInit), true);

// The constants the pieces use (the program's own table of them is loaded elsewhere).
constexpr const char* CONSTANTS = R"((begin
  (define GL_COLOR_BUFFER_BIT #x4000) (define GL_DEPTH_BUFFER_BIT #x100) (define GL_RGBA #x1908)
  (define GL_FLOAT #x1406) (define GL_UNSIGNED_BYTE #x1401) (define GL_QUADS 7) (define GL_TRIANGLES 4)
  (define GL_PROJECTION #x1701) (define GL_MODELVIEW #x1700) (define GL_COMPILE #x1300)
  (define GL_VERTEX_ARRAY #x8074) (define GL_NORMAL_ARRAY #x8075) (define GL_LIGHTING #xB50)
  (define GL_LIGHT0 #x4000) (define GL_POSITION #x1203) (define GL_DIFFUSE #x1201) (define GL_DEPTH_TEST #xB71)
  (define GL_FRAGMENT_SHADER #x8B30) (define GL_VERTEX_SHADER #x8B31) (define GL_FRONT_AND_BACK #x408)
  (define GL_AMBIENT_AND_DIFFUSE #x1602) (define GL_SMOOTH #x1D01) (define GL_UNSIGNED_SHORT #x1403)))";

constexpr uint32_t GREEN = 0xff00ff00;

class OpenGL : public GraphicsTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(registered);
        GraphicsTest::SetUp();
        ASSERT_NE(c.eval(CONSTANTS), "<no reply>");
    }
    // A view of w x h opened (headless: no window), bound to `name` and kept.
    void open_view(const std::string& name, int w, int h, const std::string& how = "") {
        make(name, "(gl:make-opengl " + how + ")");
        ASSERT_EQ(c.eval("(gl:open-opengl " + name + " '(0 0 " + std::to_string(w) + " " + std::to_string(h) + "))"),
                  "#t");
    }
    // Clears the view to a colour and copies the frame out.
    std::string clear(const std::string& v, const std::string& rgba) {
        return c.eval("(list (gl:clear-color " + v + " " + rgba + ") (gl:clear " + v +
                      " GL_COLOR_BUFFER_BIT) (gl:update-backing-image " + v + "))");
    }
    // A 2D projection with y up, one unit a pixel.
    void pixel_projection(const std::string& v, int w, int h) {
        ASSERT_EQ(c.eval("(begin (gl:matrix-mode " + v + " GL_PROJECTION) (gl:load-identity " + v + ") (gl:ortho " + v +
                         " 0 " + std::to_string(w) + " 0 " + std::to_string(h) + " -1 1) (gl:matrix-mode " + v +
                         " GL_MODELVIEW) (gl:load-identity " + v + "))"),
                  "#t");
    }
    // The frame's pixel at x, y (from the bottom) as 4 floats, through gl:read-pixels.
    std::string read_rgba(const std::string& v, int x, int y) {
        return c.eval("(let ((d (objc:make \"NSMutableData\" \"initWithLength:\" 16))) (gl:read-pixels " + v + " " +
                      std::to_string(x) + " " + std::to_string(y) + " 1 1 GL_RGBA GL_FLOAT d) (objc:nsdata->vector d))");
    }
};

TEST_F(OpenGL, ClearedFrameReadsBackThroughPixelsAndBackingImage) {
    open_view("v", 64, 48);
    EXPECT_EQ(clear("v", "1 0 0 1"), "(#t #t #t)");
    EXPECT_EQ(read_rgba("v", 5, 5), "#(1 0 0 1)");
    EXPECT_EQ(pixel(0, 0), RED);
    EXPECT_EQ(pixel(63, 47), RED);
    EXPECT_EQ(c.eval("(gl:get-window-size v)"), "(64 . 48)");
    // A half-transparent clear is stored premultiplied, as canvas bitmaps are.
    clear("v", "0 0 1 0.5");
    EXPECT_EQ(pixel(10, 10), 0x80000080u);
    // The image handed out keeps its frame; the next frame makes a new one.
    clear("v", "0 1 0 1");
    ASSERT_EQ(c.eval("(define img (gl:get-image-from-opengl v))"), "img");
    EXPECT_EQ(c.eval("(gfx:get-image-size img)"), "(64 . 48)");
    clear("v", "1 0 0 1");
    EXPECT_EQ(pixel(1, 1), RED);
}

TEST_F(OpenGL, TopLeftOfTheBackingImageIsTheFramesTopLeft) {
    open_view("v", 40, 30);
    clear("v", "1 0 0 1");
    pixel_projection("v", 40, 30);
    // An 8 x 8 square in the frame's top-left corner (GL's y counts up).
    ASSERT_EQ(c.eval("(begin (gl:color v 0 1 0) (gl:begin v GL_QUADS) (gl:vertex v 0 22) (gl:vertex v 8 22)"
                     " (gl:vertex v 8 30) (gl:vertex v 0 30) (gl:end v) (gl:update-backing-image v))"),
              "#t");
    EXPECT_EQ(read_rgba("v", 0, 29), "#(0 1 0 1)");
    // The bitmap's first row is the top one.
    cairo_surface_t* s = kept->surface();
    ASSERT_NE(s, nullptr);
    cairo_surface_flush(s);
    EXPECT_EQ(reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(s))[0], GREEN);
    cairo_surface_destroy(s);
    EXPECT_EQ(pixel(0, 29), GREEN);
    EXPECT_EQ(pixel(0, 0), RED);
    EXPECT_EQ(pixel(39, 29), RED);
    // glut:swap-buffers copies the frame out too.
    ASSERT_EQ(c.eval("(begin (gl:clear-color v 0 0 1 1) (gl:clear v GL_COLOR_BUFFER_BIT) (glut:swap-buffers v))"), "#t");
    EXPECT_EQ(pixel(0, 29), BLUE);
}

TEST_F(OpenGL, MultisampledViewResolvesItsFrame) {
    open_view("m", 32, 32, "#t");
    EXPECT_TRUE(log.saw(log.outputs, "With Multisampling"));
    pixel_projection("m", 32, 32);
    ASSERT_EQ(c.eval("(begin (gl:clear-color m 0 0 1 1) (gl:clear m GL_COLOR_BUFFER_BIT) (gl:color m 1 0 0)"
                     " (gl:begin m GL_TRIANGLES) (gl:vertex m 0 0) (gl:vertex m 32 0) (gl:vertex m 0 32) (gl:end m)"
                     " (glut:swap-buffers m))"),
              "#t");
    EXPECT_EQ(pixel(2, 2), RED);
    EXPECT_EQ(pixel(30, 30), BLUE);
    EXPECT_TRUE(log.saw(log.outputs, "OPENGL CONTEXT: 4.5 (Compatibility Profile)"));
}

TEST_F(OpenGL, LitCubeFromVertexArraysIsShaded) {
    open_view("v", 64, 64);
    // The three faces of a cube that look at the viewer, each with its own normal.
    ASSERT_EQ(c.eval(R"((begin
      (define verts (objc:vector->nsdata-float (vector
         -1 -1 1  1 -1 1  1 1 1  -1 1 1   1 -1 1  1 -1 -1  1 1 -1  1 1 1   -1 1 1  1 1 1  1 1 -1  -1 1 -1)))
      (define norms (objc:vector->nsdata-float (vector
         0 0 1  0 0 1  0 0 1  0 0 1   1 0 0  1 0 0  1 0 0  1 0 0   0 1 0  0 1 0  0 1 0  0 1 0)))
      (gl:enable v GL_DEPTH_TEST) (gl:enable v GL_LIGHTING) (gl:enable v GL_LIGHT0) (gl:shade-model v GL_SMOOTH)
      (gl:light v GL_LIGHT0 GL_POSITION (vector 0.3 0.5 1 0))
      (gl:material v GL_FRONT_AND_BACK GL_AMBIENT_AND_DIFFUSE (vector 0.9 0.6 0.2 1))
      (gl:matrix-mode v GL_PROJECTION) (gl:load-identity v) (glu:perspective v 40 1 1 20)
      (gl:matrix-mode v GL_MODELVIEW) (gl:load-identity v) (glu:look-at v 0 0 6 0 0 0 0 1 0)
      (gl:rotate v 30 1 0 0) (gl:rotate v -35 0 1 0)
      (gl:clear-color v 0 0 0 1) (gl:clear v (io:binary-or GL_COLOR_BUFFER_BIT GL_DEPTH_BUFFER_BIT))
      (gl:enable-client-state v GL_VERTEX_ARRAY) (gl:enable-client-state v GL_NORMAL_ARRAY)
      (gl:vertex-pointer v 3 GL_FLOAT 0 0 verts) (gl:normal-pointer v GL_FLOAT 0 0 norms)
      (gl:draw-arrays v GL_QUADS 0 12) (gl:update-backing-image v)))"),
              "#t");
    EXPECT_EQ(c.eval("(gl:get-error v)"), "0");
    const uint32_t centre = pixel(32, 32);
    EXPECT_NE(centre, 0xff000000u);
    // Faces turned differently to the light come out in different shades.
    std::set<uint32_t> shades;
    for (int y = 8; y < 56; y += 4)
        for (int x = 8; x < 56; x += 4)
            if (pixel(x, y) != 0xff000000u) shades.insert(pixel(x, y));
    EXPECT_GE(shades.size(), 3u);
}

TEST_F(OpenGL, GlutShapesDrawLitAndRefuseBadDivisions) {
    open_view("v", 48, 48);
    ASSERT_EQ(c.eval(R"((begin
      (gl:enable v GL_DEPTH_TEST) (gl:enable v GL_LIGHTING) (gl:enable v GL_LIGHT0)
      (gl:light v GL_LIGHT0 GL_POSITION (vector 1 1 1 0))
      (gl:matrix-mode v GL_PROJECTION) (gl:load-identity v) (gl:ortho v -1 1 -1 1 -5 5)
      (gl:matrix-mode v GL_MODELVIEW) (gl:load-identity v) (gl:rotate v 30 1 1 0)
      (gl:clear-color v 0 0 0 1) (gl:clear v (io:binary-or GL_COLOR_BUFFER_BIT GL_DEPTH_BUFFER_BIT))
      (glut:solid-sphere v 0.8 24 16) (gl:update-backing-image v)))"),
              "#t");
    EXPECT_NE(pixel(24, 24), 0xff000000u);
    EXPECT_EQ(pixel(1, 1), 0xff000000u);
    EXPECT_NE(pixel(24, 24), pixel(24, 36));  // shaded, not flat
    EXPECT_EQ(c.eval("(glut:solid-sphere v 1 0 8)"), "#f");
    EXPECT_EQ(c.eval("(list (glut:wire-cube v 1) (glut:solid-teapot v 0.5) (glut:wire-sphere v 1 8 8) (gl:get-error v))"),
              "(#t #t #t 0)");
}

TEST_F(OpenGL, DisplayListReplaysItsDrawing) {
    open_view("v", 16, 16);
    pixel_projection("v", 16, 16);
    ASSERT_EQ(c.eval("(define l (gl:gen-lists v 1))"), "l");
    EXPECT_EQ(c.eval("(> l 0)"), "#t");
    ASSERT_EQ(c.eval("(list (gl:new-list v l GL_COMPILE) (gl:color v 0 1 0) (gl:begin v GL_QUADS) (gl:vertex v 0 0)"
                     " (gl:vertex v 16 0) (gl:vertex v 16 16) (gl:vertex v 0 16) (gl:end v) (gl:end-list v))"),
              "(#t #t #t #t #t #t #t #t #t)");
    clear("v", "1 0 0 1");  // compiling drew nothing
    EXPECT_EQ(pixel(8, 8), RED);
    ASSERT_EQ(c.eval("(begin (gl:call-list v l) (gl:update-backing-image v))"), "#t");
    EXPECT_EQ(pixel(8, 8), GREEN);
}

TEST_F(OpenGL, ShaderProgramColoursAQuadAndUniformsPickTheirVariant) {
    open_view("v", 16, 16);
    pixel_projection("v", 16, 16);
    ASSERT_EQ(c.eval(R"((begin
      (define vs (gl:create-shader v GL_VERTEX_SHADER))
      (gl:shader-source v vs "void main() { gl_Position = ftransform(); }")
      (gl:compile-shader v vs)
      (define fs (gl:create-shader v GL_FRAGMENT_SHADER))
      (gl:shader-source v fs (objc:string->nsstring
        "uniform vec4 colour; uniform int which; uniform float level;
         void main() { gl_FragColor = which == 2 ? colour * level : vec4(1.0); }"))
      (gl:compile-shader v fs)
      (define p (gl:create-program v))
      (gl:attach-shader v p vs) (gl:attach-shader v p fs) (gl:link-program v p) (gl:use-program v p)
      (gl:get-program-info-log v p)
      #t))"),
              "#t");
    ASSERT_EQ(c.eval("(define at (list (gl:get-uniform-location v p \"colour\") (gl:get-uniform-location v p \"which\")"
                     " (gl:get-uniform-location v p \"level\")))"),
              "at");
    EXPECT_EQ(c.eval("(apply min at)"), "0");  // all three found
    // 2 is an integer: glUniform1i, right for an int; 1.0 is a real: glUniform1f, right for a float.
    EXPECT_EQ(c.eval("(list (gl:uniform v (cadr at) 2) (gl:get-error v) (gl:uniform v (caddr at) 1.0) (gl:get-error v))"),
              "(#t 0 #t 0)");
    // The other way round GL refuses each (GL_INVALID_OPERATION).
    EXPECT_EQ(c.eval("(list (gl:uniform v (cadr at) 2.0) (gl:get-error v) (gl:uniform v (caddr at) 1) (gl:get-error v))"),
              "(#t 1282 #t 1282)");
    ASSERT_EQ(c.eval("(begin (gl:uniform v (car at) 0.0 1.0 0.0 1.0) (gl:clear-color v 1 0 0 1)"
                     " (gl:clear v GL_COLOR_BUFFER_BIT) (gl:begin v GL_QUADS) (gl:vertex v 0 0) (gl:vertex v 16 0)"
                     " (gl:vertex v 16 16) (gl:vertex v 0 16) (gl:end v) (gl:use-program v 0) (gl:update-backing-image v))"),
              "#t");
    EXPECT_EQ(pixel(8, 8), GREEN);
    // A shader that does not compile: its log is posted as a notification.
    ASSERT_EQ(c.eval("(let ((bad (gl:create-shader v GL_FRAGMENT_SHADER))) (gl:shader-source v bad \"void main() { nonsense; }\")"
                     " (gl:compile-shader v bad) (gl:get-shader-info-log v bad))"),
              "#t");
    EXPECT_TRUE(log.saw(log.notes, "nonsense"));
}

TEST_F(OpenGL, RefusedCallsReturnFalseAndTheViewGoesOn) {
    open_view("v", 8, 8);
    EXPECT_EQ(c.eval("(gl:clear 5 GL_COLOR_BUFFER_BIT)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "First argument must be an opengl canvas"));
    EXPECT_EQ(c.eval("(gl:clear (gfx:make-canvas 4 4) GL_COLOR_BUFFER_BIT)"), "#f");
    EXPECT_EQ(c.eval("(gl:vertex v 1)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "gl:vertex: bad arguments"));
    EXPECT_EQ(c.eval("(gl:vertex v 1 2 3 4 5)"), "#f");
    EXPECT_EQ(c.eval("(gl:clear-color v \"red\" 0 0 1)"), "#f");
    EXPECT_EQ(c.eval("(gl:light v GL_LIGHT0 GL_POSITION 'up)"), "#f");
    EXPECT_EQ(c.eval("(gl:read-pixels v 0 0 1 1 GL_RGBA GL_FLOAT 7)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "arg 5 should be an NSMutableData* object"));
    EXPECT_EQ(c.eval("(gl:read-pixels v 0 0 1 1 GL_RGBA GL_FLOAT (objc:vector->nsdata-float #(1 2 3 4)))"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "arg 5 must be an NSMutableData* object"));
    // Too small for the rectangle: GL never writes past the data.
    EXPECT_EQ(c.eval("(gl:read-pixels v 0 0 8 8 GL_RGBA GL_FLOAT (objc:make \"NSMutableData\" \"initWithLength:\" 16))"),
              "#f");
    EXPECT_TRUE(log.saw(log.errors, "a 8 x 8 rectangle needs 1024"));
    EXPECT_EQ(c.eval("(gl:draw-pixels v 2 2 GL_RGBA GL_UNSIGNED_BYTE 'x)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "arg 5 should be an NSData object or NSBitmapImageRep"));
    EXPECT_EQ(c.eval("(gl:draw-pixels v 2 2 GL_RGBA GL_UNSIGNED_BYTE (objc:vector->nsdata-uint8 #(1 2 3)))"), "#f");
    // An enabled array with no data, or data too short for the draw: refused, not read.
    EXPECT_EQ(c.eval("(begin (gl:enable-client-state v GL_VERTEX_ARRAY) (gl:draw-arrays v GL_TRIANGLES 0 3))"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "the vertex array is enabled but has no data"));
    EXPECT_EQ(c.eval("(begin (gl:vertex-pointer v 2 GL_FLOAT 0 0 (objc:vector->nsdata-float #(0 0 1 1)))"
                     " (gl:draw-arrays v GL_TRIANGLES 0 3))"),
              "#f");
    EXPECT_EQ(c.eval("(gl:draw-elements v GL_TRIANGLES 2 GL_UNSIGNED_SHORT (objc:vector->nsdata-int #(9)))"), "#f");
    // Inside begin and end too, where GL answers no questions.
    EXPECT_EQ(c.eval("(list (gl:begin v GL_TRIANGLES) (gl:array-element v 5) (gl:end v))"), "(#t #f #t)");
    EXPECT_EQ(c.eval("(gl:disable-client-state v GL_VERTEX_ARRAY)"), "#t");
    // Pixel formats.
    EXPECT_EQ(c.eval("(gl:make-opengl 5)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Bad arguments for make-opengl"));
    EXPECT_EQ(c.eval("(objc:null? (gl:make-opengl #(80 12 24)))"), "#t");
    EXPECT_TRUE(log.saw(log.errors, "Did you remember to place a 0 as the last element?"));
    EXPECT_EQ(c.eval("(objc:null? (gl:make-opengl #(80 12 24 0)))"), "#f");
    // After all that the view still draws.
    EXPECT_EQ(clear("v", "0 1 0 1"), "(#t #t #t)");
    EXPECT_EQ(pixel(4, 4), GREEN);
}

TEST_F(OpenGL, VertexDataOutlivesItsSchemeVector) {
    open_view("v", 16, 16);
    pixel_projection("v", 16, 16);
    clear("v", "1 0 0 1");
    ASSERT_EQ(c.eval("(begin (gc) #t)"), "#t");
    log.flush();  // objects of collected cells are let go on the main thread
    const size_t before = Object::live_count();
    ASSERT_EQ(c.eval("(begin (gl:enable-client-state v GL_VERTEX_ARRAY)"
                     " (gl:vertex-pointer v 2 GL_FLOAT 0 0 (objc:vector->nsdata-float (vector 0 0 16 0 16 16 0 16)))"
                     " (gc) (gc) #t)"),
              "#t");
    log.flush();
    // The data's cell is gone; the view still holds the object, so one more object lives than before.
    EXPECT_EQ(Object::live_count(), before + 1);
    ASSERT_EQ(c.eval("(begin (gl:color v 0 1 0) (gl:draw-arrays v GL_QUADS 0 4) (gl:update-backing-image v))"), "#t");
    EXPECT_EQ(pixel(8, 8), GREEN);
    // Other data replaces it, and closing lets go of what is held.
    ASSERT_EQ(c.eval("(begin (gl:vertex-pointer v 2 GL_FLOAT 0 0 (objc:vector->nsdata-float (vector 0 0 1 0 1 1)))"
                     " (gc) (gl:close-opengl v))"),
              "#t");
    log.flush();
    EXPECT_EQ(Object::live_count(), before);
    EXPECT_EQ(c.eval("(gl:draw-arrays v GL_TRIANGLES 0 3)"), "#f");
}

// Each thread clears to its own colour and reads it back inside one Current: another thread's call between the
// two would show as the wrong colour.
TEST_F(OpenGL, TwoThreadsOnOneViewAreSerialisedCallByCall) {
    open_view("v", 8, 8);
    auto* view = dynamic_cast<CustomOpenGLView*>(kept.get());
    ASSERT_NE(view, nullptr);
    std::atomic<int> wrong{0};
    const auto worker = [&](float r, float g) {
        for (int i = 0; i < 200; ++i) {
            CustomOpenGLView::Current current(*view);
            if (!current) return ++wrong, void();
            glClearColor(r, g, 0, 1);
            glClear(GL_COLOR_BUFFER_BIT);
            uint8_t px[4] = {};
            glReadPixels(0, 0, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, px);
            if (px[0] != static_cast<uint8_t>(r * 255) || px[1] != static_cast<uint8_t>(g * 255)) ++wrong;
        }
    };
    std::thread a(worker, 1.0f, 0.0f), b(worker, 0.0f, 1.0f);
    // Meanwhile the process's own thread calls on the same view.
    for (int i = 0; i < 20; ++i) EXPECT_EQ(c.eval("(gl:clear v GL_COLOR_BUFFER_BIT)"), "#t");
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(PixelAttributes, ListsEndWithZeroAndAskForWhatTheyName) {
    const auto plain = pixel_attributes::parse(pixel_attributes::PLAIN);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->samples, 0);
    EXPECT_TRUE(plain->depth && plain->stencil);
    const auto multi = pixel_attributes::parse(pixel_attributes::MULTISAMPLE);
    ASSERT_TRUE(multi);
    EXPECT_EQ(multi->samples, 4);
    const int64_t no_end[] = {80, 12, 24};
    EXPECT_FALSE(pixel_attributes::parse(no_end));
    const int64_t value_missing[] = {12};
    EXPECT_FALSE(pixel_attributes::parse(value_missing));
    const int64_t bare[] = {80, 0};
    const auto b = pixel_attributes::parse(bare);
    ASSERT_TRUE(b);
    EXPECT_FALSE(b->depth || b->stencil);
}

TEST(PixelSizes, RowsFollowAlignmentRowLengthAndSkips) {
    PixelStore s;
    EXPECT_EQ(image_bytes(GL_RGBA, GL_UNSIGNED_BYTE, 3, 2, s), 24u);
    EXPECT_EQ(image_bytes(GL_RGB, GL_UNSIGNED_BYTE, 3, 2, s), 12u + 9u);  // rows padded to 4: 12, then 9
    s.alignment = 1;
    EXPECT_EQ(image_bytes(GL_RGB, GL_UNSIGNED_BYTE, 3, 2, s), 18u);
    s.row_length = 10;
    s.skip_rows = 1;
    s.skip_pixels = 2;
    EXPECT_EQ(image_bytes(GL_RGBA, GL_FLOAT, 2, 2, s), 2u * 10 * 16 + 4u * 16);
    EXPECT_EQ(image_bytes(GL_RGBA, GL_UNSIGNED_INT_8_8_8_8_REV, 1, 1, PixelStore{}), 4u);
    EXPECT_EQ(image_bytes(GL_RGBA, GL_UNSIGNED_BYTE, 0, 5, PixelStore{}), 0u);
    EXPECT_FALSE(image_bytes(0x1234, GL_UNSIGNED_BYTE, 1, 1, PixelStore{}));
    EXPECT_FALSE(image_bytes(GL_RGBA, 0x1234, 1, 1, PixelStore{}));
}

}  // namespace
}  // namespace omb::test

static auto* const process_environment = ::testing::AddGlobalTestEnvironment(new omb::test::ProcessEnvironment);
