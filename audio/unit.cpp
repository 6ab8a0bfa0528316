#include "audio/unit.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace omb {

std::string fourcc_text(FourCC code) {
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) text[static_cast<size_t>(i)] = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
    return text;
}

bool fourcc_from(const std::string& text, FourCC& code) {
    if (text.size() != 4) return false;
    code = 0;
    for (char c : text) code = (code << 8) | static_cast<uint8_t>(c);
    return true;
}

Unit::Unit(ComponentDescription description, std::vector<ParameterInfo> parameters, std::vector<int> inputs,
           int output_channels)
    : description_(std::move(description)), parameters_(std::move(parameters)), inputs_(std::move(inputs)),
      output_channels_(output_channels) {
    size_t slots = 0;
    for (const auto& p : parameters_) {
        first_slot_.push_back(static_cast<int>(slots));
        slots += static_cast<size_t>(std::max(1, p.elements));
    }
    values_ = std::make_unique<std::atomic<float>[]>(std::max<size_t>(slots, 1));
    for (size_t i = 0; i < parameters_.size(); ++i)
        for (int e = 0; e < std::max(1, parameters_[i].elements); ++e)
            values_[static_cast<size_t>(first_slot_[i] + e)].store(parameters_[i].initial, std::memory_order_relaxed);
}

const ParameterInfo* Unit::parameter(uint32_t id, int scope) const {
    for (const auto& p : parameters_)
        if (p.id == id && p.scope == scope) return &p;
    return nullptr;
}

int Unit::slot(uint32_t id, int scope, int element) const {
    for (size_t i = 0; i < parameters_.size(); ++i) {
        const ParameterInfo& p = parameters_[i];
        if (p.id == id && p.scope == scope) return element >= 0 && element < std::max(1, p.elements)
                                                          ? first_slot_[i] + element
                                                          : -1;
    }
    return -1;
}

float Unit::parameter_value(uint32_t id, int scope, int element) const {
    const int s = slot(id, scope, element);
    return s < 0 ? 0.0f : values_[static_cast<size_t>(s)].load(std::memory_order_relaxed);
}

void Unit::prepare(double sample_rate, uint32_t max_frames) {
    sample_rate_ = sample_rate;
    max_frames_ = max_frames;
}

bool Unit::set_extra_state(const plist::Value&, std::string*) { return true; }

namespace {

// A bypassed unit: its first input, fitted to the output's channels; silence without one.
void pass_through(const BusBuffer* inputs, int input_buses, BusBuffer& out, uint32_t offset, uint32_t count) {
    for (int c = 0; c < out.count; ++c) {
        float* to = out.channels[c] + offset;
        if (input_buses == 0 || inputs[0].count == 0) {
            std::fill(to, to + count, 0.0f);
        } else if (inputs[0].count == out.count) {
            std::copy_n(inputs[0].channels[c] + offset, count, to);
        } else if (inputs[0].count == 1) {
            std::copy_n(inputs[0].channels[0] + offset, count, to);
        } else {  // more inputs than outputs: the average of them all
            const float scale = 1.0f / static_cast<float>(inputs[0].count);
            for (uint32_t i = 0; i < count; ++i) {
                float sum = 0;
                for (int k = 0; k < inputs[0].count; ++k) sum += inputs[0].channels[k][offset + i];
                to[i] = sum * scale;
            }
        }
    }
}

}  // namespace

void Unit::render(const BusBuffer* inputs, BusBuffer& output, uint32_t frames, int64_t window) {
    uint32_t done = 0;
    auto run = [&](uint32_t until) {
        if (until <= done) return;
        if (bypassed()) pass_through(inputs, input_buses(), output, done, until - done);
        else process(inputs, output, done, until - done);
        done = until;
    };
    while (const UnitEvent* e = events_.peek(window)) {
        run(e->window < window ? done : std::min(e->frame, frames));
        if (e->kind == UnitEvent::Kind::parameter) {
            const int s = slot(e->parameter.id, e->parameter.scope, e->parameter.element);
            if (s >= 0) {
                // What is read back is what is in effect: within the range, and no NaN.
                const ParameterInfo& p = *parameter(e->parameter.id, e->parameter.scope);
                const float v = std::isnan(e->parameter.value) ? p.initial : std::clamp(e->parameter.value, p.min, p.max);
                values_[static_cast<size_t>(s)].store(v, std::memory_order_relaxed);
                parameter_changed(e->parameter.id, e->parameter.scope, e->parameter.element, v);
            }
        } else if (e->kind == UnitEvent::Kind::bypass) {
            bypassed_.store(e->bypass.on, std::memory_order_relaxed);
        }
        apply(*e);
        events_.pop();
    }
    run(frames);
}

}  // namespace omb
