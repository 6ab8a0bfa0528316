// The live video names called directly on an interpreter of their own, the test thread standing in for the main
// thread, with testsrc as the camera: the listing's texts, a feed that delivers opaque frames that change, bounds that
// resize them, device and input numbers refused or switched (a device that cannot open leaves the old one running),
// no camera at all, an executer that stops waiting for a main thread that never comes, and stopping with no thread
// left behind, in here and in the real program.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <thread>
#include <vector>

#include "graphics/bitmap_image.h"
#include "graphics/video_devices.h"
#include "interpreter/scheme.h"
#include "native/controller.h"
#include "native/live_video_scheme.h"
#include "native/native_scheme_helper.h"
#include "tests/runtime/process_support.h"
#include "tests/support/free_port.h"
#include "tests/support/log_capture.h"

namespace omb {
namespace {

using test::eventually;
using test::LogCapture;
using namespace std::chrono_literals;

constexpr char kTestSource[] = "lavfi:testsrc=size=320x240:rate=30";
// testsrc as the camera, and a V4L2 "device" that has no inputs and never opens.
constexpr char kDevices[] = "lavfi:testsrc=size=320x240:rate=30;video4linux2:/dev/null";

bool has_real_cameras() {
    for (int i = 0; i < 64; ++i)
        if (std::filesystem::exists("/dev/video" + std::to_string(i))) return true;
    return false;
}

size_t thread_count() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& t : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

class LiveVideoNames : public ::testing::Test {
protected:
    void SetUp() override {
        if (has_real_cameras()) GTEST_SKIP() << "this machine has cameras: the listing would not be ours";
        sc = scheme_init_new();
        ASSERT_NE(sc, nullptr);
    }
    void TearDown() override {
        native_scheme_helper().stop_feed();
        set_native_controller(nullptr);
        ::unsetenv("OMBREL_VIDEO_DEVICES");
        if (sc) scheme_deinit(sc), std::free(sc);
    }

    pointer call(std::string_view name, std::initializer_list<pointer> args = {}) {
        pointer list = sc->NIL;
        for (auto it = std::rbegin(args); it != std::rend(args); ++it) list = s_cons(sc, *it, list);
        for (const NativeProcedure& p : live_video_procedures())
            if (name == p.name) {
                protect_cell(sc, list);
                pointer result = p.procedure(sc, list);
                unprotect_cell(sc, list);
                return result;
            }
        ADD_FAILURE() << "no procedure " << name;
        return sc->NIL;
    }
    pointer num(double v) { return mk_real(sc, v); }
    pointer integer(int64_t v) { return mk_integer(sc, v); }

    // The frame "gfx:get-live-frame" answers now; null for an objc cell holding nothing.
    Ref<BitmapImage> frame() {
        pointer cell = call("gfx:get-live-frame");
        if (!is_objc(cell)) {
            ADD_FAILURE() << "not an objc cell";
            return {};
        }
        return Ref<BitmapImage>::retain(dynamic_cast<BitmapImage*>(objc_value(cell)));
    }
    // Waits for a frame of w x h delivered after the ones counted so far.
    Ref<BitmapImage> next_frame_of(int w, int h) {
        const uint64_t seen = native_scheme_helper().feed()->frames_delivered();
        Ref<BitmapImage> f;
        eventually([&] {
            f = frame();
            return native_scheme_helper().feed()->frames_delivered() > seen + 1 && f && f->width() == w &&
                   f->height() == h;
        }, 5s);
        return f;
    }
    void start_test_source() {
        ::setenv("OMBREL_VIDEO_DEVICES", kDevices, 1);
        ASSERT_EQ(call("gfx:start-live-video", {num(60)}), sc->T);
        ASSERT_TRUE(log.saw(log.notes, "Video feed started.", 0ms));
    }

    scheme* sc = nullptr;
    LogCapture log;
};

TEST(VideoDeviceList, EntriesNeedAFormatAndAUrl) {
    const auto devices = parse_video_device_list("lavfi:testsrc=rate=5;;nocolon;:x;v4l2:;v4l2:/dev/video7");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].format, "lavfi");
    EXPECT_EQ(devices[0].url, "testsrc=rate=5") << "only the first colon separates";
    EXPECT_EQ(devices[0].name, "lavfi:testsrc=rate=5");
    EXPECT_TRUE(devices[1].is_v4l2());
    EXPECT_EQ(devices[1].url, "/dev/video7");
    const VideoInputs inputs = video_inputs(devices[0]);
    ASSERT_EQ(inputs.names, std::vector<std::string>{"testsrc=rate=5"});
    EXPECT_EQ(inputs.active, 0);
    EXPECT_EQ(video_inputs({"video4linux2", "/dev/null", "x"}).active, -1) << "not a V4L2 device: no inputs";
}

TEST_F(LiveVideoNames, WithoutACameraEveryNameFails) {
    ::unsetenv("OMBREL_VIDEO_DEVICES");
    for (int attempt = 0; attempt < 2; ++attempt) {  // a failed start keeps nothing: the second is no "already running"
        EXPECT_EQ(call("gfx:start-live-video"), sc->F);
        EXPECT_TRUE(log.saw(log.notes, "No camera available", 0ms));
        EXPECT_FALSE(log.has(log.notes, "already running"));
        log.clear();
    }
    pointer f = call("gfx:get-live-frame");
    ASSERT_TRUE(is_objc(f));
    EXPECT_EQ(objc_value(f), nullptr);
    const std::pair<const char*, std::vector<double>> names[] = {
        {"gfx:set-video-device", {0}}, {"gfx:set-video-device-input", {0}}, {"gfx:set-video-bounds", {320, 240}},
        {"gfx:print-video-devices", {}}, {"gfx:open-video-preferences", {}}};
    for (const auto& [name, numbers] : names) {
        pointer args = sc->NIL;
        for (auto it = std::rbegin(numbers); it != std::rend(numbers); ++it)
            args = s_cons(sc, name == std::string_view("gfx:set-video-bounds") ? num(*it) : integer(int64_t(*it)), args);
        pointer result = sc->NIL;
        for (const NativeProcedure& p : live_video_procedures())
            if (p.name == std::string_view(name)) result = p.procedure(sc, args);
        EXPECT_EQ(result, sc->F) << name;
        const std::string expected = std::string("You must call start-live-video before calling ") + (name + 4) + "\n";
        EXPECT_TRUE(log.saw(log.errors, expected, 0ms)) << name;
    }
    EXPECT_EQ(call("gfx:start-live-video", {mk_symbol(sc, "fast")}), sc->F);
    EXPECT_EQ(call("gfx:start-live-video", {num(0)}), sc->F);
    EXPECT_TRUE(log.saw(log.errors, "takes a frame rate", 0ms));
}

TEST_F(LiveVideoNames, FramesArriveChangeAndListingSaysWhatIsThere) {
    const size_t threads_before = thread_count();
    start_test_source();
    EXPECT_EQ(call("gfx:start-live-video"), sc->T);
    EXPECT_TRUE(log.saw(log.notes, "Video feed already running", 0ms));

    Ref<BitmapImage> first = next_frame_of(320, 240);
    ASSERT_TRUE(first);
    Ref<BitmapImage> later = next_frame_of(320, 240);
    ASSERT_TRUE(later);
    ASSERT_NE(first.get(), later.get());
    const size_t bytes = size_t(cairo_image_surface_get_stride(first->surface())) * 240;
    EXPECT_NE(std::memcmp(cairo_image_surface_get_data(first->surface()),
                          cairo_image_surface_get_data(later->surface()), bytes), 0) << "testsrc's counter moves";
    // Opaque: every pixel's alpha is full, as the canvas layout needs for a camera picture.
    const auto* px = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(later->surface()));
    bool opaque = true;
    for (int i = 0; i < 320; ++i) opaque = opaque && (px[i] >> 24) == 0xff;
    EXPECT_TRUE(opaque);
    // A kept frame is not written to by the frames after it.
    std::vector<unsigned char> kept(cairo_image_surface_get_data(first->surface()),
                                    cairo_image_surface_get_data(first->surface()) + bytes);
    next_frame_of(320, 240);
    EXPECT_EQ(std::memcmp(kept.data(), cairo_image_surface_get_data(first->surface()), bytes), 0);

    log.clear();
    EXPECT_EQ(call("gfx:print-video-devices"), sc->T);
    log.flush();
    EXPECT_EQ(log.outputs, (std::vector<std::string>{"Device number 0 with name " + std::string(kTestSource) + "\n",
                                                     "Input: \"testsrc=size=320x240:rate=30\"\n",
                                                     "Device number 1 with name video4linux2:/dev/null\n"}));
    EXPECT_TRUE(log.has(log.notes, "No Active Inputs\n"));

    native_scheme_helper().stop_feed();
    EXPECT_EQ(thread_count(), threads_before) << "the capture thread is gone";
    pointer none = call("gfx:get-live-frame");
    EXPECT_TRUE(is_objc(none) && objc_value(none) == nullptr);
}

TEST_F(LiveVideoNames, ASourceThatIsNotACameraIsHeldToTheRate) {
    ::setenv("OMBREL_VIDEO_DEVICES", kDevices, 1);
    ASSERT_EQ(call("gfx:start-live-video", {num(10)}), sc->T);
    std::this_thread::sleep_for(500ms);
    // At most 5 in half a second, and a frame or two of slack; unpaced, testsrc gives thousands.
    EXPECT_LE(native_scheme_helper().feed()->frames_delivered(), 8u);
    EXPECT_GE(native_scheme_helper().feed()->frames_delivered(), 1u);
}

TEST_F(LiveVideoNames, ADeviceThatEndsSaysSoKeepsItsLastFrameAndOpensAgain) {
    ::setenv("OMBREL_VIDEO_DEVICES", "lavfi:testsrc=size=64x48:rate=30:duration=0.2", 1);
    ASSERT_EQ(call("gfx:start-live-video", {num(100)}), sc->T);
    EXPECT_TRUE(log.saw(log.errors, "stopped delivering (End of file)"));
    const uint64_t frames = native_scheme_helper().feed()->frames_delivered();
    EXPECT_EQ(frames, 6u) << "a fifth of a second at 30 frames a second";
    EXPECT_TRUE(frame());
    EXPECT_EQ(call("gfx:set-video-device", {integer(0)}), sc->T);
    EXPECT_TRUE(eventually([&] { return native_scheme_helper().feed()->frames_delivered() > frames; }, 5s));
}

TEST_F(LiveVideoNames, BoundsResizeTheFrames) {
    start_test_source();
    log.clear();
    EXPECT_EQ(call("gfx:set-video-bounds", {num(160), num(120)}), sc->T);
    EXPECT_TRUE(log.saw(log.notes, "Video Bounds set to 0.000000,0.000000,160.000000,120.000000\n", 0ms));
    EXPECT_TRUE(next_frame_of(160, 120));
    // Both sides below 10 keep the bounds; a side of 0 keeps that side.
    EXPECT_EQ(call("gfx:set-video-bounds", {num(5), num(5)}), sc->T);
    EXPECT_EQ(native_scheme_helper().feed()->frame_size(), std::make_pair(160, 120));
    EXPECT_EQ(call("gfx:set-video-bounds", {num(0), num(90)}), sc->T);
    EXPECT_TRUE(log.saw(log.notes, "Video Bounds set to 0.000000,0.000000,160.000000,90.000000\n", 0ms));
    EXPECT_TRUE(next_frame_of(160, 90));
    log.clear();
    for (auto [w, h] : {std::pair{-3.0, 50.0}, {6000.0, 10.0}, {10.0, 1e12}})
        EXPECT_EQ(call("gfx:set-video-bounds", {num(w), num(h)}), sc->F) << w << " " << h;
    EXPECT_TRUE(log.saw(log.errors, "Video bounds must be from 1 to 5000 pixels each way", 0ms));
    EXPECT_EQ(call("gfx:set-video-bounds", {mk_symbol(sc, "big"), num(3)}), sc->F);
    EXPECT_EQ(native_scheme_helper().feed()->frame_size(), std::make_pair(160, 90)) << "refusals change nothing";
}

TEST_F(LiveVideoNames, DevicesAndInputsAreCheckedAndAFailedSwitchKeepsThePicture) {
    start_test_source();
    for (int64_t bad : {int64_t{2}, int64_t{-1}, int64_t{1} << 40}) {
        log.clear();
        EXPECT_EQ(call("gfx:set-video-device", {integer(bad)}), sc->F) << bad;
        EXPECT_TRUE(log.saw(log.errors, "Bad device number\n", 0ms)) << bad;
    }
    EXPECT_EQ(call("gfx:set-video-device", {num(0.5)}), sc->F);
    // Device 1 never opens: an error, and testsrc goes on delivering.
    EXPECT_EQ(call("gfx:set-video-device", {integer(1)}), sc->F);
    EXPECT_TRUE(log.saw(log.errors, "The video device could not be changed", 0ms));
    EXPECT_EQ(native_scheme_helper().feed()->device().format, "lavfi");
    EXPECT_TRUE(next_frame_of(320, 240));

    EXPECT_EQ(call("gfx:set-video-device-input", {integer(1)}), sc->F);
    EXPECT_TRUE(log.saw(log.errors, "Bad input number\n", 0ms));
    EXPECT_EQ(call("gfx:set-video-device-input", {integer(0)}), sc->T);
    EXPECT_EQ(call("gfx:set-video-device", {integer(0)}), sc->T);
    EXPECT_TRUE(next_frame_of(320, 240));
}

// The application's side of the dialog: whether a window was opened, and for which feed.
class WindowedApp : public NativeController {
public:
    void new_process(const std::string&, int) override {}
    void connect_to_process(const std::string&, const std::string&, int) override {}
    int index_of_repl(const std::string&) override { return kNotFound; }
    void write_to_repl(const std::string&, int) override {}
    void clear_log() override {}
    bool write_log(const std::string&) override { return false; }
    std::string message_bar_text() override { return ""; }
    std::optional<std::string> buffer_text(int) override { return std::nullopt; }
    bool set_buffer_text(int, const std::string&) override { return false; }
    void set_pasteboard(const std::string&) override {}
    const Documentation& documentation() override { std::abort(); }
    bool open_video_preferences(LiveVideo& feed) override { return shown = &feed, true; }
    LiveVideo* shown = nullptr;
};

TEST_F(LiveVideoNames, PreferencesOpenAWindowOnlyWhereThereIsOne) {
    start_test_source();
    EXPECT_EQ(call("gfx:open-video-preferences"), sc->F);
    EXPECT_TRUE(log.saw(log.notes, "There is no window for the video preferences", 0ms));
    WindowedApp app;
    set_native_controller(&app);
    EXPECT_EQ(call("gfx:open-video-preferences"), sc->T);
    EXPECT_EQ(app.shown, native_scheme_helper().feed());
}

TEST_F(LiveVideoNames, AnExecuterWaitsForTheMainThreadButNotForever) {
    ::setenv("OMBREL_VIDEO_DEVICES", kDevices, 1);
    // From another thread the work runs only when the main thread drains its queue.
    pointer result = sc->NIL;
    std::thread executer([&] { result = call("gfx:start-live-video"); });
    EXPECT_TRUE(eventually([&] { return native_scheme_helper().feed() != nullptr; }, 5s, [] {
        main_queue::run_pending();
    }));
    executer.join();
    EXPECT_EQ(result, sc->T);
    // With the main thread busy elsewhere, an interrupt (a process stopping) ends the wait.
    std::thread waiting([&] { result = call("gfx:set-video-bounds", {num(100), num(100)}); });
    std::this_thread::sleep_for(50ms);
    scheme_interrupt(sc);
    waiting.join();
    EXPECT_EQ(result, sc->F);
    sc->interrupt = 0;
    main_queue::run_pending();  // the forwarded work still runs, into nothing the caller left behind
    EXPECT_EQ(native_scheme_helper().feed()->frame_size(), std::make_pair(100, 100));
}

// ---- the program ---------------------------------------------------------------------------------------------------

TEST(LiveVideoProgram, QuittingWhileTheFeedRunsIsClean) {
    const auto dir = std::filesystem::temp_directory_path() / ("ombrel-video-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto out = dir / "out.txt";
    const int port = test::free_port();
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(fd, 1), ::dup2(fd, 2);
        ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        ::setenv("OMBREL_VIDEO_DEVICES", kTestSource, 1);
        const std::string p = std::to_string(port), m = std::to_string(test::free_port());
        ::execl(OMBREL_BIN, OMBREL_BIN, "--headless", "--audio", "null", "--midi", "none", "--port", p.c_str(),
                "--port-message-port", m.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fd);
    std::unique_ptr<test::Conn> conn;
    eventually([&] { return (conn = std::make_unique<test::Conn>(port))->ok() && conn->greet(); }, 30s);
    ASSERT_TRUE(conn && conn->ok());
    EXPECT_EQ(conn->eval("(gfx:start-live-video 25)"), "#t");
    std::string size;
    eventually([&] { return (size = conn->eval("(gfx:get-image-size (gfx:get-live-frame))")) == "(320 . 240)"; }, 10s);
    EXPECT_EQ(size, "(320 . 240)");
    ::kill(pid, SIGTERM);
    int status = -1;
    eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10s);
    if (!WIFEXITED(status)) ::kill(pid, SIGKILL), ::waitpid(pid, &status, 0);
    std::stringstream text;
    text << std::ifstream(out).rdbuf();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text.str();
    EXPECT_EQ(text.str().find("takes too long"), std::string::npos) << text.str();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace omb
