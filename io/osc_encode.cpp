#include "io/osc_encode.h"

#include <bit>

namespace omb {

namespace {
size_t padded_string_size(size_t length) { return (length + 4) & ~size_t{3}; }
}  // namespace

size_t append_osc_string(std::vector<uint8_t>& out, std::string_view s) {
    const size_t size = padded_string_size(s.size());
    out.insert(out.end(), s.begin(), s.end());
    out.insert(out.end(), size - s.size(), 0);
    return size;
}

void OscMessageWriter::append_be32(uint32_t value) {
    const uint8_t bytes[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
    arguments_.insert(arguments_.end(), bytes, bytes + 4);
}

void OscMessageWriter::add_int(int32_t value) {
    tags_ += 'i';
    append_be32(static_cast<uint32_t>(value));
}

void OscMessageWriter::add_int64(int64_t value) {
    tags_ += 'h';
    append_be32(static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32));
    append_be32(static_cast<uint32_t>(value));
}

void OscMessageWriter::add_float(float value) {
    tags_ += 'f';
    append_be32(std::bit_cast<uint32_t>(value));
}

void OscMessageWriter::add_string(std::string_view s) {
    tags_ += 's';
    append_osc_string(arguments_, s);
}

void OscMessageWriter::add_blob(const uint8_t* bytes, size_t size) {
    tags_ += 'b';
    append_be32(static_cast<uint32_t>(size));
    arguments_.insert(arguments_.end(), bytes, bytes + size);
    arguments_.insert(arguments_.end(), (4 - size % 4) % 4, 0);
}

size_t OscMessageWriter::packet_size(std::string_view address) const {
    return padded_string_size(address.size()) + padded_string_size(tags_.size()) + arguments_.size();
}

std::vector<uint8_t> OscMessageWriter::packet(std::string_view address) const {
    std::vector<uint8_t> out;
    out.reserve(packet_size(address));
    append_osc_string(out, address);
    append_osc_string(out, tags_);
    out.insert(out.end(), arguments_.begin(), arguments_.end());
    return out;
}

}  // namespace omb
