#include "graphics/filter_procedures.h"

#include <cairo.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/filter_service.h"
#include "graphics/image_procedures.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb {

namespace {

constexpr const char* CONVERT_HINT =
    "filter-image takes ciimages only (not bitmap images).  look up help on convert-image function";

constexpr const char* NO_NAME = "Must provide filter name as argument";

pointer convert_image(scheme* sc, pointer args) {
    pointer arg = is_pair(args) ? pair_car(args) : sc->NIL;
    if (!is_objc(arg)) {
        CPPBridge::error("Illegal Image. Incorrect Type");
        return sc->F;
    }
    if (auto* filtered = dynamic_cast<FilterImage*>(objc_value(arg))) {
        std::string error;
        Ref<BitmapImage> image =
            render_filter_image(*filtered, "The extent of image is to large. Crop before converting", error);
        if (!image) CPPBridge::error("%s", error.c_str());
        return image ? mk_objc(sc, image.release()) : sc->F;
    }
    BitmapImage* image = image_of(arg, "Illegal Image. Incorrect Type");
    if (!image) return sc->F;
    return mk_objc(sc, FilterImage::wrap(Ref<BitmapImage>::retain(image)).release());
}

// One parameter value, in the forms the filters take; false, with the reason, for anything else.
bool read_value(pointer v, FilterValue& into, std::string& why) {
    auto real = [](pointer p, double& x) {
        if (!is_number(p) || !std::isfinite(rvalue(p))) return false;
        x = rvalue(p);
        return true;
    };
    if (is_pair(v)) {
        into.kind = FilterValue::colour;
        into.numbers.assign(4, 1.0);
        for (int i = 0; i < 3; ++i, v = pair_cdr(v))
            if (!is_pair(v) || !real(pair_car(v), into.numbers[i])) {
                why = "a colour is a list of at least three reals (r g b)";
                return false;
            }
        return true;
    }
    if (is_vector(v)) {
        into.kind = FilterValue::vector;
        for (int64_t i = 0; i < vector_length(v); ++i) {
            double x;
            if (!real(vector_elem(v, static_cast<int>(i)), x)) {
                why = "a filter vector holds real numbers only";
                return false;
            }
            into.numbers.push_back(x);
        }
        return true;
    }
    if (is_objc(v)) {
        into.kind = FilterValue::image;
        into.picture = Ref<FilterImage>::retain(dynamic_cast<FilterImage*>(objc_value(v)));
        if (!into.picture) why = "an image parameter takes a filter image (gfx:convert-image makes one)";
        return bool(into.picture);
    }
    if (is_string(v)) {
        into.kind = FilterValue::text;
        into.chars = string_value(v);
        return true;
    }
    double x;
    if (!real(v, x)) {
        why = "a value is a number, a colour list, a vector, a string or a filter image";
        return false;
    }
    into.kind = FilterValue::number;
    into.numbers = {x};
    return true;
}

// The parameter list: pairs (key . value). False, with the reason, for anything else.
bool read_params(scheme* sc, pointer list, std::vector<FilterParam>& params, std::string& why) {
    for (; is_pair(list); list = pair_cdr(list)) {
        pointer p = pair_car(list);
        if (!is_pair(p) || !is_string(pair_car(p))) {
            why = "parameters are (\"key\" . value) pairs: " + printed(sc, p);
            return false;
        }
        FilterParam param{string_value(pair_car(p)), {}};
        if (!read_value(pair_cdr(p), param.value, why)) {
            why = param.key + ": " + why;
            return false;
        }
        params.push_back(std::move(param));
    }
    if (list != sc->NIL) why = "the parameters are a list of (\"key\" . value) pairs";
    return list == sc->NIL;
}

void output_error(const std::string& why) {
    CPPBridge::error("Filter Image Output Error");
    CPPBridge::log("IMG OUTPUT ERR: %s", why.c_str());
}

pointer filter_image(scheme* sc, pointer args) {
    pointer first = is_pair(args) ? pair_car(args) : sc->NIL;
    const FilterImage* input = nullptr;
    if (is_objc(first)) {
        Object* object = objc_value(first);
        input = dynamic_cast<FilterImage*>(object);
        if (!input) {
            CPPBridge::error("%s", dynamic_cast<BitmapImage*>(object) ? CONVERT_HINT : "Null Image");
            return sc->F;
        }
        args = pair_cdr(args);
    }
    pointer name = is_pair(args) ? pair_car(args) : sc->NIL;
    if (!is_string(name)) {
        CPPBridge::error("%s", NO_NAME);
        return sc->F;
    }
    std::vector<FilterParam> params;
    std::string why;
    if (is_pair(pair_cdr(args)) && !read_params(sc, pair_car(pair_cdr(args)), params, why)) {
        output_error(why);
        return sc->F;
    }
    FilterError failed = FilterError::none;
    Ref<FilterImage> out = apply_filter(input, string_value(name), params, failed, why);
    if (failed == FilterError::input) {
        CPPBridge::error("Error Accepts No Filter Image");
        CPPBridge::log("IMG VALUE ERR: %s", why.c_str());
        return sc->F;
    }
    if (!out) {
        output_error(why);
        return sc->F;
    }
    return mk_objc(sc, out.release());
}

pointer print_filters(scheme* sc, pointer args) {
    pointer category = is_pair(args) ? pair_car(args) : sc->NIL;
    std::vector<std::string> names = filter_names(is_string(category) ? string_value(category) : "");
    if (names.empty()) return sc->F;
    std::string text;
    for (const std::string& n : names) text += (text.empty() ? "" : "\n") + n;
    CPPBridge::notification_text(text);
    return sc->T;
}

pointer print_filter_params(scheme* sc, pointer args) {
    pointer name = is_pair(args) ? pair_car(args) : sc->NIL;
    if (!is_string(name)) {
        CPPBridge::error("%s", NO_NAME);
        return sc->F;
    }
    std::optional<std::string> text = filter_description(string_value(name));
    if (!text) {
        CPPBridge::error("Unknown filter: %s", string_value(name));
        return sc->F;
    }
    CPPBridge::log_text(*text);
    return sc->T;
}

const CanvasProcedure PROCEDURES[] = {
    {"gfx:filter-image", filter_image},
    {"gfx:print-filters", print_filters},
    {"gfx:print-filter-params", print_filter_params},
};

}  // namespace

CanvasProcedure convert_image_procedure() { return {"gfx:convert-image", convert_image}; }

std::span<const CanvasProcedure> filter_procedures() { return PROCEDURES; }

}  // namespace omb
