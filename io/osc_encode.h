// OSC messages built for sending: the padded address, the type tag string and the arguments, big-endian.
//
// Arguments are added in order; lists become arrays ("[" and "]" around their elements' tags).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace omb {

// The most a UDP datagram over IPv4 carries.
constexpr size_t OSC_PACKET_LIMIT = 65507;

// Appends the string, its terminating zero and zero bytes up to the next multiple of four (four zero bytes when
// its length is a multiple of four); returns the bytes appended.
size_t append_osc_string(std::vector<uint8_t>& out, std::string_view s);

class OscMessageWriter {
public:
    void add_int(int32_t value);
    void add_int64(int64_t value);
    void add_float(float value);
    void add_string(std::string_view s);
    void add_blob(const uint8_t* bytes, size_t size);
    void open_array() { tags_ += '['; }
    void close_array() { tags_ += ']'; }

    const std::string& tags() const { return tags_; }  // "," and one tag per argument
    // What the packet for `address` would hold, in bytes.
    size_t packet_size(std::string_view address) const;
    std::vector<uint8_t> packet(std::string_view address) const;

private:
    void append_be32(uint32_t value);
    std::string tags_ = ",";
    std::vector<uint8_t> arguments_;
};

}  // namespace omb
