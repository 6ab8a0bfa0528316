// The MIDI router on JACK MIDI, against a jackd of the test's own on the dummy backend and a JACK client of the
// test's own (the peer) that plays a synthesizer and a controller: it writes into "Ombrel Virtual Input" and into a
// source Scheme connects, and reads "Ombrel Virtual Output" and a destination Scheme writes to.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/uuid.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <regex>
#include <vector>

#include "audio/au_host.h"
#include "audio/au_scheme.h"
#include "io/midi_router.h"
#include "runtime/native_libraries.h"
#include "tests/runtime/process_support.h"
#include "tests/support/jack_server.h"
#include "tests/support/log_capture.h"

namespace omb {
namespace {

using namespace test;

TEST(MidiTexts, EachPacketBecomesTheTextOfItsCall) {
    MidiPacket note{12345, false, 3, {0x92, 60, 100}};
    EXPECT_EQ(midi_in(note), "(io:midi-in 12345 9 2 60 100)");
    MidiPacket program{0, true, 2, {0xC0, 5, 0}};
    EXPECT_EQ(midi_in_virtual(program), "(io:midi-in 'virtual 12 0 5  0)");
    MidiPacket clock{7, false, 1, {0xF8, 0, 0}};
    EXPECT_EQ(midi_in(clock), "(io:midi-in 7 15 8 0  0)");
    MidiPacket sysex{4000000000u, false, 6, {0xF0, 1, 2}};
    EXPECT_EQ(midi_in(sysex), "(print-notification \"Received unknown MIDI Packet from Device 4000000000\")");
    sysex.from_virtual = true;
    EXPECT_EQ(midi_in_virtual(sysex), "(print-notification \"Received unknown MIDI Packet from Virtual MIDI Device\")");
}

// Where no MIDI system can be opened (this machine has no ALSA sequencer), the router says so once and every call
// gives its failure value.
TEST(MidiWithoutASystem, SaysSoOnceAndEveryCallFails) {
    LogCapture log;
    MIDIRouter router(make_alsa_midi());
    if (router.available()) GTEST_SKIP() << "this machine has an ALSA sequencer";
    EXPECT_TRUE(log.saw(log.notes, "No MIDI: No ALSA sequencer"));
    router.print_sources();
    EXPECT_EQ(router.connect_source(0), 0u);
    EXPECT_EQ(router.connect_destination(0), nullptr);
    EXPECT_FALSE(router.print_id(1));
    EXPECT_EQ(router.virtual_device(), nullptr);
    log.saw(log.errors, "No MIDI endpoint", 1s);
    int said = 0;
    for (const auto& n : log.notes) said += n.find("No MIDI:") != std::string::npos;
    EXPECT_EQ(said, 1);
    EXPECT_TRUE(LogCapture::has(log.notes, "MIDI Sources"));
    EXPECT_TRUE(LogCapture::has(log.notes, "---------"));
    EXPECT_TRUE(LogCapture::has(log.errors, "Bad MIDI Source"));
    EXPECT_TRUE(LogCapture::has(log.errors, "Bad MIDI Destination"));
}

// A JACK client of the test's own: "out" writes into Ombrel's virtual input, "src" is a source Scheme connects,
// "virtual_in" reads Ombrel's virtual output and "dest_in" is a destination Scheme writes to.
class MidiPeer {
public:
    struct Event {
        std::string port;
        jack_nframes_t frame;  // absolute: the period's first frame plus the event's offset
        std::vector<uint8_t> bytes;
    };

    explicit MidiPeer(const std::string& server) {
        jack_status_t status{};
        client_ = jack_client_open("midi-peer", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                   &status, server.c_str());
        if (!client_) return;
        out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        src_ = jack_port_register(client_, "src", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        virtual_in_ = jack_port_register(client_, "virtual_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        dest_in_ = jack_port_register(client_, "dest_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, &MidiPeer::process, this);
        if (jack_activate(client_) != 0) return;
        ready_ = jack_connect(client_, "midi-peer:out", "ombrel:Ombrel Virtual Input") == 0 &&
                 jack_connect(client_, "ombrel:Ombrel Virtual Output", "midi-peer:virtual_in") == 0;
    }
    ~MidiPeer() {
        if (client_) jack_client_close(client_);
    }
    bool ready() const { return ready_; }
    uint32_t src_id() const { return static_cast<uint32_t>(jack_port_uuid(src_) & 0xFFFFFFFFu); }

    // Messages written in the coming periods, at most `per_period` in each.
    void send(bool from_src, std::vector<std::vector<uint8_t>> messages, size_t per_period = 64) {
        std::lock_guard lock(mutex_);
        per_period_ = per_period;
        for (auto& m : messages) outgoing_.push_back({from_src, std::move(m)});
    }
    bool sent_all() {
        std::lock_guard lock(mutex_);
        return outgoing_.empty();
    }
    std::vector<Event> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    struct Outgoing {
        bool from_src;
        std::vector<uint8_t> bytes;
    };

    // A test's client: it may wait for the test thread's lock now and then.
    static int process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<MidiPeer*>(arg);
        void* out = jack_port_get_buffer(self->out_, frames);
        void* src = jack_port_get_buffer(self->src_, frames);
        jack_midi_clear_buffer(out);
        jack_midi_clear_buffer(src);
        const jack_nframes_t start = jack_last_frame_time(self->client_);
        std::lock_guard lock(self->mutex_);
        for (size_t n = 0; n < self->per_period_ && !self->outgoing_.empty(); ++n) {
            const Outgoing& m = self->outgoing_.front();
            if (jack_midi_event_write(m.from_src ? src : out, 0, m.bytes.data(), m.bytes.size()) != 0) break;
            self->outgoing_.pop_front();
        }
        self->read(self->virtual_in_, "virtual_in", frames, start);
        self->read(self->dest_in_, "dest_in", frames, start);
        return 0;
    }

    void read(jack_port_t* port, const char* name, jack_nframes_t frames, jack_nframes_t start) {
        void* buffer = jack_port_get_buffer(port, frames);
        for (uint32_t i = 0, n = jack_midi_get_event_count(buffer); i < n; ++i) {
            jack_midi_event_t e;
            if (jack_midi_event_get(&e, buffer, i) == 0) received_.push_back({name, start + e.time, bytes_of(e)});
        }
    }

    // The writer's buffer, handed over by the server's own synchronisation, which ThreadSanitizer cannot see
    // (libjack is not instrumented): the copy is left out of its view.
    __attribute__((no_sanitize("thread"))) static std::vector<uint8_t> bytes_of(const jack_midi_event_t& e) {
        std::vector<uint8_t> bytes(e.size);
        for (size_t i = 0; i < e.size; ++i) bytes[i] = e.buffer[i];
        return bytes;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t *out_ = nullptr, *src_ = nullptr, *virtual_in_ = nullptr, *dest_in_ = nullptr;
    bool ready_ = false;
    std::mutex mutex_;
    std::deque<Outgoing> outgoing_;
    size_t per_period_ = 64;
    std::vector<Event> received_;
};

JackServer* server = nullptr;

// The test process on the JACK driver of the test's own server, with the router on JACK MIDI.
class MidiEnvironment : public ProcessEnvironment {
public:
    void SetUp() override {
        std::string why;
        server_ = std::make_unique<JackServer>();
        ASSERT_TRUE(server_->start(why)) << why;
        server = server_.get();
        ::setenv("JACK_DEFAULT_SERVER", server_->name().c_str(), 1);
        ProcessEnvironment::DRIVER = "jack";
        MIDIRouter::SYSTEM = "jack";
        add_native_library(MIDIRouter::schemeInit);
        ProcessEnvironment::SetUp();
    }
    void TearDown() override {
        ProcessEnvironment::TearDown();
        server_.reset();
    }

private:
    std::unique_ptr<JackServer> server_;
};

const auto* environment = ::testing::AddGlobalTestEnvironment(new MidiEnvironment);

class MidiOnJack : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(c.greet());
        ASSERT_TRUE(MIDIRouter::singleton().available());
        ASSERT_STREQ(MIDIRouter::singleton().system_name(), "jack");
        ASSERT_TRUE(peer.ready());
        c.eval("(define got '())");
        c.eval("(define (io:midi-in . args) (set! got (cons args got)))");
    }
    void TearDown() override { clear_scheduler(); }

    bool got(size_t n) {
        return eventually([&] { return c.eval("(length got)") == std::to_string(n); });
    }
    // The index the listing gives `name` ("N: name=NAME"), -1 when it is not listed.
    int listed_index(const char* listing, const std::string& name) {
        c.eval(listing);
        log.saw(log.notes, name, 2s);
        const std::regex line("^(\\d+): name=" + name + "\\s*$");
        std::smatch m;
        for (const auto& note : log.notes)
            if (std::regex_match(note, m, line)) return std::stoi(m[1]);
        return -1;
    }
    // What reached the peer's `port`, once `n` messages have (or the wait is over).
    std::vector<MidiPeer::Event> arrived(const std::string& port, size_t n) {
        std::vector<MidiPeer::Event> on_port;
        eventually([&] {
            on_port.clear();
            for (auto& e : peer.received())
                if (e.port == port) on_port.push_back(e);
            return on_port.size() >= n;
        }, n == 0 ? 0ms : 10s);
        return on_port;
    }

    LogCapture log;
    Conn c{ProcessEnvironment::port};
    MidiPeer peer{server->name()};
};

TEST_F(MidiOnJack, InputFromTheVirtualInputAndAConnectedSourceReachesIoMidiIn) {
    peer.send(false, {{0x92, 60, 100}, {0xC0, 5}, {0xF0, 0x7D, 1, 2, 0xF7}});
    ASSERT_TRUE(got(2));
    EXPECT_EQ(c.eval("(reverse got)"), "((virtual 9 2 60 100) (virtual 12 0 5 0))");
    EXPECT_TRUE(log.saw(log.notes, "Received unknown MIDI Packet from Virtual MIDI Device"));

    const int index = listed_index("(io:print-midi-sources)", "midi-peer:src");
    ASSERT_GE(index, 0);
    EXPECT_TRUE(LogCapture::has(log.notes, "MIDI Sources"));
    EXPECT_EQ(c.eval("(io:midi-source " + std::to_string(index) + ")"), std::to_string(peer.src_id()));
    EXPECT_EQ(c.eval("(io:midi-source " + std::to_string(index) + ")"), std::to_string(peer.src_id()));  // again
    peer.send(true, {{0x80, 60, 0}});
    ASSERT_TRUE(got(3));
    EXPECT_EQ(c.eval("(car got)"), "(" + std::to_string(peer.src_id()) + " 8 0 60 0)");
    EXPECT_EQ(c.eval("(io:print-midi-id " + std::to_string(peer.src_id()) + ")"), "#t");
    EXPECT_TRUE(log.saw(log.notes, "midi-peer:src"));
    EXPECT_EQ(c.eval("(io:print-midi-id 11557790)"), "#t");
    EXPECT_TRUE(log.saw(log.notes, "Ombrel Virtual Input"));
}

// Sent at the task's sample time: placed on its frame inside the JACK period, so two messages 100 frames apart
// arrive exactly 100 frames apart, however the periods fall.
TEST_F(MidiOnJack, OutputLeavesTheVirtualOutputOnTheFrameOfItsTime) {
    c.eval("(define t (+ (now) 4410 37))");
    EXPECT_EQ(c.eval("(schedule t *io:midi-out* *io:midi-virtual-device* 9 0 64 90)"), "#t");
    c.eval("(schedule (+ t 100) *io:midi-out* *io:midi-virtual-device* 8 0 64 0)");
    c.eval("(schedule (+ t 100) *io:midi-out* *io:midi-virtual-device* 12 3 7)");
    const auto events = arrived("virtual_in", 3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].bytes, (std::vector<uint8_t>{0x90, 64, 90}));
    EXPECT_EQ(events[1].bytes, (std::vector<uint8_t>{0x80, 64, 0}));
    EXPECT_EQ(events[2].bytes, (std::vector<uint8_t>{0xC3, 7}));
    EXPECT_EQ(events[1].frame - events[0].frame, 100u);
    // Periods start on the same frames for both clocks (the server's counter and ours both count whole periods
    // from a period's start), so the message's place inside its period is its time's.
    const uint32_t frames = AUHost::FRAMES.load();
    EXPECT_EQ(events[0].frame % frames, std::stoull(c.eval("t")) % frames);
    EXPECT_EQ(events[2].frame, events[1].frame);
    EXPECT_TRUE(arrived("dest_in", 0).empty());
}

TEST_F(MidiOnJack, ADestinationGetsShortAndSystemExclusiveMessagesAndNothingElseDoes) {
    const int index = listed_index("(io:print-midi-destinations)", "midi-peer:dest_in");
    ASSERT_GE(index, 0);
    c.eval("(define d (io:midi-destination " + std::to_string(index) + "))");
    c.eval("(schedule (now) *io:midi-out* d 11 1 7 300)");
    c.eval("(schedule (+ (now) 1000) *io:midi-sysex-out* d (list 240 125 1 2 247))");
    const auto events = arrived("dest_in", 2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].bytes, (std::vector<uint8_t>{0xB1, 7, 300 & 0x7F}));
    EXPECT_EQ(events[1].bytes, (std::vector<uint8_t>{0xF0, 125, 1, 2, 0xF7}));
    EXPECT_TRUE(arrived("virtual_in", 0).empty());
}

TEST_F(MidiOnJack, BadCallsAreReportedAndNeverFollowAStrayPointer) {
    EXPECT_EQ(c.eval("(schedule (now) *io:midi-out* test:not-a-target 9 0 60 100)"), "#f");
    EXPECT_EQ(c.eval("(schedule (now) *io:midi-out* 42 9 0 60 100)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Invalid MIDI destination"));
    EXPECT_EQ(c.eval("(schedule (now) *io:midi-out* *io:midi-virtual-device* 9 0)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "*io:midi-out* needs a destination"));
    EXPECT_EQ(c.eval("(schedule (now) *io:midi-sysex-out* *io:midi-virtual-device* (list 240 999))"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "*io:midi-sysex-out* needs a destination"));
    EXPECT_EQ(c.eval("(io:midi-source 9999)"), "#f");
    EXPECT_EQ(c.eval("(io:midi-destination 'first)"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "Bad MIDI Source"));
    EXPECT_TRUE(log.saw(log.errors, "Bad MIDI Destination"));
    EXPECT_EQ(c.eval("(io:print-midi-id \"midi-peer:src\")"), "#f");
    EXPECT_EQ(c.eval("(io:print-midi-devices)"), "NIL");
    EXPECT_TRUE(log.saw(log.notes, "name=midi-peer, manuf=JACK, model=software"));
    EXPECT_TRUE(log.saw(log.notes, "-----------"));
}

// A controller flooding while Scheme is busy: the input thread never waits, the oldest messages go, one
// notification says how many, and every message is either handled or counted as dropped.
TEST_F(MidiOnJack, AFloodWhileSchemeIsBusyDropsTheOldestWithOneNotification) {
    c.eval("(define count 0)");
    c.eval("(define (io:midi-in . args) (set! count (+ count 1)))");
    const auto before = MIDIRouter::singleton().stats();
    constexpr size_t kFlood = 6000;
    {
        HeldExecuter held;
        ASSERT_TRUE(held.held);
        std::vector<std::vector<uint8_t>> flood(kFlood, std::vector<uint8_t>{0x90, 60, 1});
        peer.send(false, std::move(flood), 200);
        ASSERT_TRUE(eventually([&] { return peer.sent_all(); }));
        ASSERT_TRUE(eventually([&] { return MIDIRouter::singleton().stats().received - before.received == kFlood; }))
            << MIDIRouter::singleton().stats().received - before.received;
    }
    ASSERT_TRUE(log.saw(log.notes, "MIDI input came faster than Scheme took it: dropped the "));
    const auto after = MIDIRouter::singleton().stats();
    const uint64_t delivered = after.delivered - before.delivered, dropped = after.dropped - before.dropped;
    EXPECT_GT(dropped, 0u);
    EXPECT_LE(delivered, MIDIRouter::BACKLOG + MIDIRouter::WINDOW + 100);
    EXPECT_TRUE(eventually([&] { return c.eval("count") == std::to_string(delivered); }));
    EXPECT_EQ(delivered + dropped, kFlood);
    // One notification per burst (a slow machine may see the burst outlast a second: then one per second), whose
    // counts add up to what was dropped.
    uint64_t reported = 0;
    const std::regex note("MIDI input came faster than Scheme took it: dropped the (\\d+) oldest messages\\s*");
    std::smatch m;
    for (const auto& n : log.notes)
        if (std::regex_match(n, m, note)) reported += std::stoull(m[1]);
    EXPECT_EQ(reported, dropped);
}

// Last: the server goes away under a playing router. Sends are reported, the process and the clock go on.
TEST_F(MidiOnJack, ZzTheServerGoingAwayStopsMidiAndNothingElse) {
    server->stop(SIGKILL);
    EXPECT_TRUE(log.saw(log.errors, "JACK MIDI has stopped"));
    c.eval("(schedule (now) *io:midi-out* *io:midi-virtual-device* 9 0 60 100)");
    EXPECT_TRUE(log.saw(log.errors, "Error sending MIDI data to virtual device"));
    EXPECT_EQ(c.eval("(+ 1 2)"), "3");
    const std::string t = c.eval("(now)");
    EXPECT_TRUE(eventually([&] { return c.eval("(now)") != t; }));
}

}  // namespace
}  // namespace omb
