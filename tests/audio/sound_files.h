// Sound files the tests' programs wrote, read back with libsndfile.
#pragma once

#include <sndfile.h>

#include <filesystem>
#include <vector>

namespace omb::test {

// The first channel of a sound file (empty when it cannot be read), with its rate and channel count if asked.
inline std::vector<float> read_left(const std::filesystem::path& file, int* rate = nullptr, int* channels = nullptr) {
    SF_INFO info{};
    SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<float> frames(static_cast<size_t>(info.frames * info.channels));
    sf_readf_float(f, frames.data(), info.frames);
    sf_close(f);
    if (rate) *rate = info.samplerate;
    if (channels) *channels = info.channels;
    std::vector<float> left;
    for (size_t i = 0; i < frames.size(); i += static_cast<size_t>(info.channels)) left.push_back(frames[i]);
    return left;
}

}  // namespace omb::test
