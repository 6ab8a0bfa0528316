#include "io/midi_router.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "audio/au_host.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

constexpr auto kBurstReport = std::chrono::seconds(1);

// Display names are cut where the listings of the old MIDI services cut them.
std::string cut(std::string_view text, size_t limit) { return std::string(text.substr(0, limit)); }

}  // namespace

namespace {

std::string midi_in_text(const MidiPacket& p, const std::string& from) {
    const int type = p.data[0] >> 4, channel = p.data[0] & 0x0F;
    const int data1 = p.length >= 2 ? p.data[1] : 0;
    std::string text = "(io:midi-in " + from + " " + std::to_string(type) + " " + std::to_string(channel) + " " +
                       std::to_string(data1) + " ";
    text += p.length == 3 ? std::to_string(p.data[2]) + ")" : " 0)";
    return text;
}

}  // namespace

std::string midi_in(const MidiPacket& p) {
    if (p.length > 3)
        return "(print-notification \"Received unknown MIDI Packet from Device " + std::to_string(p.source) + "\")";
    return midi_in_text(p, std::to_string(p.source));
}

std::string midi_in_virtual(const MidiPacket& p) {
    if (p.length > 3) return "(print-notification \"Received unknown MIDI Packet from Virtual MIDI Device\")";
    return midi_in_text(p, "'virtual");
}

MIDIRouter& MIDIRouter::singleton() {
    static MIDIRouter* router = [] {
        devlog("Start MIDIRouter");
        std::unique_ptr<MidiSystem> system;
        const bool jack_audio = AUHost::singleton().device_name() == "jack";
        if (SYSTEM == "jack" || (SYSTEM == "auto" && jack_audio))
            system = make_jack_midi();
        else if (SYSTEM == "alsa" || SYSTEM == "auto")
            system = make_alsa_midi();
        else if (SYSTEM != "none")
            CPPBridge::error("Unknown MIDI system \"%s\": use auto, jack, alsa or none", SYSTEM.c_str());
        return new MIDIRouter(std::move(system));  // lives as long as the program: Scheme holds its pointers
    }();
    return *router;
}

MIDIRouter::MIDIRouter(std::unique_ptr<MidiSystem> system) : system_(std::move(system)) {
    open_system();
    if (!open_) return;
    running_ = true;
    reader_ = std::make_unique<Thread>("ombrel midi in", [this] { read_input(); });
    reader_->start();
}

MIDIRouter::~MIDIRouter() {
    running_ = false;
    input_.wake();
    if (reader_) reader_->join();
    system_.reset();  // before the ring it writes into
}

const char* MIDIRouter::system_name() const { return open_ ? system_->name() : "none"; }

void MIDIRouter::open_system() {
    if (!system_) {
        devlog("MIDI is off: the preference midi_system is \"none\"");
        return;
    }
    if (!system_->open(input_)) {
        // Once: a machine without a MIDI system is a normal place to perform without MIDI.
        CPPBridge::notification("No MIDI: %s. MIDI input and output are off; everything else runs.",
                                system_->error().c_str());
        return;
    }
    open_ = true;
    if (system_->has_virtual_output()) {
        virtual_device_ = std::make_unique<MidiDestination>(MidiDestination{MidiSystem::VIRTUAL_OUTPUT});
    } else {
        CPPBridge::error("Error creating virtual midi output");
        devlog("ERROR Creating Virtual MIDI Output");
    }
    if (system_->has_virtual_input()) {
        devlog("Created Virutal MIDI Input");
    } else {
        CPPBridge::error("Error creating virtual midi input");
        devlog("ERROR Creating Virtual MIDI Input %d", -1);
    }
}

bool MIDIRouter::knows(const void* p) {
    if (!p) return false;
    if (p == virtual_device_.get()) return true;
    std::lock_guard lock(mutex_);
    for (const auto& [id, destination] : destinations_)
        if (destination.get() == p) return true;
    return false;
}

// ---- Scheme's calls ------------------------------------------------------------------------------------------------

uint32_t MIDIRouter::connect_source(long index) {
    std::lock_guard lock(mutex_);
    if (open_ && index >= 0) {
        const auto sources = system_->sources();
        if (static_cast<size_t>(index) < sources.size() && system_->connect_source(sources[index].id))
            return sources[index].id;
    }
    CPPBridge::error("Bad MIDI Source");
    return 0;
}

MidiDestination* MIDIRouter::connect_destination(long index) {
    std::lock_guard lock(mutex_);
    if (open_ && index >= 0) {
        const auto destinations = system_->destinations();
        if (static_cast<size_t>(index) < destinations.size() && system_->open_destination(destinations[index].id))
            return destination_for(destinations[index].id);
    }
    CPPBridge::error("Bad MIDI Destination");
    return nullptr;
}

// One object per endpoint, so asking twice gives the same pointer. Caller holds mutex_.
MidiDestination* MIDIRouter::destination_for(uint32_t id) {
    auto& slot = destinations_[id];
    if (!slot) slot = std::make_unique<MidiDestination>(MidiDestination{id});
    return slot.get();
}

// A titled listing, one "N: name=..." notification per endpoint, then the closing rule. Caller holds mutex_.
void MIDIRouter::print_endpoints(const char* title, std::vector<MidiEndpoint> (MidiSystem::*list)(), size_t limit) {
    CPPBridge::notification_text(title);
    if (open_) {
        int i = 0;
        for (const MidiEndpoint& e : ((*system_).*list)())
            CPPBridge::notification("%d: name=%s", i++, cut(e.name, limit).c_str());
    }
    CPPBridge::notification_text("---------");
}

void MIDIRouter::print_sources() {
    std::lock_guard lock(mutex_);
    print_endpoints("MIDI Sources", &MidiSystem::sources, 63);
}

void MIDIRouter::print_destinations() {
    std::lock_guard lock(mutex_);
    print_endpoints("MIDI Destinations", &MidiSystem::destinations, 255);
}

void MIDIRouter::print_devices() {
    std::lock_guard lock(mutex_);
    CPPBridge::notification_text("MIDI Devices");
    if (open_) {
        int i = 0;
        for (const MidiDeviceInfo& d : system_->devices())
            CPPBridge::notification("%d: name=%s, manuf=%s, model=%s", i++, cut(d.name, 63).c_str(),
                                    cut(d.manufacturer, 63).c_str(), cut(d.model, 63).c_str());
    }
    CPPBridge::notification_text("-----------");
}

bool MIDIRouter::print_id(uint32_t id) {
    std::lock_guard lock(mutex_);
    std::optional<std::string> name;
    if (open_) name = id == VIRTUAL_INPUT_ID && system_->has_virtual_input() ? "Ombrel Virtual Input"
                                                                              : system_->display_name(id);
    if (!name) {
        CPPBridge::error("No MIDI endpoint has the id %u", id);
        return false;
    }
    CPPBridge::notification("%s", cut(*name, 255).c_str());
    return true;
}

// ---- output (queue thread) -----------------------------------------------------------------------------------------

void MIDIRouter::send(uint32_t destination, const uint8_t* bytes, size_t length, int64_t time) {
    const bool is_virtual = destination == MidiSystem::VIRTUAL_OUTPUT;
    if (!open_ || !system_->send(destination, time, {bytes, length}))
        CPPBridge::error(is_virtual ? "Error sending MIDI data to virtual device" : "Error sending MIDI data to device");
}

void MIDIRouter::send_sysex(uint32_t destination, const uint8_t* bytes, size_t length) {
    if (!open_ || !system_->send_sysex(destination, {bytes, length})) CPPBridge::error("Error sending MIDI data");
}

// ---- input (the router's input thread) -----------------------------------------------------------------------------

void MIDIRouter::read_input() {
    while (running_.load()) {
        // While Scheme is behind, offer the backlog again soon; otherwise sleep until the system wakes us.
        input_.wait(backlog_.empty() ? 100 : 1);
        take_ring();
        pump();
        report_drops(false);
    }
    report_drops(true);
}

void MIDIRouter::take_ring() {
    if (const uint64_t lost = input_.take_overflowed()) {
        received_.fetch_add(lost, std::memory_order_relaxed);
        dropped_.fetch_add(lost, std::memory_order_relaxed);
        if (burst_dropped_ == 0) burst_start_ = std::chrono::steady_clock::now();
        burst_dropped_ += lost;
    }
    MidiPacket packet;
    while (input_.pop(packet)) {
        received_.fetch_add(1, std::memory_order_relaxed);
        backlog_.push_back(packet);
        if (backlog_.size() > BACKLOG) {
            backlog_.pop_front();
            dropped_.fetch_add(1, std::memory_order_relaxed);
            if (burst_dropped_++ == 0) burst_start_ = std::chrono::steady_clock::now();
        }
    }
}

// To the first process, as the texts it would have typed; nothing queued while it has a window's worth waiting.
void MIDIRouter::pump() {
    while (!backlog_.empty()) {
        SchemeInterface* first = SchemeInterface::I(size_t{0});
        if (!first) {  // no process yet: the input is lost
            backlog_.clear();
            return;
        }
        if (first->queueSize() >= WINDOW) return;
        const MidiPacket& packet = backlog_.front();
        const std::string text = packet.from_virtual ? midi_in_virtual(packet) : midi_in(packet);
        first->createSchemeTask(::strdup(text.c_str()), "MIDI TASK", SchemeTaskType::eval_string);
        backlog_.pop_front();
        delivered_.fetch_add(1, std::memory_order_relaxed);
    }
}

void MIDIRouter::report_drops(bool force) {
    if (burst_dropped_ == 0) return;
    if (force || backlog_.empty() || std::chrono::steady_clock::now() - burst_start_ >= kBurstReport) {
        CPPBridge::notification("MIDI input came faster than Scheme took it: dropped the %llu oldest messages",
                                static_cast<unsigned long long>(burst_dropped_));
        burst_dropped_ = 0;
    }
}

}  // namespace omb
