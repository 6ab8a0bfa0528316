// A platform data object: the bytes of an OSC blob. Received blobs become one; Scheme sends one as a blob.
//
// Reference-counted like every platform object: Scheme holds it in an `objc` cell, which the collector releases.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/objects/object.h"

namespace omb {

class OscData final : public Object {
public:
    explicit OscData(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) { live_.fetch_add(1); }
    ~OscData() override { live_.fetch_sub(1); }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    // The foundation class it stands for, so that Scheme code asking for the class finds the familiar name.
    std::string class_name() const override { return "NSData"; }
    // "<01020304 0506>": the bytes in hexadecimal, in groups of four.
    std::string description() const override;

    // How many exist: what shows that received blobs are let go of.
    static long live() { return live_.load(); }

private:
    std::vector<uint8_t> bytes_;
    static inline std::atomic<long> live_{0};
};

// One reference to a data object, given back when the holder goes.
struct ReleaseObject {
    void operator()(Object* object) const {
        if (object) object->release();
    }
};
using OscDataRef = std::unique_ptr<OscData, ReleaseObject>;

inline OscDataRef make_osc_data(const uint8_t* bytes, size_t size) {
    return OscDataRef(new OscData(std::vector<uint8_t>(bytes, bytes + size)));
}

}  // namespace omb
