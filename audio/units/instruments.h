// The factories of the built-in instruments ("aumu"), registered by register_instruments().
#pragma once

#include <memory>
#include <string>

#include "audio/unit.h"
#include "audio/unit_registry.h"

namespace omb {

// "dls ": the General MIDI SoundFont synth (gm_synth.cpp).
std::unique_ptr<Unit> make_gm_synth(const ComponentDescription& asked, int output_channels, std::string* error);
// "subs": the polyphonic subtractive synth (subtractive_synth.cpp).
std::unique_ptr<Unit> make_subtractive_synth(const ComponentDescription& asked, int output_channels,
                                             std::string* error);
// "smpl": the sampler (sampler.cpp).
std::unique_ptr<Unit> make_sampler(const ComponentDescription& asked, int output_channels, std::string* error);

}  // namespace omb
