#include "graphics/filter_procedures.h"

#include <cairo.h>

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

// A new bitmap image holding the same pixels.
Ref<BitmapImage> copy_of(const BitmapImage& from) {
    Ref<BitmapImage> to = new_image(from.width(), from.height(), "gfx:convert-image");
    if (!to) return {};
    cairo_t* cr = cairo_create(to->surface());
    cairo_set_source_surface(cr, from.surface(), 0, 0);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_destroy(cr);
    return to;
}

pointer convert_image(scheme* sc, pointer args) {
    pointer arg = is_pair(args) ? pair_car(args) : sc->NIL;
    if (!is_objc(arg)) {
        CPPBridge::error("Illegal Image. Incorrect Type");
        return sc->F;
    }
    if (auto* filtered = dynamic_cast<FilterImage*>(objc_value(arg))) {
        Ref<BitmapImage> image = copy_of(filtered->pixels());
        return image ? mk_objc(sc, image.release()) : sc->F;
    }
    BitmapImage* image = image_of(arg, "Illegal Image. Incorrect Type");
    if (!image) return sc->F;
    return mk_objc(sc, make_object<FilterImage>(Ref<BitmapImage>::retain(image)).release());
}

// The parameter list: pairs (key . number). False, reported, for anything else.
bool read_params(scheme* sc, pointer list, std::vector<FilterParam>& params) {
    for (; is_pair(list); list = pair_cdr(list)) {
        pointer p = pair_car(list);
        if (!is_pair(p) || !is_string(pair_car(p)) || !is_number(pair_cdr(p))) {
            CPPBridge::error("Filter parameters are (key . number) pairs: %s", printed(sc, p).c_str());
            return false;
        }
        params.push_back({string_value(pair_car(p)), rvalue(pair_cdr(p))});
    }
    return true;
}

pointer filter_image(scheme* sc, pointer args) {
    pointer first = is_pair(args) ? pair_car(args) : sc->NIL;
    if (!is_objc(first)) {
        // Generators without an input would have an infinite extent; not offered yet.
        CPPBridge::error("gfx:filter-image needs a filter image to apply the filter to");
        return sc->F;
    }
    Object* object = objc_value(first);
    auto* input = dynamic_cast<FilterImage*>(object);
    if (!input) {
        CPPBridge::error("%s", dynamic_cast<BitmapImage*>(object) ? CONVERT_HINT : "Null Image");
        return sc->F;
    }
    args = pair_cdr(args);
    pointer name = is_pair(args) ? pair_car(args) : sc->NIL;
    if (!is_string(name)) {
        CPPBridge::error("gfx:filter-image takes a filter name");
        return sc->F;
    }
    std::vector<FilterParam> params;
    if (is_pair(pair_cdr(args)) && !read_params(sc, pair_car(pair_cdr(args)), params)) return sc->F;
    std::string error;
    Ref<BitmapImage> out = apply_filter(input->pixels(), string_value(name), params, error);
    if (!out) {
        CPPBridge::error("Filter Image Output Error: %s", error.c_str());
        return sc->F;
    }
    return mk_objc(sc, make_object<FilterImage>(std::move(out)).release());
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
        CPPBridge::error("Must provide filter name as argument");
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
