// A data object received as an OSC blob (Scheme sends any data object as one).
//
// Reference-counted like every platform object: Scheme holds it in an `objc` cell, which the collector releases.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/objects/foundation.h"

namespace omb {

class OscData final : public NSData {
public:
    explicit OscData(std::vector<uint8_t> bytes) : NSData(std::move(bytes)) { live_.fetch_add(1); }
    ~OscData() override { live_.fetch_sub(1); }

    // How many exist: what shows that received blobs are let go of.
    static long live() { return live_.load(); }

private:
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
