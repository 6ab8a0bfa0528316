// The real drivers: JACK against a jackd of the test's own on the dummy backend (no sound card needed), the choice of
// the default device with and without that server, and the RtAudio drivers on a machine that may have no sound card.
#include <gtest/gtest.h>
#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_device.h"
#include "tests/support/free_port.h"
#include "tests/support/jack_server.h"

namespace omb {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

using namespace test;

// A render target that records what the device does with it. Test only: a render may be asked to stall.
struct Recorder {
    static constexpr float kOut[2] = {0.25f, -0.5f};
    std::atomic<int> buffers{0};
    std::atomic<uint32_t> frames{0};
    std::atomic<int> input_channels{-1};
    std::atomic<int> output_channels{-1};
    std::atomic<float> input_sample[2] = {0.0f, 0.0f};  // the last sample of each input
    std::atomic<int> stall_ms{0};
    std::atomic<bool> in_render{false};
    std::atomic<pid_t> render_thread{0};
    std::atomic<int> lost{0};
    std::atomic<pid_t> lost_thread{0};
    std::atomic<Clock::rep> lost_at{0};
    std::atomic<bool> lost_inside_render{false};
    std::function<void()> when_lost;  // what the owner does from lost(): it may block, stop or destroy the device
    std::atomic<uint32_t> told_frames{0};           // the last size frames_changed() gave
    std::atomic<bool> rendered_before_told{false};  // a render of a size nobody announced

    RenderTarget target() { return {&Recorder::render, &Recorder::on_lost, &Recorder::on_frames, this}; }

    static void on_frames(void* user, uint32_t frames) { static_cast<Recorder*>(user)->told_frames = frames; }

    static void render(void* user, const float* const* inputs, int input_channels, float* const* outputs,
                       int output_channels, uint32_t frames) {
        auto* self = static_cast<Recorder*>(user);
        self->in_render = true;
        self->render_thread = gettid();
        if (self->frames != 0 && frames != self->frames && frames != self->told_frames)
            self->rendered_before_told = true;
        self->frames = frames;
        self->input_channels = input_channels;
        self->output_channels = output_channels;
        for (int c = 0; c < input_channels && c < 2; ++c) self->input_sample[c] = inputs[c][frames - 1];
        for (int c = 0; c < output_channels && c < 2; ++c)
            for (uint32_t i = 0; i < frames; ++i) outputs[c][i] = kOut[c];
        if (const int ms = self->stall_ms.exchange(0)) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        ++self->buffers;
        self->in_render = false;
    }

    static void on_lost(void* user) {
        auto* self = static_cast<Recorder*>(user);
        if (self->in_render) self->lost_inside_render = true;
        self->lost_thread = gettid();
        self->lost_at = Clock::now().time_since_epoch().count();
        if (self->when_lost) self->when_lost();
        ++self->lost;
    }

    // Buffers rendered over `span`, after the stream has settled.
    int rendered_during(std::chrono::milliseconds span) {
        const int before = buffers;
        std::this_thread::sleep_for(span);
        return buffers - before;
    }
};

// A client of the test that looks at and changes connections and the buffer size; it never touches audio.
class Control {
public:
    explicit Control(const std::string& server) {
        jack_status_t status{};
        client_ = jack_client_open("control", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                   &status, server.c_str());
    }
    ~Control() {
        if (client_) jack_client_close(client_);
    }

    jack_client_t* client() const { return client_; }
    bool connect(const char* from, const char* to) { return jack_connect(client_, from, to) == 0; }
    bool connected(const char* port, const char* other) const {
        const jack_port_t* p = jack_port_by_name(client_, port);
        return p && jack_port_connected_to(p, other);
    }

private:
    jack_client_t* client_ = nullptr;
};

// A child process ended when the test ends, however it ends.
struct ChildGuard {
    pid_t pid;
    ~ChildGuard() {
        int status = 0;
        end_child(pid, SIGTERM, &status);
    }
};

class DeviceJack : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(server_.start(why)) << why;
        setenv("JACK_DEFAULT_SERVER", server_.name().c_str(), 1);
        setenv("JACK_NO_START_SERVER", "1", 1);  // for the JACK programs the tests run, too
    }
    void TearDown() override {
        server_.stop(SIGTERM);
        server_.tidy();
        unsetenv("JACK_DEFAULT_SERVER");
    }

    std::unique_ptr<AudioDevice> open_jack() {
        auto device = make_audio_device("jack");
        if (device && !device->open(1024, 44100)) ADD_FAILURE() << device->error();
        return device;
    }

    JackServer server_;
};

TEST_F(DeviceJack, FollowsTheServerRendersAtItsPaceAndJoinsTheSystemPorts) {
    auto device = open_jack();
    ASSERT_NE(device, nullptr);
    // Asked for 1024 frames at 44100 Hz: the server's own settings win.
    EXPECT_EQ(device->sample_rate(), 48000);
    EXPECT_EQ(device->frames(), 256u);
    EXPECT_EQ(device->channels(), 2);
    EXPECT_EQ(device->input_channels(), 2);
    EXPECT_EQ(device->name(), "jack");

    Recorder recorder;
    ASSERT_TRUE(device->start(recorder.target())) << device->error();
    EXPECT_FALSE(device->start(recorder.target())) << "a second start while running";
    ASSERT_TRUE(wait_until([&] { return recorder.buffers > 5; }, 2000ms));
    // 48000 / 256 = 187.5 buffers a second; the bounds only catch a clock that is off by a large factor.
    const int in_half_a_second = recorder.rendered_during(500ms);
    EXPECT_GT(in_half_a_second, 94 / 2);
    EXPECT_LT(in_half_a_second, 94 * 3 / 2);
    EXPECT_EQ(recorder.frames, 256u);
    EXPECT_EQ(recorder.output_channels, 2);
    EXPECT_EQ(recorder.input_channels, 2);

    Control control(server_.name());
    ASSERT_NE(control.client(), nullptr);
    EXPECT_TRUE(control.connected("ombrel:out_1", "system:playback_1"));
    EXPECT_TRUE(control.connected("ombrel:out_2", "system:playback_2"));
    EXPECT_TRUE(control.connected("ombrel:in_1", "system:capture_1"));
    EXPECT_TRUE(control.connected("ombrel:in_2", "system:capture_2"));

    // Stopped: not one more render; started again: rendering resumes, connected again.
    device->stop();
    EXPECT_EQ(recorder.rendered_during(100ms), 0);
    ASSERT_TRUE(device->start(recorder.target())) << device->error();
    EXPECT_TRUE(wait_until([&] { return recorder.rendered_during(50ms) > 0; }, 2000ms));
    EXPECT_TRUE(control.connected("ombrel:out_1", "system:playback_1"));
    EXPECT_EQ(recorder.lost, 0);
}

// Through another application: jack_thru (a separate process, as a listener would be) copies ombrel's outputs back to
// its inputs, so what the render writes must come back to it a cycle later.
TEST_F(DeviceJack, SignalsPassThroughItsPorts) {
    auto device = open_jack();
    ASSERT_NE(device, nullptr);
    Recorder recorder;
    ASSERT_TRUE(device->start(recorder.target())) << device->error();

    const std::string log = "/tmp/ombrel-jackd-tests/" + server_.name() + "-thru.log";
    ChildGuard thru{spawn({"jack_thru"}, log)};
    Control control(server_.name());
    ASSERT_NE(control.client(), nullptr);
    // Active once it has joined its own outputs to the system's: only then does JACK connect to its ports.
    ASSERT_TRUE(wait_until([&] { return control.connected("jack_thru:output_2", "system:playback_2"); }, 5000ms))
        << contents(log);
    ASSERT_TRUE(control.connect("ombrel:out_1", "jack_thru:input_1"));
    ASSERT_TRUE(control.connect("ombrel:out_2", "jack_thru:input_2"));
    ASSERT_TRUE(control.connect("jack_thru:output_1", "ombrel:in_1"));
    ASSERT_TRUE(control.connect("jack_thru:output_2", "ombrel:in_2"));
    // jack_thru also listens to the silent dummy capture, which adds nothing.
    EXPECT_TRUE(wait_until([&] {
        return recorder.input_sample[0] == Recorder::kOut[0] && recorder.input_sample[1] == Recorder::kOut[1];
    }, 3000ms)) << recorder.input_sample[0] << " " << recorder.input_sample[1];
    fs::remove(log);
}

TEST_F(DeviceJack, CountsXrunsAndFollowsABufferSizeChange) {
    auto device = open_jack();
    ASSERT_NE(device, nullptr);
    Recorder recorder;
    ASSERT_TRUE(device->start(recorder.target())) << device->error();
    ASSERT_TRUE(wait_until([&] { return recorder.buffers > 5; }, 2000ms));

    // One render that takes about six periods: the server misses its deadline and says so.
    recorder.stall_ms = 30;
    EXPECT_TRUE(wait_until([&] { return device->dropped_buffers() > 0; }, 3000ms));
    EXPECT_TRUE(wait_until([&] { return recorder.rendered_during(50ms) > 0; }, 2000ms)) << "rendering goes on";

    Control control(server_.name());
    ASSERT_NE(control.client(), nullptr);
    ASSERT_EQ(jack_set_buffer_size(control.client(), 512), 0);
    EXPECT_TRUE(wait_until([&] { return device->frames() == 512 && recorder.frames == 512; }, 3000ms))
        << device->frames() << " " << recorder.frames;
    EXPECT_EQ(recorder.told_frames, 512u);
    EXPECT_FALSE(recorder.rendered_before_told) << "the owner hears of a new size before rendering it";
    EXPECT_EQ(recorder.lost, 0);
}

TEST_F(DeviceJack, ServerLossCallsLostOncePromptlyFromAThreadOfOurs) {
    // Servers that die outright under owners that stop or destroy the device from lost() itself, then one that shuts
    // down in order.
    enum Owner { waits, stops, destroys };
    for (const auto& [signal, owner] : {std::pair{SIGKILL, stops}, {SIGKILL, destroys}, {SIGTERM, waits}}) {
        SCOPED_TRACE(::testing::Message() << "signal " << signal << ", owner " << owner);
        if (owner != stops) {
            std::string why;
            ASSERT_TRUE(server_.start(why)) << why;
        }
        auto device = open_jack();
        ASSERT_NE(device, nullptr);
        Recorder recorder;
        if (owner == stops) recorder.when_lost = [&] { device->stop(); };
        if (owner == destroys) recorder.when_lost = [&] { device.reset(); };
        ASSERT_TRUE(device->start(recorder.target())) << device->error();
        ASSERT_TRUE(wait_until([&] { return recorder.buffers > 5; }, 2000ms));

        const auto killed = Clock::now();
        server_.stop(signal);
        ASSERT_TRUE(wait_until([&] { return recorder.lost > 0; }, 3000ms));
        EXPECT_LT(Clock::time_point(Clock::duration(recorder.lost_at)) - killed, 500ms);
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(recorder.lost, 1);
        EXPECT_FALSE(recorder.lost_inside_render);
        EXPECT_NE(recorder.lost_thread, recorder.render_thread);
        EXPECT_NE(recorder.lost_thread, gettid());
        if (owner == destroys) {
            EXPECT_EQ(device, nullptr);
            continue;
        }
        // The owner carries on: stop, a refused restart with a reason, and closing all return.
        device->stop();
        EXPECT_FALSE(device->start(recorder.target()));
        EXPECT_FALSE(device->error().empty());
        device.reset();
        EXPECT_EQ(recorder.lost, 1);
    }
}

TEST_F(DeviceJack, DefaultIsJackWhileAServerRunsThenTheFallback) {
    bool fell_back = true;
    auto device = open_default_audio_device(512, 44100, &fell_back);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->name(), "jack");
    EXPECT_FALSE(fell_back);
    EXPECT_EQ(device->frames(), 256u);
    device.reset();

    server_.stop(SIGTERM);
    auto jack = make_audio_device("jack");
    EXPECT_FALSE(jack->open(512, 44100));
    EXPECT_EQ(jack->error(), "No JACK server is running");
    EXPECT_FALSE(jack->start(Recorder().target()));

    device = open_default_audio_device(512, 44100, &fell_back);
    ASSERT_NE(device, nullptr);
    EXPECT_NE(device->name(), "jack");
    // Here, with no sound card, that is the null driver; elsewhere the system's own device.
    EXPECT_EQ(fell_back, device->name() == "null");
    EXPECT_EQ(device->frames(), 512u);
}

// The program on JACK, as a performer runs it: the clock at the server's rate, a server's xrun and new buffer size
// reported, and the server's end survived on the null driver with evaluation going on.
TEST_F(DeviceJack, TheProgramPlaysOnJackAndOutlivesTheServer) {
    const fs::path home = kServerDir / (server_.name() + "-home");
    fs::create_directories(home);
    setenv("XDG_DATA_HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    int port = 0;
    for (int attempt = 0; attempt < 50 && port == 0; ++attempt) {
        const int p = test::free_port();
        if (p < 65000 && test::free_port() != p + 1) port = p;  // p + 1 is the second process's
    }
    const std::string log = (home / "ombrel.log").string();
    ChildGuard program{spawn({OMBREL_BIN, "--headless", "--audio", "jack", "--port", std::to_string(port)}, log)};
    auto eval = [&](const std::string& expression) {
        const std::string command = std::string(OMBREL_REPL_BIN) + " --port " + std::to_string(port) + " -e '" +
                                    expression + "' 2>/dev/null";
        std::string out;
        if (std::FILE* p = ::popen(command.c_str(), "r")) {
            char buf[256];
            for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
            ::pclose(p);
        }
        return out;
    };
    ASSERT_TRUE(wait_until([&] { return eval("*au:samplerate*") == "48000\n"; }, 30000ms)) << contents(log);
    EXPECT_EQ(eval("*au:frames*"), "256\n");
    // The clock runs at the server's rate: about 48000 frames a wall-clock second.
    auto frames_per_second = [&] {
        const auto t0 = Clock::now();
        const long before = std::stol(eval("(now)"));
        std::this_thread::sleep_for(1000ms);
        const long after = std::stol(eval("(now)"));
        return double(after - before) / std::chrono::duration<double>(Clock::now() - t0).count();
    };
    const double rate = frames_per_second();
    EXPECT_GT(rate, 48000 * 0.8);
    EXPECT_LT(rate, 48000 * 1.2);

    // A client that stalls one cycle makes the server miss its deadline: everyone hears of the xrun.
    Control control(server_.name());
    ASSERT_NE(control.client(), nullptr);
    static std::atomic<int> stall{0};
    jack_set_process_callback(control.client(), [](jack_nframes_t, void*) {
        if (stall.exchange(0)) std::this_thread::sleep_for(30ms);
        return 0;
    }, nullptr);
    ASSERT_EQ(jack_activate(control.client()), 0);
    stall = 1;
    EXPECT_TRUE(wait_until([&] { return contents(log).find("NOTE: Audio Dropout") != std::string::npos; }, 5000ms))
        << contents(log);
    ASSERT_EQ(jack_set_buffer_size(control.client(), 512), 0);
    EXPECT_TRUE(wait_until([&] { return contents(log).find("Device Buffer has changed") != std::string::npos; },
                           5000ms)) << contents(log);
    EXPECT_EQ(eval("*au:frames*"), "256\n") << "a process keeps the value it was given";
    const double rate_512 = frames_per_second();
    EXPECT_GT(rate_512, 48000 * 0.8) << "the clock counts the frames that play";
    EXPECT_LT(rate_512, 48000 * 1.2);
    EXPECT_EQ(contents(log).find("FRAME MISMATCH"), std::string::npos);
    jack_deactivate(control.client());

    server_.stop(SIGTERM);
    EXPECT_TRUE(wait_until([&] { return contents(log).find("Audio device jack is gone") != std::string::npos; },
                           5000ms)) << contents(log);
    const long before = std::stol(eval("(now)"));
    std::this_thread::sleep_for(200ms);
    EXPECT_GT(std::stol(eval("(now)")), before) << "the null driver keeps the clock";
    EXPECT_EQ(eval("(+ 1 2)"), "3\n");
    int status = 0;
    pid_t pid = program.pid;
    program.pid = -1;
    ASSERT_TRUE(end_child(pid, SIGTERM, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << contents(log);
    fs::remove_all(home);
}

// A PulseAudio server of our own with a null sink, on a private socket that PULSE_SERVER names: the "pulse" driver
// plays to it, and the "alsa" driver reaches it through alsa-lib's default device, which is PulseAudio's plugin
// whenever a server runs. The sink's monitor is read back with parec.
class PulseServer {
public:
    ~PulseServer() {
        int status = 0;
        end_child(pid_, SIGTERM, &status);
        std::error_code ec;
        fs::remove_all(dir_, ec);
        unsetenv("PULSE_SERVER");
    }

    bool start(std::string& why) {
        dir_ = fs::temp_directory_path() / ("ombrel-pulse-" + std::to_string(getpid()));
        fs::create_directories(dir_);
        const std::string socket = (dir_ / "native").string();
        fs::remove(socket);  // one a killed server left
        setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
        // Its own runtime and home: nothing of a desktop session is touched.
        pid_ = spawn({"env", "HOME=" + dir_.string(), "XDG_RUNTIME_DIR=" + dir_.string(), "pulseaudio", "-n",
                      "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "--disable-shm=yes",
                      "-L", "module-null-sink sink_name=ombrel_test rate=48000",
                      "-L", "module-native-protocol-unix socket=" + socket + " auth-anonymous=1"},
                     (dir_ / "pulse.log").string());
        if (wait_until([&] { return fs::exists(socket); }, 10000ms)) return true;
        why = "pulseaudio did not come up: " + contents((dir_ / "pulse.log").string());
        return false;
    }

    // The sink's output over `span`, stereo float samples interleaved.
    std::vector<float> record(std::chrono::milliseconds span) {
        const std::string raw = (dir_ / "monitor.raw").string();
        pid_t parec = spawn({"parec", "-d", "ombrel_test.monitor", "--format=float32le", "--channels=2",
                             "--rate=48000", "--raw", raw}, (dir_ / "parec.log").string());
        std::this_thread::sleep_for(span);
        int status = 0;
        end_child(parec, SIGINT, &status);
        std::ifstream in(raw, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<float> samples(bytes.size() / sizeof(float));
        std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
        return samples;
    }

    void kill() {
        int status = 0;
        end_child(pid_, SIGKILL, &status);
    }

private:
    fs::path dir_;
    pid_t pid_ = -1;
};

// Without a sound card or a server both fail to open with a reason and do not crash (with a card, they play); with
// a server of our own they play to it.
TEST(DeviceRtAudio, OpenOrFailCleanlyThenPlayToAPulseServerDirectlyAndThroughAlsa) {
    EXPECT_EQ(make_audio_device("coreaudio"), nullptr);
    for (const char* driver : {"alsa", "pulse"}) {
        SCOPED_TRACE(driver);
        auto device = make_audio_device(driver);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->name(), driver);
        Recorder recorder;
        EXPECT_FALSE(device->start(recorder.target())) << "started before open";
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!device->open(256, 48000)) {
                EXPECT_FALSE(device->error().empty());
                EXPECT_FALSE(device->start(recorder.target()));
                continue;
            }
            EXPECT_GT(device->sample_rate(), 0);
            EXPECT_GT(device->frames(), 0u);
            ASSERT_TRUE(device->start(recorder.target())) << device->error();
            EXPECT_TRUE(wait_until([&] { return recorder.buffers > 3; }, 3000ms));
            device->stop();
        }
    }

    PulseServer server;
    std::string why;
    ASSERT_TRUE(server.start(why)) << why;
    // alsa-lib decides once per configuration load whether its default device is PulseAudio's: the loop above loaded
    // it while no server ran.
    snd_config_update_free_global();
    for (const char* driver : {"pulse", "alsa"}) {
        SCOPED_TRACE(driver);
        auto device = make_audio_device(driver);
        ASSERT_TRUE(device->open(256, 48000)) << device->error();
        EXPECT_EQ(device->sample_rate(), 48000);
        EXPECT_EQ(device->channels(), 2);
        Recorder recorder;
        ASSERT_TRUE(device->start(recorder.target())) << device->error();
        ASSERT_TRUE(wait_until([&] { return recorder.buffers > 5; }, 3000ms));
        // At the sink's pace, not as fast as the machine goes: about 48000 frames a second.
        const auto t0 = Clock::now();
        const int before = recorder.buffers;
        std::this_thread::sleep_for(1000ms);
        const double rate = double(recorder.buffers - before) * recorder.frames /
                            std::chrono::duration<double>(Clock::now() - t0).count();
        EXPECT_GT(rate, 48000 * 0.7);
        EXPECT_LT(rate, 48000 * 1.3);
        // What the render wrote is what the sink plays.
        const std::vector<float> heard = server.record(600ms);
        int matching = 0;
        for (size_t i = 0; i + 1 < heard.size(); i += 2)
            if (heard[i] == Recorder::kOut[0] && heard[i + 1] == Recorder::kOut[1]) ++matching;
        EXPECT_GT(matching, 4800) << heard.size() << " samples heard";
        device->stop();
        EXPECT_EQ(recorder.rendered_during(100ms), 0);

        // The server killed while playing: every write fails from then on. The device says it is gone, once and off
        // its render thread, instead of rendering as fast as the machine allows.
        ASSERT_TRUE(device->start(recorder.target())) << device->error();
        ASSERT_TRUE(wait_until([&] { return recorder.rendered_during(50ms) > 0; }, 2000ms));
        server.kill();
        ASSERT_TRUE(wait_until([&] { return recorder.lost > 0; }, 2000ms));
        EXPECT_LT(recorder.rendered_during(300ms), 5);
        EXPECT_EQ(recorder.lost, 1);
        EXPECT_NE(recorder.lost_thread, recorder.render_thread);
        EXPECT_FALSE(device->start(recorder.target()));
        EXPECT_FALSE(device->error().empty());
        device.reset();
        ASSERT_TRUE(server.start(why)) << why;
        snd_config_update_free_global();
    }
}

}  // namespace
}  // namespace omb
