#include "audio/units/instruments.h"

#include "audio/unit_registry.h"

namespace omb {

void register_instruments(UnitRegistry& registry) {
    const FourCC music_device = fourcc("aumu");
    registry.add({music_device, fourcc("dls "), kOmbrel, "Ombrel: General MIDI Synth"}, make_gm_synth,
                 {{music_device, fourcc("dls "), kApple}});
    registry.add({music_device, fourcc("subs"), kOmbrel, "Ombrel: Subtractive Synth"}, make_subtractive_synth);
    registry.add({music_device, fourcc("smpl"), kOmbrel, "Ombrel: Sampler"}, make_sampler,
                 {{music_device, fourcc("samp"), kApple}});
}

}  // namespace omb
