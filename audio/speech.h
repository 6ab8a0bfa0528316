// Speech channels: text spoken by espeak-ng and mixed into the engine's output, one mono voice per channel.
//
// Threads:
// - Any thread (a process's executer, the scheduler's queue thread) makes channels, reads and sets their properties
//   (atomics) and queues utterances; queuing takes a mutex only for a moment and never synthesises.
// - One speech worker thread of ours, started with the first channel, owns espeak-ng (a process-wide library that
//   is not thread-safe): it applies the channel's properties, synthesises at 22 050 Hz, converts to the engine's
//   rate and appends the samples to the channel's lock-free single-producer single-consumer list of blocks. It frees
//   blocks only once the render has moved past them.
// - The render thread mixes with speech_mix: no lock, no allocation, no system call.
// Channels are never freed (like task targets, they live for the program), so the render can always read them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace omb {

constexpr int kMaxSpeechChannels = 64;

struct SpeechChannel;

// A new channel with the default voice and properties; null, with an error in the log, beyond kMaxSpeechChannels.
SpeechChannel* speech_channel_new();
// The value handed to Scheme for a channel. It is also a harmless task target, should a performer schedule it.
void* speech_channel_handle(SpeechChannel* channel);
// The channel a handle from Scheme names, or null: compared with the live channels, never dereferenced.
SpeechChannel* speech_channel_find(const void* handle);
// Channels by their number (0 up), for tasks, which carry plain numbers.
int speech_channel_index(const SpeechChannel* channel);
SpeechChannel* speech_channel_at(int index);

// Properties, as four-character codes: 'rate' (words per minute), 'pbas' (pitch base, a note number), 'pmod' (pitch
// modulation) and 'volm' (volume, 1 is normal). Values are 16.16 fixed point.
bool speech_selector_known(uint32_t selector);
// A number as the property value: as a single-precision float, times 65536, truncated; saturated at the 32-bit limits.
int32_t speech_fixed(double value);
// False, changing nothing, for an unknown selector.
bool speech_set_info(SpeechChannel* channel, uint32_t selector, int32_t fixed);
std::optional<int32_t> speech_get_info(const SpeechChannel* channel, uint32_t selector);

// Speaks text on the channel from sample time `start` (0: at once), cutting off what the channel was saying there.
// It is heard from then, or as soon after as it is synthesised.
void speech_speak(SpeechChannel* channel, std::string text, int64_t start = 0);

// Render thread: adds every channel's next `frames` samples to each of the output channels; `window` is the sample
// time of the buffer's first frame.
void speech_mix(float* const* outputs, int channels, uint32_t frames, int64_t window);
// True when no utterance is queued or being synthesised (samples waiting to be mixed do not count), so an offline
// render that waits for it stays the same from run to run.
bool speech_idle();

}  // namespace omb
