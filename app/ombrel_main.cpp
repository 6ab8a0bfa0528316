// ombrel: the program. With a display, the application: the log window and an editor window around the audio engine
// and the primary process. Headless (no display, or --headless): the audio engine on the chosen driver, the primary
// process with its eval server, the log on the console, until SIGINT or SIGTERM.
#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/headless_controller.h"
#include "app/offline_clock.h"
#include "app/preferences.h"
#include "audio/au_host.h"
#include "audio/au_scheme.h"
#include "editor/application.h"
#include "graphics/graphic_engine.h"
#include "graphics/movie_procedures.h"
#include "io/midi_file_scheme.h"
#include "io/midi_router.h"
#include "io/osc.h"
#include "io/osc_scheme.h"
#include "native/controller.h"
#include "native/native_scheme.h"
#include "native/port_messages.h"
#include "platform/console_log.h"
#include "platform/log_bridge.h"
#include "platform/main_queue.h"
#include "platform/resources.h"
#include "runtime/native_libraries.h"
#include "runtime/scheme_interface.h"

namespace {

std::atomic<bool> quit{false};

// The first signal asks for a clean stop; a second one, for a performer who means it, ends the program at once.
void on_signal(int) {
    if (quit.exchange(true)) ::_exit(130);
}

// Stopping interrupts running evaluations, so it takes well under a second; should native code still hold a
// thread, the program ends regardless once the limit passes (the preferences are saved before).
constexpr auto STOP_LIMIT = std::chrono::milliseconds(1500);

void stop_or_exit(const std::function<void()>& stop) {
    std::mutex m;
    std::condition_variable stopped;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock lock(m);
        if (!stopped.wait_for(lock, STOP_LIMIT, [&] { return done; })) {
            std::fputs("ombrel: stopping takes too long; exiting now\n", stderr);
            ::_exit(1);
        }
    });
    stop();
    {
        std::lock_guard lock(m);
        done = true;
    }
    stopped.notify_one();
    watchdog.join();
}

bool is_ipv4(const std::string& address) {
    in_addr parsed{};
    return ::inet_pton(AF_INET, address.c_str(), &parsed) == 1;
}

// The preferences give the defaults; the command line overrides them for this run (and is not saved).
struct Options {
    int port = 7010;
    std::string listen = "127.0.0.1";
    int port_message_port = 7008;  // where other copies' port messages arrive
    std::string audio = "auto";  // the best device found
    std::string midi = "auto";   // JACK MIDI with JACK audio, else the ALSA sequencer
    omb::RenderJob render;      // --render: a piece to a file, then exit
    bool headless = false;
    std::vector<std::string> files;  // opened in editor buffers
    int frames = 256;
    double reaper_time = 3.25;
    bool reap_callbacks = false;
    bool osc_remote = false;  // OSC from other computers
};

Options from_preferences(const omb::Preferences& prefs) {
    Options o;
    o.port = prefs.eval_port();
    o.port_message_port = prefs.port_message_port();
    o.listen = prefs.listen_address();
    if (!is_ipv4(o.listen)) {
        omb::CPPBridge::error("Preference listen_address: '%s' is not an IPv4 address; using 127.0.0.1",
                              o.listen.c_str());
        o.listen = "127.0.0.1";
    }
    if (!prefs.audio_driver().empty()) o.audio = prefs.audio_driver();
    o.midi = prefs.midi_system();
    o.frames = prefs.audio_frames();
    o.reaper_time = prefs.reaper_time();
    o.reap_callbacks = prefs.reap_callbacks();
    o.osc_remote = prefs.osc_remote();
    return o;
}

void usage() {
    std::puts("usage: ombrel [--headless] [--port N] [--listen ADDR] [--audio DRIVER] [--midi SYSTEM] [--frames N]\n"
              "              [--port-message-port N] [--osc-remote] [FILE...]\n"
              "       ombrel --render PIECE.scm --seconds S --out FILE [--frames N]\n"
              "  Starts the audio engine and the primary Scheme process, whose eval server listens on ADDR:N,\n"
              "  and, with a display, the log window and an editor window (FILEs open in its buffers).\n"
              "  (127.0.0.1:7010 by default; the next port is tried when one is taken). Live-code it with\n"
              "  ombrel-repl or any editor that can pipe text into it. Stop with Ctrl-C.\n"
              "  Port messages from other copies (io:send-port-message) arrive on port N (default 7008).\n"
              "  --osc-remote takes OSC from other computers too (every interface), not only from this one.\n"
              "  DRIVER: jack, alsa, pulse, null (no sound), offline (as fast as the work allows), or auto:\n"
              "  JACK when a server runs, else the system's default device, else null.\n"
              "  SYSTEM: jack (JACK MIDI, with JACK audio), alsa (the ALSA sequencer), none, or auto: JACK MIDI\n"
              "  when the audio runs on JACK, else ALSA.\n"
              "  --render loads PIECE at time 0, renders S seconds as fast as the machine allows and writes\n"
              "  FILE (32-bit float WAV; AIFF for .aif or .aiff), then exits.");
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ombrel: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (a == "--headless") {
            o.headless = true;
            continue;
        }
        if (a == "--osc-remote") {
            o.osc_remote = true;
            continue;
        }
        if (a == "-h" || a == "--help") {
            usage();
            std::exit(0);
        }
        const char* v = nullptr;
        if (a == "--port" && (v = value("--port"))) o.port = std::atoi(v);
        else if (a == "--listen" && (v = value("--listen"))) {
            o.listen = v;
            if (!is_ipv4(o.listen)) {
                std::fprintf(stderr, "ombrel: --listen needs an IPv4 address such as 0.0.0.0, not '%s'\n", v);
                return false;
            }
        }
        else if (a == "--audio" && (v = value("--audio"))) o.audio = v;
        else if (a == "--midi" && (v = value("--midi"))) o.midi = v;
        else if (a == "--render" && (v = value("--render"))) o.render.piece = v;
        else if (a == "--seconds" && (v = value("--seconds"))) o.render.seconds = std::atof(v);
        else if (a == "--out" && (v = value("--out"))) o.render.out = v;
        else if (a == "--frames" && (v = value("--frames"))) o.frames = std::atoi(v);
        else if (a == "--port-message-port" && (v = value("--port-message-port"))) o.port_message_port = std::atoi(v);
        else if (!a.empty() && a[0] != '-') o.files.push_back(a);
        else {
            std::fprintf(stderr, "ombrel: unknown argument %s\n", a.c_str());
            return false;
        }
    }
    if (!o.render.piece.empty() && (o.render.seconds <= 0 || o.render.out.empty())) {
        std::fputs("ombrel: --render needs --seconds (more than 0) and --out\n", stderr);
        return false;
    }
    const bool known = o.audio == "auto" || o.audio == "jack" || o.audio == "alsa" || o.audio == "pulse" ||
                       o.audio == "null" || o.audio == "offline";
    if (!known) std::fprintf(stderr, "ombrel: unknown audio driver '%s'\n", o.audio.c_str());
    return known && o.port > 0 && o.port < 65536 && o.frames >= 16 && o.frames <= 8192 && o.port_message_port > 0 &&
           o.port_message_port < 65536;
}

// The listener for other copies' port messages; the program runs on without it when its port is taken.
void start_port_messages(const omb::Preferences& prefs, int port) {
    omb::port_messages::PORT = port;
    omb::port_messages::LISTEN_ADDRESS = prefs.port_message_listen_address();
    if (!is_ipv4(omb::port_messages::LISTEN_ADDRESS)) {
        omb::CPPBridge::error("Preference port_message_listen_address: '%s' is not an IPv4 address; using 127.0.0.1",
                              omb::port_messages::LISTEN_ADDRESS.c_str());
        omb::port_messages::LISTEN_ADDRESS = "127.0.0.1";
    }
    omb::port_messages::start();
}

void save_preferences(const omb::Preferences& prefs, const std::filesystem::path& file) {
    if (file.empty()) return;
    if (prefs.file_unreadable()) {
        omb::CPPBridge::error("Preferences not saved: %s could not be read; fix or remove it", file.c_str());
        return;
    }
    std::string error;
    if (!prefs.save(file, &error)) omb::CPPBridge::error("Preferences not saved: %s", error.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    omb::main_queue::set_main_thread();
    omb::ConsoleLog log(stdout);
    omb::CPPBridge::attach(&log);
    const auto preferences_file = omb::preferences_path();
    omb::Preferences prefs = omb::Preferences::load(preferences_file, omb::resource_path("resources/ombrel.plist"));
    Options options = from_preferences(prefs);
    if (!parse(argc, argv, options)) {
        usage();
        omb::CPPBridge::detach();
        return 2;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGPIPE, SIG_IGN);

    auto folder = omb::resource_path("scheme/init.scm");
    if (folder.empty()) {
        std::fputs("ERROR: Could not locate file: init.scm\nExiting system!!\n", stdout);
        return 1;
    }
    omb::AUHost& host = omb::AUHost::singleton();
    omb::AUHost::FRAMES = options.frames;
    const bool rendering = !options.render.piece.empty();
    if (rendering) options.audio = "offline";
    auto device = options.audio == "auto" ? nullptr : omb::make_audio_device(options.audio);
    // The offline driver renders only when asked: the offline clock asks, in lock step with the work.
    auto* offline = dynamic_cast<omb::OfflineDevice*>(device.get());
    const bool started = options.audio == "auto" ? host.start_default() : host.start(std::move(device));
    if (!started) {
        offline = nullptr;
        std::fprintf(stderr, "ombrel: audio driver '%s' did not start; using null\n", options.audio.c_str());
        if (!host.start(omb::make_audio_device("null"))) return 1;
    }
    omb::AUHost::REAPER_TIME = static_cast<int64_t>(options.reaper_time * omb::AUHost::SAMPLERATE);
    omb::AUHost::REAP_CALLBACKS = options.reap_callbacks;
    const bool windowed = !rendering && !options.headless && (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY"));
    if (!windowed)
        omb::CPPBridge::log("Reaper Delay: %d\nReap Callbacks: %d", static_cast<int>(omb::AUHost::REAPER_TIME.load()),
                            options.reap_callbacks ? 1 : 0);

    omb::add_native_library(omb::AUHost::schemeInit);
    // A render to a file has no MIDI devices: its clock runs faster than any of them.
    omb::MIDIRouter::SYSTEM = rendering ? "none" : options.midi;
    omb::MIDIRouter::singleton();  // after the audio engine, whose driver chooses the MIDI system
    omb::add_native_library(omb::MIDIRouter::schemeInit);
    omb::add_native_library(omb::midi_file_scheme_init);  // replaces the process built-in that refuses every file
    omb::OSC::PORT = prefs.osc_port();
    // Opening OSC to the network widens only the loopback default; an address the performer chose stays.
    const std::string osc_address = prefs.osc_listen_address();
    omb::OSC::LISTEN_ADDRESS = options.osc_remote && osc_address == "127.0.0.1" ? "0.0.0.0" : osc_address;
    omb::add_native_library(omb::OSC::schemeInit);
    omb::add_native_library(omb::GraphicEngine::schemeInit);
    omb::add_native_library(omb::NativeScheme::schemeInit);
    omb::SchemeInterface::LISTEN_ADDRESS = options.listen;
    omb::SchemeInterface::STRING_MEMORY_LIMIT = static_cast<size_t>(prefs.string_memory_mb()) << 20;
    if (rendering) {
        // No eval server, no other processes, no port messages: nothing but the piece may change what is rendered.
        omb::SchemeInterface primary(folder.parent_path().string(), "primary process", 0);
        int status = primary.start() && offline ? omb::render_piece(*offline, host.scheduler(), primary, options.render)
                                                : 1;
        omb::stop_any_movie_capture();
        primary.stop();
        host.stop();
        omb::main_queue::run_pending();
        omb::CPPBridge::detach();
        return status;
    }
    start_port_messages(prefs, options.port_message_port);
    if (windowed) {
        omb::ApplicationStart start;
        start.prefs = &prefs;
        start.prefs_file = preferences_file;
        start.scheme_folder = folder.parent_path().string();
        start.port = options.port;
        start.files = options.files;
        start.quit = &quit;
        start.stop_or_exit = stop_or_exit;
        const int status = omb::run_application(argc, argv, start);
        omb::CPPBridge::attach(&log);
        stop_or_exit([&] {
            omb::port_messages::stop();
            omb::stop_any_movie_capture();
            host.stop();
        });
        omb::main_queue::run_pending();
        omb::CPPBridge::detach();
        return status;
    }
    omb::HeadlessController controller(folder.parent_path().string());
    omb::CPPBridge::attach(&controller.log());
    omb::set_native_controller(&controller);
    const int port = controller.start_primary(options.port, 20);
    if (port == 0) {
        std::fputs("ombrel: no free port for the primary process\n", stderr);
        omb::set_native_controller(nullptr);
        omb::port_messages::stop();
        host.stop();
        omb::main_queue::run_pending();
        omb::CPPBridge::detach();
        return 1;
    }
    std::unique_ptr<omb::OfflineClock> offline_clock;
    if (offline) {
        offline_clock = std::make_unique<omb::OfflineClock>(*offline, host.scheduler());
        offline_clock->start();
    }
    omb::CPPBridge::notification("Ombrel is listening on %s:%d", options.listen.c_str(), port);
    omb::CPPBridge::notification("Ombrel is ready; the clock is at %llu",
                                 static_cast<unsigned long long>(omb::AUHost::TIME.load()));
    while (!quit) omb::main_queue::wait_and_run(std::chrono::milliseconds(100));

    save_preferences(prefs, preferences_file);
    stop_or_exit([&] {
        offline_clock.reset();
        omb::port_messages::stop();  // before the processes it hands messages to
        // A movie still recording is finished and put in place, never left as a temporary beside its name.
        omb::stop_any_movie_capture();
        controller.stop_processes();
        host.stop();
    });
    omb::set_native_controller(nullptr);
    omb::main_queue::run_pending();
    omb::CPPBridge::detach();
    return 0;
}
