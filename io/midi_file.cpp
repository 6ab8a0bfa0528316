// Reading a standard MIDI file: the header chunk, then the announced number of track chunks, each a run of
// delta-timed events. Every read goes through a cursor bounded by the end of what it may read (the file, the
// header chunk, or the track chunk), so a lying length is caught where it lies.
#include "io/midi_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

namespace omb {

namespace {

struct BadFile {
    std::string reason;
};

[[noreturn]] void refuse(std::string reason) { throw BadFile{std::move(reason)}; }

std::string at_byte(size_t offset) { return " at byte " + std::to_string(offset); }

// A read-only window on the file's bytes. A read that would pass the window's end refuses the file, naming what
// was cut short and where; `scope` says what the window is ("the file", "its track").
class Cursor {
public:
    Cursor(const uint8_t* origin, const uint8_t* begin, size_t size, const char* scope)
        : origin_(origin), p_(begin), end_(begin + size), scope_(scope) {}

    size_t offset() const { return static_cast<size_t>(p_ - origin_); }
    size_t left() const { return static_cast<size_t>(end_ - p_); }
    bool empty() const { return p_ == end_; }

    uint8_t peek(const char* what) const {
        need(1, what);
        return *p_;
    }
    uint8_t byte(const char* what) {
        need(1, what);
        return *p_++;
    }
    // `n` bytes, most significant first.
    uint32_t big_endian(int n, const char* what) {
        need(static_cast<size_t>(n), what);
        uint32_t value = 0;
        for (int i = 0; i < n; ++i) value = value << 8 | *p_++;
        return value;
    }
    // A variable-length quantity: seven bits a byte, most significant first; at most four bytes, as the format
    // allows, so the value fits 28 bits.
    uint32_t quantity(const char* what) {
        const size_t start = offset();
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const uint8_t b = byte(what);
            value = value << 7 | (b & 0x7Fu);
            if (!(b & 0x80)) return value;
        }
        refuse(std::string(what) + " longer than four bytes" + at_byte(start));
    }
    // The next `n` bytes as a window of their own, stepped over here.
    Cursor take(size_t n, const char* what, const char* scope) {
        need(n, what);
        Cursor part(origin_, p_, n, scope);
        p_ += n;
        return part;
    }
    void skip(size_t n, const char* what) { take(n, what, scope_); }

private:
    void need(size_t n, const char* what) const {
        if (left() < n)
            refuse(std::string(what) + at_byte(offset()) + " runs past the end of " + scope_ + " (" +
                   std::to_string(n) + " bytes needed, " + std::to_string(left()) + " left)");
    }

    const uint8_t* origin_;
    const uint8_t* p_;
    const uint8_t* end_;
    const char* scope_;
};

constexpr uint32_t kHeaderTag = 0x4D546864;  // "MThd"
constexpr uint32_t kTrackTag = 0x4D54726B;   // "MTrk"
constexpr uint8_t kMeta = 0xFF;
constexpr uint8_t kTempo = 0x51;

uint8_t data_byte(Cursor& in, const char* what) {
    const size_t at = in.offset();
    const uint8_t b = in.byte(what);
    if (b & 0x80) refuse(std::string(what) + " is a status byte (" + std::to_string(b) + ")" + at_byte(at));
    return b;
}

std::unique_ptr<Event> channel_event(Cursor& in, uint8_t status, long delta) {
    const uint8_t channel = status & 0x0F;
    switch (status >> 4) {
    case 8: {
        const uint8_t pitch = data_byte(in, "a note-off's pitch");
        return std::make_unique<NoteOff>(pitch, data_byte(in, "a note-off's velocity"), channel, delta);
    }
    case 9: {
        const uint8_t pitch = data_byte(in, "a note-on's pitch");
        return std::make_unique<NoteOn>(pitch, data_byte(in, "a note-on's velocity"), channel, delta);
    }
    case 10: {
        const uint8_t pitch = data_byte(in, "an aftertouch's pitch");
        return std::make_unique<ATouch>(pitch, data_byte(in, "an aftertouch's pressure"), channel, delta);
    }
    case 11: {
        const uint8_t controller = data_byte(in, "a controller number");
        return std::make_unique<CChange>(controller, data_byte(in, "a controller value"), channel, delta);
    }
    case 12: return std::make_unique<PChange>(data_byte(in, "a program number"), channel, delta);
    case 13: return std::make_unique<CPres>(data_byte(in, "a channel pressure"), channel, delta);
    default: {
        // The bend's least significant seven bits are read and dropped.
        data_byte(in, "a pitch bend");
        return std::make_unique<PWheel>(data_byte(in, "a pitch bend"), channel, delta);
    }
    }
}

// Only a tempo is kept; every other meta event (end of track included) is stepped over.
std::unique_ptr<Event> meta_event(Cursor& in, long delta) {
    const uint8_t type = in.byte("a meta event's type");
    const size_t length_at = in.offset();
    const uint32_t length = in.quantity("a meta event's length");
    Cursor body = in.take(length, "a meta event", "its track");
    if (type != kTempo) return nullptr;
    if (length < 3)
        refuse("a tempo of " + std::to_string(length) + " bytes (three needed)" + at_byte(length_at));
    return std::make_unique<Tempo>(delta, static_cast<int>(body.big_endian(3, "a tempo")));
}

class Reader {
public:
    Reader(SMF& smf, bool report) : smf_(smf), report_(report) {}

    void file(Cursor& in) {
        const uint32_t tag = in.big_endian(4, "the header's tag");
        if (tag == kHeaderTag) {
            const size_t length_at = in.offset();
            const uint32_t length = in.big_endian(4, "the header's length");
            if (length < 6)
                refuse("a header of " + std::to_string(length) + " bytes (six needed)" + at_byte(length_at));
            // A longer header carries fields this reader does not know; they are stepped over with the window.
            Cursor header = in.take(length, "the header", "the header");
            header_fields(header);
        } else {
            // Not a MIDI file by its tag; read on from where the header's fields would be, and let the chunk tags
            // decide.
            if (report_) std::printf("This is NOT a MIDI file !!!\nMagic Number Is: %u\n", tag);
            header_fields(in);
        }
        for (int number = 1; number <= smf_.ntracks; ++number) smf_.tracks.push_back(track(in, number));
    }

private:
    void header_fields(Cursor& in) {
        smf_.format = static_cast<uint16_t>(in.big_endian(2, "the format"));
        smf_.ntracks = static_cast<uint16_t>(in.big_endian(2, "the number of tracks"));
        const size_t division_at = in.offset();
        smf_.division = static_cast<int16_t>(in.big_endian(2, "the division"));
        check_division(division_at);
    }

    void check_division(size_t at) const {
        const int division = smf_.division;
        if (division == 0) refuse("a division of 0 ticks per quarter note" + at_byte(at));
        if (division > 0) return;
        const int frames = -static_cast<int8_t>((division >> 8) & 0xFF);
        const int ticks = division & 0xFF;
        if ((frames != 24 && frames != 25 && frames != 29 && frames != 30) || ticks == 0)
            refuse("a time-code division of " + std::to_string(frames) + " frames per second and " +
                   std::to_string(ticks) + " ticks per frame" + at_byte(at));
    }

    Track track(Cursor& in, int number) {
        if (in.empty())
            refuse("the header announces " + std::to_string(smf_.ntracks) + " tracks, the file holds " +
                   std::to_string(number - 1));
        const size_t tag_at = in.offset();
        if (in.big_endian(4, "a track's tag") != kTrackTag) {
            if (report_) std::fputs("Track started in wrong place!!!!  ABORTING\n", stderr);
            refuse("track " + std::to_string(number) + " does not begin with \"MTrk\"" + at_byte(tag_at));
        }
        const uint32_t length = in.big_endian(4, "a track's length");
        Cursor chunk = in.take(length, "a track", "its track");
        Track result;
        uint8_t running = 0;  // the status a data byte in its place continues; none at first
        long carried = 0;     // ticks of events not kept, owed to the next kept one
        while (!chunk.empty()) event(chunk, result, running, carried);
        return result;
    }

    // Meta and system exclusive events cancel running status: a data byte after one has no status to continue.
    static void event(Cursor& in, Track& track, uint8_t& running, long& carried) {
        const long delta = carried + static_cast<long>(in.quantity("a delta time"));
        const size_t status_at = in.offset();
        uint8_t status = in.peek("an event");
        if (status < 0x80) {
            if (running == 0) refuse("a data byte with no running status" + at_byte(status_at));
            status = running;
        } else {
            in.byte("an event");
        }
        std::unique_ptr<Event> made;
        if (status == kMeta) {
            made = meta_event(in, delta);
            running = 0;
        } else if (status >= 0xF0) {
            in.skip(in.quantity("a system exclusive length"), "a system exclusive event");
            running = 0;
        } else {
            made = channel_event(in, status, delta);
            running = status;
        }
        carried = made ? 0 : delta;
        if (made) track.events.push_back(std::move(made));
    }

    SMF& smf_;
    bool report_;
};

}  // namespace

bool SMF::parse(const uint8_t* bytes, size_t size, bool report) {
    tracks.clear();
    error_.clear();
    try {
        Cursor in(bytes, bytes, size, "the file");
        Reader(*this, report).file(in);
        return true;
    } catch (const BadFile& bad) {
        tracks.clear();
        error_ = bad.reason;
        return false;
    }
}

namespace {

// Only a regular file is opened: a FIFO would block the reading process, a device might never end.
std::FILE* open_regular(const std::string& path, std::string& why) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        why = ec ? ec.message() : "not a regular file";
        return nullptr;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) why = std::strerror(errno);
    return f;
}

bool read_all(std::FILE* f, std::vector<uint8_t>& bytes) {
    uint8_t block[65536];
    for (size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;) bytes.insert(bytes.end(), block, block + n);
    return !std::ferror(f);
}

}  // namespace

bool SMF::read(const std::string& path) {
    std::string why;
    std::vector<uint8_t> bytes;
    if (std::FILE* f = open_regular(path, why)) {
        if (!read_all(f, bytes)) why = "the file could not be read";
        std::fclose(f);
    }
    if (!why.empty()) {
        std::fprintf(stderr, "Unable to open SMF file: %s\n", path.c_str());
        tracks.clear();
        error_ = "unable to open the file: " + why;
        return false;
    }
    return parse(bytes.data(), bytes.size(), true);
}

void append_variable_quantity(std::vector<uint8_t>& out, uint32_t value) {
    uint8_t groups[5];
    int n = 0;
    do groups[n++] = value & 0x7F, value >>= 7;
    while (value);
    while (n > 1) out.push_back(groups[--n] | 0x80);
    out.push_back(groups[0]);
}

void append_big_endian(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace omb
