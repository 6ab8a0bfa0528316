#include "io/osc_decode.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

namespace omb {

namespace {

constexpr const char* CUT =
    "OSC datagram longer than 256 bytes: cut to 256, its last message keeps only its whole arguments";
constexpr const char* NOT_A_NUMBER = "OSC float argument is not a number - dropping message";

std::string malformed(const char* what) { return std::string("Malformed OSC message - dropping message: ") + what; }
std::string malformed_bundle(const char* what) {
    return std::string("Malformed OSC bundle - dropping the rest of the bundle: ") + what;
}

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
uint64_t be64(const uint8_t* p) { return uint64_t(be32(p)) << 32 | be32(p + 4); }

template <class T>
void append_number(std::string& text, T value) {
    char digits[32];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text.append(digits, end);
}

// The bytes of a message, read from the front. Positions may pass the end after a string's padding (the last
// string of a message may lack it); every read checks what is left.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t left() const { return pos_ < size_ ? size_ - pos_ : 0; }
    bool at_end() const { return pos_ >= size_; }
    const uint8_t* take(size_t n) {  // null when fewer than n bytes are left
        if (left() < n) return nullptr;
        const uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }
    // A zero-terminated string and its padding to a multiple of four; nothing when no zero byte is left.
    std::optional<std::string_view> string() {
        if (left() == 0) return std::nullopt;
        const uint8_t* start = data_ + pos_;
        const void* zero = std::memchr(start, 0, left());
        if (!zero) return std::nullopt;
        const size_t length = static_cast<const uint8_t*>(zero) - start;
        pos_ += (length + 4) & ~size_t{3};
        return std::string_view(reinterpret_cast<const char*>(start), length);
    }
    void skip_padding(size_t n) { pos_ += (4 - n % 4) % 4; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Tags this system delivers, with array brackets balanced and not nested too deep; the reason when not.
std::optional<std::string> check_tags(std::string_view tags) {
    int depth = 0;
    for (char tag : tags) {
        switch (tag) {
        case 'i': case 'f': case 's': case 'h': case 'b': break;
        case '[':
            if (++depth > OSC_ARRAY_DEPTH_LIMIT) return malformed("arrays nested deeper than 16");
            break;
        case ']':
            if (--depth < 0) return malformed("']' without '['");
            break;
        default: return std::string(OSC_BAD_TYPE);
        }
    }
    if (depth != 0) return malformed("'[' not closed");
    return std::nullopt;
}

enum class Outcome { whole, partial, dropped };

class MessageDecoder {
public:
    MessageDecoder(const uint8_t* data, size_t size, bool cut, OscCall& call, std::string& problem)
        : in_(data, size), cut_(cut), call_(call), text_(call.text), problem_(problem) {}

    Outcome decode() {
        auto address = in_.string();
        if (!address) return drop(cut_ ? CUT : malformed("address not terminated"));
        text_ += "(io:osc-receive \"";
        append_scheme_string_contents(text_, address->data(), address->size());
        text_ += '"';
        // Without a type tag string (as some old senders do) the message has no arguments.
        if (in_.at_end()) return finish(Outcome::whole);
        auto tags = in_.string();
        if (!tags) return drop(cut_ ? CUT : malformed("type tags not terminated"));
        if (tags->empty() || tags->front() != ',') return drop(malformed("type tags do not begin with ','"));
        tags->remove_prefix(1);
        if (auto reason = check_tags(*tags)) return drop(*reason);
        int open = 0;
        for (char tag : *tags) {
            if (tag == '[') {
                text_ += " (list ";
                ++open;
            } else if (tag == ']') {
                text_ += ')';
                --open;
            } else if (auto outcome = item(tag); outcome != Outcome::whole) {
                if (outcome == Outcome::dropped) return outcome;
                text_.append(static_cast<size_t>(open), ')');  // a cut message: close what the cut left open
                problem_ = CUT;
                return finish(Outcome::partial);
            }
        }
        return finish(Outcome::whole);
    }

private:
    // One argument; `partial` when the datagram was cut inside it.
    Outcome item(char tag) {
        switch (tag) {
        case 'i': {
            const uint8_t* p = in_.take(4);
            if (!p) return short_item();
            text_ += ' ';
            append_number(text_, static_cast<int32_t>(be32(p)));
            return Outcome::whole;
        }
        case 'h': {
            const uint8_t* p = in_.take(8);
            if (!p) return short_item();
            text_ += ' ';
            append_number(text_, static_cast<int64_t>(be64(p)));
            return Outcome::whole;
        }
        case 'f': {
            const uint8_t* p = in_.take(4);
            if (!p) return short_item();
            return real(std::bit_cast<float>(be32(p)));
        }
        case 's': {
            auto s = in_.string();
            if (!s) return cut_ ? Outcome::partial : drop(malformed("string argument not terminated"));
            text_ += " \"";
            append_scheme_string_contents(text_, s->data(), s->size());
            text_ += '"';
            return Outcome::whole;
        }
        default: return blob();  // 'b': the tags were checked
        }
    }

    Outcome real(double value) {
        if (std::isnan(value)) return drop(NOT_A_NUMBER);
        text_ += ' ';
        if (std::isinf(value)) {
            // What the reader reads as an infinity: a literal, never a symbol the performer might have bound.
            text_ += value > 0 ? "1e+999" : "-1e+999";
            return Outcome::whole;
        }
        char digits[32];
        // Six significant digits, as a stream prints a double by default.
        auto end = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 6).ptr;
        text_.append(digits, end);
        return Outcome::whole;
    }

    Outcome blob() {
        const uint8_t* size_bytes = in_.take(4);
        if (!size_bytes) return short_item();
        const uint32_t size = be32(size_bytes);
        const uint8_t* bytes = in_.take(size);
        if (!bytes) {
            if (cut_) return Outcome::partial;
            char what[96];
            std::snprintf(what, sizeof what, "blob of %u bytes runs past the end of the message", size);
            return drop(malformed(what));
        }
        in_.skip_padding(size);
        call_.blobs.push_back(make_osc_data(bytes, size));
        char address[40];
        std::snprintf(address, sizeof address, " \"%p\"", static_cast<void*>(call_.blobs.back().get()));
        text_ += address;
        return Outcome::whole;
    }

    Outcome short_item() { return cut_ ? Outcome::partial : drop(malformed("argument runs past the end of the message")); }

    Outcome drop(std::string reason) {
        problem_ = std::move(reason);
        return Outcome::dropped;
    }

    Outcome finish(Outcome outcome) {
        text_ += ')';
        return outcome;
    }

    Bytes in_;
    bool cut_;
    OscCall& call_;
    std::string& text_;
    std::string& problem_;
};

bool is_bundle(const uint8_t* data, size_t size) { return size >= 8 && std::memcmp(data, "#bundle", 8) == 0; }

bool decode_element(const uint8_t* data, size_t size, bool cut, int depth, OscDecoded& into);

// The elements of a bundle, in order, each a 4-byte size and a message or bundle. The time tag is not used:
// elements are delivered at once.
bool decode_bundle(const uint8_t* data, size_t size, bool cut, int depth, OscDecoded& into) {
    if (depth >= OSC_BUNDLE_DEPTH_LIMIT) {
        into.problem = malformed_bundle("bundles nested deeper than 8");
        return false;
    }
    if (size < 16) {
        into.problem = cut ? CUT : malformed_bundle("no time tag");
        return false;
    }
    for (size_t pos = 16; pos < size;) {
        if (size - pos < 4) {
            into.problem = cut ? CUT : malformed_bundle("element size cut short");
            return false;
        }
        size_t element = be32(data + pos);
        pos += 4;
        bool element_cut = false;
        if (element > size - pos) {
            if (!cut) {
                char what[96];
                std::snprintf(what, sizeof what, "element of %zu bytes runs past the end of the bundle", element);
                into.problem = malformed_bundle(what);
                return false;
            }
            element = size - pos;
            element_cut = true;
        }
        if (!decode_element(data + pos, element, element_cut, depth + 1, into)) return false;
        pos += element;
    }
    return true;
}

bool decode_element(const uint8_t* data, size_t size, bool cut, int depth, OscDecoded& into) {
    if (is_bundle(data, size)) return decode_bundle(data, size, cut, depth, into);
    OscCall call;
    std::string problem;
    const Outcome outcome = MessageDecoder(data, size, cut, call, problem).decode();
    if (outcome == Outcome::dropped) {
        into.problem = std::move(problem);
        return false;
    }
    if (outcome == Outcome::partial) into.problem = std::move(problem);
    into.calls.push_back(std::move(call));
    return outcome == Outcome::whole;
}

}  // namespace

void append_scheme_string_contents(std::string& text, const char* chars, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (chars[i] == '"' || chars[i] == '\\') text += '\\';
        text += chars[i];
    }
}

void decode_osc_datagram(const uint8_t* data, size_t size, bool cut, OscDecoded& into) {
    if (size > OSC_DATAGRAM_LIMIT) {
        size = OSC_DATAGRAM_LIMIT;
        cut = true;
    }
    if (decode_element(data, size, cut, 0, into) && cut && into.problem.empty()) into.problem = CUT;
}

}  // namespace omb
