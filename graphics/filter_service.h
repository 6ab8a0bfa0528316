// The image-filter service on GEGL: names of the operations it offers (all, or one category's), a description of
// one operation's parameters, and applying a named operation with numeric parameters to a bitmap image, giving a new
// image of the same size. GEGL starts on first use, never at boot (its start takes most of a second).
//
// Threads: any thread but the audio thread; calls are serialised by the module (GEGL's start is not reentrant).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "graphics/bitmap_image.h"

namespace omb {

struct FilterParam {
    std::string key;
    double value;
};

// Names are GEGL operation names ("gegl:gaussian-blur") or the older names docs/graphics-filters.md maps to them.

// Operation names, sorted; only those listed under `category` when it is not empty.
std::vector<std::string> filter_names(const std::string& category = {});

// The operation's parameters one per line ("name type: blurb"), or nullopt for an unknown operation.
std::optional<std::string> filter_description(const std::string& name);

// `input` run through operation `name` with `params` set in order. Null with `error` set for an unknown operation,
// an unknown or non-numeric parameter, or an empty input.
Ref<BitmapImage> apply_filter(const BitmapImage& input, const std::string& name, const std::vector<FilterParam>& params,
                              std::string& error);

}  // namespace omb
