// The MIDI router: the program's one MIDI client. It reads the sources Scheme connects and its own virtual input,
// turns each message into a call of io:midi-in evaluated by the first process, and sends timed short and
// system-exclusive messages to destinations and from its virtual output.
//
// It speaks through one MIDI system (io/midi_system.h): JACK MIDI when the audio engine runs on JACK, else the ALSA
// sequencer, or as the preference "midi_system" says. Where none can be opened, the router says so once and every
// MIDI name reports its failure value; the rest of the program runs.
//
// Input never waits on Scheme: messages the first process cannot take yet wait in a bounded backlog, and when
// Scheme falls behind for longer than it holds, the oldest are dropped with one notification per burst.
//
// Threads: the system's input thread fills a ring; the router's input thread ("ombrel midi in") builds the texts
// and queues them; sendMIDI and sendMIDISysEx run on the scheduler's queue thread; the natives on executers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "interpreter/scheme.h"
#include "io/midi_system.h"
#include "platform/thread.h"
#include "scheduler/tasks.h"

namespace omb {

class SchemeInterface;

// The text a received message becomes: (io:midi-in id type channel data1 data2) from a connected source,
// (io:midi-in 'virtual type channel data1 data2) from the virtual input; a shorter message ends in " 0)" and a
// longer one becomes a notification call.
std::string midi_in(const MidiPacket& packet);
std::string midi_in_virtual(const MidiPacket& packet);

// Where "*io:midi-out*" may send: the pointer Scheme holds is one of these, which live as long as the program.
struct MidiDestination {
    uint32_t id;  // the system's endpoint id, or MidiSystem::VIRTUAL_OUTPUT
};

class MIDIRouter {
public:
    // The preference "midi_system": "auto" (JACK MIDI with JACK audio, else ALSA), "jack", "alsa" or "none". Set
    // before the router is made.
    static inline std::string SYSTEM = "auto";
    // What the virtual input is known by to "io:print-midi-id", whatever id the system gives it.
    static constexpr uint32_t VIRTUAL_INPUT_ID = 11557790;

    // Made on first use (the program's start, a process's start, or "io:midi-source"), never destroyed.
    static MIDIRouter& singleton();

    // A router over the given system (null: none), opened at once. Tests make their own; the program has one.
    explicit MIDIRouter(std::unique_ptr<MidiSystem> system);
    ~MIDIRouter();
    MIDIRouter(const MIDIRouter&) = delete;
    MIDIRouter& operator=(const MIDIRouter&) = delete;

    bool available() const { return open_; }
    const char* system_name() const;
    // The virtual output as a destination; null when it could not be made.
    MidiDestination* virtual_device() { return virtual_device_.get(); }
    // Whether `p` is a destination this router handed out (so never a stray pointer from Scheme).
    bool knows(const void* p);

    // ---- what Scheme calls (executers) ------------------------------------------------------------------------
    // The id of source `index`, connected to the input port; 0 when there is none (the error is logged).
    uint32_t connect_source(long index);
    // Destination `index`, ready to send to; null when there is none (the error is logged).
    MidiDestination* connect_destination(long index);
    void print_sources();
    void print_destinations();
    void print_devices();
    bool print_id(uint32_t id);

    // ---- output (scheduler's queue thread) ---------------------------------------------------------------------
    // To a destination's id (MidiSystem::VIRTUAL_OUTPUT: from the virtual output); failures are logged.
    void send(uint32_t destination, const uint8_t* bytes, size_t length, int64_t time);
    void send_sysex(uint32_t destination, const uint8_t* bytes, size_t length);

    // ---- the Scheme names (io/midi_scheme.cpp) ----------------------------------------------------------------
    // Registers them into a process, in their order; the first call makes the router.
    static void schemeInit(SchemeInterface* process);
    // "*io:midi-out*" and "*io:midi-sysex-out*": the message their task carries, read when it was scheduled.
    void sendMIDI(TaskI* task);
    void sendMIDISysEx(TaskI* task);
    static pointer connectMIDISource(scheme* sc, pointer args);
    static pointer connectMIDIDestination(scheme* sc, pointer args);

    // How many messages came in (those the ring had no room for included), reached the first process, were dropped.
    struct Stats {
        uint64_t received = 0, delivered = 0, dropped = 0;
    };
    Stats stats() const { return {received_.load(), delivered_.load(), dropped_.load()}; }
    MidiInputRing& input() { return input_; }

    static constexpr size_t BACKLOG = 4096;  // messages waiting for Scheme, at most
    static constexpr size_t WINDOW = 256;    // past this many tasks in the process's queue, messages wait here

private:
    void open_system();
    MidiDestination* destination_for(uint32_t id);
    void print_endpoints(const char* title, std::vector<MidiEndpoint> (MidiSystem::*list)(), size_t limit);
    void read_input();
    void take_ring();
    void pump();
    void report_drops(bool force);

    MidiInputRing input_;  // before the system, which writes into it
    std::unique_ptr<MidiSystem> system_;
    bool open_ = false;
    std::mutex mutex_;  // the system's listings and connections, destinations_
    std::map<uint32_t, std::unique_ptr<MidiDestination>> destinations_;
    std::unique_ptr<MidiDestination> virtual_device_;

    std::unique_ptr<Thread> reader_;
    std::atomic<bool> running_{false};
    std::deque<MidiPacket> backlog_;  // reader thread only
    uint64_t burst_dropped_ = 0;
    std::chrono::steady_clock::time_point burst_start_;
    std::atomic<uint64_t> received_{0}, delivered_{0}, dropped_{0};
};

}  // namespace omb
