// The image-filter service on GEGL: names of the operations it offers (all, or one category's), a description of
// one operation's parameters, and filter images: lazy recipes (a bitmap image, or a named operation on an optional
// input with its parameters) that become pixels only when converted or drawn. GEGL starts on first use, never at
// boot (its start takes most of a second).
//
// A filter image's extent is GEGL's bounding box of its recipe: a bitmap's size, what an operation makes of its
// input's, or the whole plane for a generator with no input (crop it, "gegl:crop", before converting).
//
// Threads: any thread but the audio thread; calls are serialised by the module (GEGL's start is not reentrant).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "graphics/bitmap_image.h"

namespace omb {

class FilterImage;

// A parameter value as Scheme gives it: a number, a colour (its first three reals, opaque), a filter vector (a
// colour parameter takes 3 or 4 of its numbers as r g b [a], a number parameter one), a text (text and enumerated
// parameters, by the value's name), or a filter image (into the operation's input pad of that name, e.g. "aux").
struct FilterValue {
    enum Kind { number, colour, vector, text, image };
    Kind kind = number;
    std::vector<double> numbers;  // number: one; colour: r g b a
    std::string chars;
    Ref<FilterImage> picture;
};

struct FilterParam {
    std::string key;
    FilterValue value;
};

struct FilterExtent {
    double x = 0, y = 0, width = 0, height = 0;
    bool infinite = false;
};

class FilterImage : public Object {
public:
    // A bitmap image seen as a filter image: its pixels are read when the image is rendered, not copied now.
    static Ref<FilterImage> wrap(Ref<BitmapImage> bitmap);
    std::string class_name() const override { return "FilterImage"; }
    const FilterExtent& extent() const { return extent_; }

private:
    friend struct FilterRecipe;
    Ref<BitmapImage> bitmap_;
    std::string operation_;
    Ref<FilterImage> input_;
    std::vector<FilterParam> params_;
    FilterExtent extent_;
};

// Names are GEGL operation names ("gegl:gaussian-blur") or the older names docs/graphics-filters.md maps to them.

// Operation names, sorted; only those listed under `category` when it is not empty.
std::vector<std::string> filter_names(const std::string& category = {});

// The operation's parameters one per line ("name type: blurb"), or nullopt for an unknown operation.
std::optional<std::string> filter_description(const std::string& name);

// Why applying a filter failed: an input image the operation cannot take, or anything else (unknown operation,
// a parameter it does not have or of the wrong kind).
enum class FilterError { none, input, output };

// Operation `name` on `input` (null: none, for generators) with `params` set in order. Null, with `why` and
// `error` set, when it cannot be made.
Ref<FilterImage> apply_filter(const FilterImage* input, const std::string& name, const std::vector<FilterParam>& params,
                              FilterError& why, std::string& error);

// The largest extent a filter image may have to be rendered, each way.
constexpr int FILTER_RENDER_LIMIT = 5000;

// The filter image rendered into a new bitmap image of its extent's size. Null, with `error` set, for an extent
// larger than FILTER_RENDER_LIMIT either way (error is `too_large`) or an empty one.
Ref<BitmapImage> render_filter_image(const FilterImage& image, const char* too_large, std::string& error);

}  // namespace omb
