// The ALSA sequencer as the MIDI router's system: one duplex client "Ombrel" with its input and output ports, a
// virtual source and a virtual destination (plain ports that others subscribe to), and an input thread that turns
// sequencer events back into raw MIDI messages for the router's ring.
//
// Threads: open(), the listings, connect_source() and open_destination() on the router's thread; send() and
// send_sysex() on the scheduler's queue thread; the input thread "ombrel midi alsa" reads events and pushes
// packets. All share one handle: the input side uses only its input buffer, the output side only its output
// buffer, and the rest are ioctls on records of their own, which the sequencer serialises in the kernel.
#include "io/midi_system.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/dev_log.h"
#include "platform/thread.h"

namespace omb {

namespace {

constexpr const char* kClientName = "Ombrel";
constexpr const char* kInputPortName = "Ombrel Input port";
constexpr const char* kOutputPortName = "Ombrle Output port";
constexpr const char* kVirtualOutputName = "Ombrel Virtual Output";
constexpr const char* kVirtualInputName = "Ombrel Virtual Input";

constexpr unsigned kPortType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;
constexpr unsigned kReadable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned kWritable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

// How long the input thread sleeps between looks at its stop flag when the wake-up is missed.
constexpr int kPollMilliseconds = 100;
// Events read in one go before the thread looks at its stop flag again.
constexpr int kEventsPerTurn = 256;
// Room for one short message being encoded, and for what one non-sysex event decodes into: at most four
// controller messages (a registered parameter).
constexpr long kCoderBytes = 16;

uint32_t endpoint_id(int client, int port) { return static_cast<uint32_t>(client) * 256 + static_cast<uint32_t>(port); }

// An id that names a real port, not one of the sequencer's broadcast addresses.
bool addressable(uint32_t id) {
    return (id >> 8) < SND_SEQ_ADDRESS_UNKNOWN && (id & 0xFF) != SND_SEQ_ADDRESS_BROADCAST;
}

// What aconnect shows, without the client's name twice when the port's name already starts with it.
std::string display_name_of(snd_seq_client_info_t* client, snd_seq_port_info_t* port) {
    const std::string client_name = snd_seq_client_info_get_name(client);
    const std::string port_name = snd_seq_port_info_get_name(port);
    if (port_name.starts_with(client_name)) return port_name;
    return client_name + ":" + port_name;
}

MidiPacket packet_of(const uint8_t* bytes, size_t count, const MidiPacket& from) {
    MidiPacket packet = from;
    packet.length = static_cast<uint16_t>(std::min<size_t>(count, 0xFFFF));
    std::copy_n(bytes, std::min<size_t>(count, 3), packet.data);
    return packet;
}

class AlsaMidi final : public MidiSystem {
public:
    ~AlsaMidi() override;
    const char* name() const override { return "alsa"; }

    bool open(MidiInputRing& input) override;
    std::string error() const override { return error_; }
    bool has_virtual_output() const override { return virtual_output_ >= 0; }
    bool has_virtual_input() const override { return virtual_input_ >= 0; }

    std::vector<MidiEndpoint> sources() override { return endpoints(kReadable); }
    std::vector<MidiEndpoint> destinations() override { return endpoints(kWritable); }
    std::vector<MidiDeviceInfo> devices() override;
    std::optional<std::string> display_name(uint32_t id) override;

    bool connect_source(uint32_t id) override;
    bool open_destination(uint32_t id) override;
    bool send(uint32_t destination, int64_t time, std::span<const uint8_t> bytes) override;
    bool send_sysex(uint32_t destination, std::span<const uint8_t> bytes) override;

private:
    bool fail(std::string why);
    void close();
    void create_virtual_ports();
    bool start_input();
    std::vector<MidiEndpoint> endpoints(unsigned capability);
    bool port_capability(uint32_t id, unsigned& capability);
    bool output(snd_seq_event_t& event, uint32_t destination);

    void run();
    void receive(const snd_seq_event_t& event);

    snd_seq_t* seq_ = nullptr;
    int client_ = -1;
    int input_port_ = -1, output_port_ = -1, virtual_output_ = -1, virtual_input_ = -1;
    std::string error_;
    std::atomic<bool> ready_{false};  // open() finished: send() may use the handle

    snd_midi_event_t* encoder_ = nullptr;  // queue thread only
    snd_midi_event_t* decoder_ = nullptr;  // input thread only
    MidiInputRing* ring_ = nullptr;
    std::vector<pollfd> poll_fds_;  // the sequencer's descriptors, then the wake-up
    int wake_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::unique_ptr<Thread> thread_;
};

AlsaMidi::~AlsaMidi() {
    if (thread_) {
        stopping_ = true;
        const uint64_t one = 1;
        if (::write(wake_fd_, &one, sizeof one) < 0) {
            // The thread still sees the flag at its next time-out.
        }
        thread_->join();
    }
    close();
}

bool AlsaMidi::open(MidiInputRing& input) {
    if (seq_) return true;
    error_.clear();
    int err = snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, 0);
    if (err < 0) {
        seq_ = nullptr;
        return fail(std::string("No ALSA sequencer: ") + snd_strerror(err));
    }
    // Non-blocking both ways: the input thread waits in poll(), and a full destination fails a send at once
    // instead of holding up the scheduler.
    if ((err = snd_seq_nonblock(seq_, 1)) < 0 || (err = snd_seq_set_client_name(seq_, kClientName)) < 0)
        return fail(std::string("Could not set up the ALSA sequencer client: ") + snd_strerror(err));
    client_ = snd_seq_client_id(seq_);
    input_port_ = snd_seq_create_simple_port(seq_, kInputPortName, kWritable, kPortType);
    if (input_port_ < 0) return fail(std::string("Could not create the MIDI input port: ") + snd_strerror(input_port_));
    output_port_ = snd_seq_create_simple_port(seq_, kOutputPortName, kReadable, kPortType);
    if (output_port_ < 0)
        return fail(std::string("Could not create the MIDI output port: ") + snd_strerror(output_port_));
    if ((err = snd_midi_event_new(kCoderBytes, &encoder_)) < 0 ||
        (err = snd_midi_event_new(kCoderBytes, &decoder_)) < 0)
        return fail(std::string("Could not create the MIDI event coder: ") + snd_strerror(err));
    // Every decoded message carries its status byte, so the input side can split and classify them alone.
    snd_midi_event_no_status(decoder_, 1);
    create_virtual_ports();
    ring_ = &input;
    if (!start_input()) return fail("Could not start the MIDI input thread");
    ready_.store(true, std::memory_order_release);
    return true;
}

// Leaves nothing open and says why.
bool AlsaMidi::fail(std::string why) {
    close();
    error_ = std::move(why);
    return false;
}

void AlsaMidi::close() {
    ready_ = false;
    thread_.reset();
    if (encoder_) snd_midi_event_free(encoder_);
    if (decoder_) snd_midi_event_free(decoder_);
    if (seq_) snd_seq_close(seq_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
    encoder_ = decoder_ = nullptr;
    seq_ = nullptr;
    wake_fd_ = -1;
    client_ = input_port_ = output_port_ = virtual_output_ = virtual_input_ = -1;
}

// The router goes on without a virtual endpoint that cannot be made; error() says which and why.
void AlsaMidi::create_virtual_ports() {
    virtual_output_ = snd_seq_create_simple_port(seq_, kVirtualOutputName, kReadable, kPortType);
    if (virtual_output_ < 0) {
        error_ = std::string("Could not create the virtual MIDI output: ") + snd_strerror(virtual_output_);
        virtual_output_ = -1;
    }
    virtual_input_ = snd_seq_create_simple_port(seq_, kVirtualInputName, kWritable, kPortType);
    if (virtual_input_ < 0) {
        if (!error_.empty()) error_ += "; ";
        error_ += std::string("Could not create the virtual MIDI input: ") + snd_strerror(virtual_input_);
        virtual_input_ = -1;
    }
}

bool AlsaMidi::start_input() {
    const int count = snd_seq_poll_descriptors_count(seq_, POLLIN);
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (count <= 0 || wake_fd_ < 0) return false;
    poll_fds_.assign(static_cast<size_t>(count) + 1, pollfd{});
    if (snd_seq_poll_descriptors(seq_, poll_fds_.data(), static_cast<unsigned>(count), POLLIN) != count) return false;
    poll_fds_.back() = {wake_fd_, POLLIN, 0};
    stopping_ = false;
    thread_ = std::make_unique<Thread>("ombrel midi alsa", [this] { run(); });
    return thread_->start();
}

std::vector<MidiEndpoint> AlsaMidi::endpoints(unsigned capability) {
    std::vector<MidiEndpoint> found;
    if (!seq_) return found;
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq_, client) >= 0) {
        const int c = snd_seq_client_info_get_client(client);
        if (c == SND_SEQ_CLIENT_SYSTEM) continue;  // its timer and announcements are no MIDI endpoints
        snd_seq_port_info_set_client(port, c);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq_, port) >= 0) {
            const int p = snd_seq_port_info_get_port(port);
            const unsigned caps = snd_seq_port_info_get_capability(port);
            if ((caps & capability) != capability || (caps & SND_SEQ_PORT_CAP_NO_EXPORT)) continue;
            // Our own ports are not endpoints to us; our virtual ones are, as any program's are.
            if (c == client_ && (p == input_port_ || p == output_port_)) continue;
            found.push_back({endpoint_id(c, p), display_name_of(client, port)});
        }
    }
    return found;
}

std::vector<MidiDeviceInfo> AlsaMidi::devices() {
    std::vector<MidiDeviceInfo> found;
    if (!seq_) return found;
    snd_seq_client_info_t* client;
    snd_seq_client_info_alloca(&client);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq_, client) >= 0) {
        if (snd_seq_client_info_get_client(client) == SND_SEQ_CLIENT_SYSTEM) continue;
        const bool kernel = snd_seq_client_info_get_type(client) == SND_SEQ_KERNEL_CLIENT;
        // The sequencer knows no manufacturers.
        found.push_back({snd_seq_client_info_get_name(client), "-", kernel ? "kernel" : "user"});
    }
    return found;
}

std::optional<std::string> AlsaMidi::display_name(uint32_t id) {
    if (!seq_ || !addressable(id)) return std::nullopt;
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    const int c = static_cast<int>(id >> 8), p = static_cast<int>(id & 0xFF);
    if (snd_seq_get_any_client_info(seq_, c, client) < 0 || snd_seq_get_any_port_info(seq_, c, p, port) < 0)
        return std::nullopt;
    return display_name_of(client, port);
}

// False when there is no port with that id.
bool AlsaMidi::port_capability(uint32_t id, unsigned& capability) {
    if (!seq_ || !addressable(id)) return false;
    snd_seq_port_info_t* port;
    snd_seq_port_info_alloca(&port);
    if (snd_seq_get_any_port_info(seq_, static_cast<int>(id >> 8), static_cast<int>(id & 0xFF), port) < 0)
        return false;
    capability = snd_seq_port_info_get_capability(port);
    return true;
}

bool AlsaMidi::connect_source(uint32_t id) {
    unsigned caps = 0;
    if (!port_capability(id, caps) || (caps & kReadable) != kReadable) return false;
    const int err = snd_seq_connect_from(seq_, input_port_, static_cast<int>(id >> 8), static_cast<int>(id & 0xFF));
    return err >= 0 || err == -EBUSY;  // EBUSY: subscribed already
}

// Sends go straight to the address, so a destination needs no subscription, only to exist and take events.
bool AlsaMidi::open_destination(uint32_t id) {
    if (id == VIRTUAL_OUTPUT) return has_virtual_output();
    unsigned caps = 0;
    return port_capability(id, caps) && (caps & SND_SEQ_PORT_CAP_WRITE);
}

bool AlsaMidi::send(uint32_t destination, int64_t, std::span<const uint8_t> bytes) {
    if (!ready_.load(std::memory_order_acquire) || bytes.empty()) return false;
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_midi_event_reset_encode(encoder_);
    const long used = snd_midi_event_encode(encoder_, bytes.data(), static_cast<long>(bytes.size()), &event);
    // A message cut short (a note-on without its velocity) encodes to nothing: sending a part would be wrong.
    if (used <= 0 || event.type == SND_SEQ_EVENT_NONE) return false;
    return output(event, destination);
}

bool AlsaMidi::send_sysex(uint32_t destination, std::span<const uint8_t> bytes) {
    if (!ready_.load(std::memory_order_acquire)) return false;
    // An unterminated message would leave the receiver swallowing whatever comes next as system-exclusive data.
    if (bytes.size() < 2 || bytes.front() != 0xF0 || bytes.back() != 0xF7) return false;
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_seq_ev_set_sysex(&event, static_cast<unsigned>(bytes.size()), const_cast<uint8_t*>(bytes.data()));
    if (!output(event, destination)) return false;
    devlog("SysEx Message Successfully Sent");
    return true;
}

// Sends at once: the scheduler calls when the message is due.
bool AlsaMidi::output(snd_seq_event_t& event, uint32_t destination) {
    if (destination == VIRTUAL_OUTPUT) {
        if (virtual_output_ < 0) return false;
        snd_seq_ev_set_source(&event, virtual_output_);
        snd_seq_ev_set_subs(&event);
    } else {
        if (!addressable(destination)) return false;
        snd_seq_ev_set_source(&event, output_port_);
        snd_seq_ev_set_dest(&event, destination >> 8, destination & 0xFF);
    }
    snd_seq_ev_set_direct(&event);
    return snd_seq_event_output_direct(seq_, &event) >= 0;
}

void AlsaMidi::run() {
    const auto count = static_cast<nfds_t>(poll_fds_.size());
    while (!stopping_.load(std::memory_order_acquire)) {
        ::poll(poll_fds_.data(), count, kPollMilliseconds);
        for (int i = 0; i < kEventsPerTurn; ++i) {
            snd_seq_event_t* event = nullptr;
            const int status = snd_seq_event_input(seq_, &event);
            if (status == -ENOSPC) continue;  // the kernel dropped events it had no room for; read on
            if (status < 0 || !event) break;  // EAGAIN: nothing more waiting
            receive(*event);
        }
    }
}

// One packet per MIDI message the event carries. Announcements and subscription notices decode to nothing.
void AlsaMidi::receive(const snd_seq_event_t& event) {
    MidiPacket from;
    from.source = endpoint_id(event.source.client, event.source.port);
    from.from_virtual = virtual_input_ >= 0 && event.dest.port == virtual_input_;
    if (event.type == SND_SEQ_EVENT_SYSEX) {
        // Whole, however long: the router only needs its length and first bytes.
        if (event.data.ext.len > 0)
            ring_->push(packet_of(static_cast<const uint8_t*>(event.data.ext.ptr), event.data.ext.len, from));
        return;
    }
    uint8_t bytes[kCoderBytes];
    snd_midi_event_reset_decode(decoder_);
    const long count = snd_midi_event_decode(decoder_, bytes, kCoderBytes, &event);
    // Some events decode to several messages (a 14-bit controller is two); each starts with its status byte.
    long start = 0;
    for (long i = 1; i <= count; ++i) {
        if (i < count && bytes[i] < 0x80) continue;
        ring_->push(packet_of(bytes + start, static_cast<size_t>(i - start), from));
        start = i;
    }
}

}  // namespace

std::unique_ptr<MidiSystem> make_alsa_midi() { return std::make_unique<AlsaMidi>(); }

}  // namespace omb
