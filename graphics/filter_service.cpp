#include "graphics/filter_service.h"

#include <gegl.h>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace omb {

namespace {

std::mutex gegl_mutex;

// Called with gegl_mutex held.
void start_gegl() {
    static bool started = false;
    if (!started) gegl_init(nullptr, nullptr);
    started = true;
}

bool in_category(const char* name, const std::string& category) {
    if (category.empty()) return true;
    const char* cats = gegl_operation_get_key(name, "categories");
    if (!cats) return false;
    std::string list = std::string(":") + cats + ":";
    return list.find(":" + category + ":") != std::string::npos;
}

// Filter names scripts from the older platform use, for the GEGL operations that do the same work.
// docs/graphics-filters.md lists them with their parameters.
constexpr std::pair<const char*, const char*> ALIASES[] = {
    {"CIGaussianBlur", "gegl:gaussian-blur"},     {"CIBoxBlur", "gegl:box-blur"},
    {"CIMotionBlur", "gegl:motion-blur-linear"}, {"CIPixellate", "gegl:pixelize"},
    {"CISepiaTone", "gegl:sepia"},               {"CIColorInvert", "gegl:invert-gamma"},
    {"CIColorPosterize", "gegl:posterize"},      {"CIExposureAdjust", "gegl:exposure"},
    {"CIVignette", "gegl:vignette"},             {"CIBloom", "gegl:bloom"},
    {"CIUnsharpMask", "gegl:unsharp-mask"},      {"CIEdges", "gegl:edge-sobel"},
    {"CICrop", "gegl:crop"},
    {"CIHueAdjust", "gegl:color-rotate"},        {"CIRandomGenerator", "gegl:noise-rgb"},
};

// The GEGL operation for a name: itself, or the operation an older name stands for.
std::string operation_for(const std::string& name) {
    for (const auto& [alias, op] : ALIASES)
        if (name == alias) return op;
    return name;
}

const char* kind_name(FilterValue::Kind k) {
    switch (k) {
    case FilterValue::number: return "a number";
    case FilterValue::colour: return "a colour";
    case FilterValue::vector: return "a vector";
    case FilterValue::text: return "a text";
    case FilterValue::image: return "a filter image";
    }
    return "a value";
}

void set_colour(GeglNode* node, const char* key, const double* c) {
    GeglColor* colour = gegl_color_new(nullptr);
    gegl_color_set_rgba(colour, c[0], c[1], c[2], c[3]);
    gegl_node_set(node, key, colour, nullptr);
    g_object_unref(colour);
}

// A value a number stands for in a property of type `t`; false when a number cannot stand for one.
bool set_number(GeglNode* node, const char* key, GParamSpec* spec, double v) {
    const GType t = G_PARAM_SPEC_VALUE_TYPE(spec);
    // Held within the parameter's range: GObject would only warn and leave the parameter as it was.
    if (G_IS_PARAM_SPEC_DOUBLE(spec))
        v = std::clamp(v, G_PARAM_SPEC_DOUBLE(spec)->minimum, G_PARAM_SPEC_DOUBLE(spec)->maximum);
    else if (G_IS_PARAM_SPEC_FLOAT(spec))
        v = std::clamp(v, double(G_PARAM_SPEC_FLOAT(spec)->minimum), double(G_PARAM_SPEC_FLOAT(spec)->maximum));
    else if (G_IS_PARAM_SPEC_INT(spec))
        v = std::clamp(v, double(G_PARAM_SPEC_INT(spec)->minimum), double(G_PARAM_SPEC_INT(spec)->maximum));
    else if (G_IS_PARAM_SPEC_UINT(spec))
        v = std::clamp(v, double(G_PARAM_SPEC_UINT(spec)->minimum), double(G_PARAM_SPEC_UINT(spec)->maximum));
    const double whole = std::trunc(std::clamp(v, -2147483648.0, 2147483647.0));
    if (t == G_TYPE_DOUBLE) gegl_node_set(node, key, v, nullptr);
    else if (t == G_TYPE_FLOAT) gegl_node_set(node, key, static_cast<gfloat>(std::clamp(v, -3.4e38, 3.4e38)), nullptr);
    else if (t == G_TYPE_INT) gegl_node_set(node, key, static_cast<gint>(whole), nullptr);
    else if (t == G_TYPE_UINT) gegl_node_set(node, key, static_cast<guint>(std::max(0.0, whole)), nullptr);
    else if (t == G_TYPE_BOOLEAN) gegl_node_set(node, key, static_cast<gboolean>(v != 0), nullptr);
    else if (G_TYPE_IS_ENUM(t)) {
        GEnumClass* cls = static_cast<GEnumClass*>(g_type_class_ref(t));
        const bool known = g_enum_get_value(cls, static_cast<gint>(whole)) != nullptr;
        g_type_class_unref(cls);
        if (!known) return false;
        gegl_node_set(node, key, static_cast<gint>(whole), nullptr);
    } else return false;
    return true;
}

bool has_input_pad(GeglNode* node, const char* name) {
    gchar** pads = gegl_node_list_input_pads(node);
    bool found = false;
    for (gchar** p = pads; p && *p && !found; ++p) found = std::string(*p) == name;
    g_strfreev(pads);
    return found;
}

// Pieces of a graph made for one rendering or check; the buffers belong to their source nodes once made.
struct Graph {
    GeglNode* root = gegl_node_new();
    ~Graph() { g_object_unref(root); }
    Graph() = default;
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;
};

}  // namespace

// Builds a filter image's recipe as nodes of a graph. Called with gegl_mutex held.
struct FilterRecipe {
    static GeglNode* build(Graph& g, const FilterImage& image, std::string& error) {
        if (image.bitmap_) return source(g, *image.bitmap_);
        GeglNode* op = gegl_node_new_child(g.root, "operation", image.operation_.c_str(), nullptr);
        if (image.input_) {
            GeglNode* in = build(g, *image.input_, error);
            if (!in) return nullptr;
            gegl_node_connect_to(in, "output", op, "input");
        }
        for (const FilterParam& p : image.params_)
            if (!set(g, op, image.operation_, p, error)) return nullptr;
        return op;
    }

    static GeglNode* source(Graph& g, const BitmapImage& bitmap) {
        const Babl* format = babl_format("cairo-ARGB32");
        const GeglRectangle rect = {0, 0, bitmap.width(), bitmap.height()};
        cairo_surface_flush(bitmap.surface());
        GeglBuffer* buffer = gegl_buffer_new(&rect, format);
        gegl_buffer_set(buffer, &rect, 0, format, cairo_image_surface_get_data(bitmap.surface()),
                        cairo_image_surface_get_stride(bitmap.surface()));
        GeglNode* node = gegl_node_new_child(g.root, "operation", "gegl:buffer-source", "buffer", buffer, nullptr);
        g_object_unref(buffer);
        return node;
    }

    // Sets one parameter, checked first: GEGL only warns about a property an operation lacks.
    static bool set(Graph& g, GeglNode* op, const std::string& name, const FilterParam& p, std::string& error) {
        const char* key = p.key.c_str();
        const FilterValue& v = p.value;
        if (v.kind == FilterValue::image) {
            if (!has_input_pad(op, key)) {
                error = name + " has no image input " + p.key;
                return false;
            }
            GeglNode* in = build(g, *v.picture, error);
            if (!in) return false;
            gegl_node_connect_to(in, "output", op, key);
            return true;
        }
        GParamSpec* spec = gegl_operation_find_property(name.c_str(), key);
        if (!spec) {
            error = "Bad filter parameter: " + name + " has no parameter " + p.key;
            return false;
        }
        const GType t = G_PARAM_SPEC_VALUE_TYPE(spec);
        const std::string wanted = g_type_name(t);
        bool ok = false;
        if (t == GEGL_TYPE_COLOR) {
            if (v.kind == FilterValue::colour) ok = (set_colour(op, key, v.numbers.data()), true);
            else if (v.kind == FilterValue::vector && (v.numbers.size() == 3 || v.numbers.size() == 4)) {
                const double c[4] = {v.numbers[0], v.numbers[1], v.numbers[2],
                                     v.numbers.size() == 4 ? v.numbers[3] : 1.0};
                ok = (set_colour(op, key, c), true);
            }
        } else if (t == G_TYPE_STRING) {
            if (v.kind == FilterValue::text) ok = (gegl_node_set(op, key, v.chars.c_str(), nullptr), true);
        } else if (v.kind == FilterValue::text && G_TYPE_IS_ENUM(t)) {
            GEnumClass* cls = static_cast<GEnumClass*>(g_type_class_ref(t));
            const GEnumValue* e = g_enum_get_value_by_nick(cls, v.chars.c_str());
            if (e) ok = (gegl_node_set(op, key, e->value, nullptr), true);
            g_type_class_unref(cls);
        } else if (v.kind == FilterValue::number || (v.kind == FilterValue::vector && v.numbers.size() == 1)) {
            ok = set_number(op, key, spec, v.numbers.front());
        }
        if (!ok) error = "Bad filter parameter: " + p.key + " of " + name + " is a " + wanted + ", not " +
                         kind_name(v.kind) + (v.kind == FilterValue::number ? " (or not one of its values)" : "");
        return ok;
    }

    static FilterExtent extent_of(GeglNode* node) {
        const GeglRectangle r = gegl_node_get_bounding_box(node);
        if (gegl_rectangle_is_infinite_plane(&r)) return {0, 0, INFINITY, INFINITY, true};
        return {double(r.x), double(r.y), double(r.width), double(r.height), false};
    }

    static Ref<FilterImage> make(const FilterImage* input, std::string op, std::vector<FilterParam> params) {
        auto image = make_object<FilterImage>();
        image->operation_ = std::move(op);
        image->input_ = Ref<FilterImage>::retain(const_cast<FilterImage*>(input));
        image->params_ = std::move(params);
        return image;
    }
    static void set_extent(FilterImage& image, FilterExtent e) { image.extent_ = e; }
    static void set_bitmap(FilterImage& image, Ref<BitmapImage> b) { image.bitmap_ = std::move(b); }
};

Ref<FilterImage> FilterImage::wrap(Ref<BitmapImage> bitmap) {
    auto image = make_object<FilterImage>();
    FilterRecipe::set_extent(*image, {0, 0, double(bitmap->width()), double(bitmap->height()), false});
    FilterRecipe::set_bitmap(*image, std::move(bitmap));
    return image;
}

std::vector<std::string> filter_names(const std::string& category) {
    std::lock_guard lock(gegl_mutex);
    start_gegl();
    guint n = 0;
    gchar** ops = gegl_list_operations(&n);
    std::vector<std::string> names;
    for (guint i = 0; i < n; ++i)
        if (in_category(ops[i], category)) names.emplace_back(ops[i]);
    g_free(ops);  // the strings belong to GEGL
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::string> filter_description(const std::string& asked) {
    const std::string name = operation_for(asked);
    std::lock_guard lock(gegl_mutex);
    start_gegl();
    if (!gegl_has_operation(name.c_str())) return std::nullopt;
    guint n = 0;
    GParamSpec** specs = gegl_operation_list_properties(name.c_str(), &n);
    std::string text = name;
    if (const char* d = gegl_operation_get_key(name.c_str(), "description")) text += std::string(": ") + d;
    for (guint i = 0; i < n; ++i) {
        const char* blurb = g_param_spec_get_blurb(specs[i]);
        text += std::string("\n  ") + g_param_spec_get_name(specs[i]) + " " +
                g_type_name(G_PARAM_SPEC_VALUE_TYPE(specs[i])) + (blurb ? std::string(": ") + blurb : "");
    }
    g_free(specs);
    return text;
}

Ref<FilterImage> apply_filter(const FilterImage* input, const std::string& asked,
                              const std::vector<FilterParam>& params, FilterError& why, std::string& error) {
    const std::string name = operation_for(asked);
    why = FilterError::output;
    std::lock_guard lock(gegl_mutex);
    start_gegl();
    if (!gegl_has_operation(name.c_str())) {
        error = "Unknown filter: " + asked;
        return {};
    }
    Ref<FilterImage> image = FilterRecipe::make(input, name, params);
    // Built once now to check it and learn its extent; rendering builds it again from the recipe.
    Graph g;
    if (input) {
        GeglNode* probe = gegl_node_new_child(g.root, "operation", name.c_str(), nullptr);
        if (!has_input_pad(probe, "input")) {
            why = FilterError::input;
            error = name + " takes no input image";
            return {};
        }
    }
    GeglNode* out = FilterRecipe::build(g, *image, error);
    if (!out) return {};
    FilterRecipe::set_extent(*image, FilterRecipe::extent_of(out));
    why = FilterError::none;
    return image;
}

Ref<BitmapImage> render_filter_image(const FilterImage& image, const char* too_large, std::string& error) {
    const FilterExtent e = image.extent();
    if (e.infinite || e.width > FILTER_RENDER_LIMIT || e.height > FILTER_RENDER_LIMIT) {
        error = too_large;
        return {};
    }
    if (e.width < 1 || e.height < 1) {
        error = "The filter image is empty: nothing to render";
        return {};
    }
    const int w = static_cast<int>(e.width), h = static_cast<int>(e.height);
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        error = cairo_status_to_string(cairo_surface_status(s));
        cairo_surface_destroy(s);
        return {};
    }
    Ref<BitmapImage> out = make_object<BitmapImage>(s);
    std::lock_guard lock(gegl_mutex);
    start_gegl();
    Graph g;
    GeglNode* node = FilterRecipe::build(g, image, error);
    if (!node) return {};
    // The extent's corner lands at the bitmap's.
    const GeglRectangle rect = {static_cast<int>(e.x), static_cast<int>(e.y), w, h};
    cairo_surface_flush(s);
    gegl_node_blit(node, 1.0, &rect, babl_format("cairo-ARGB32"), cairo_image_surface_get_data(s),
                   cairo_image_surface_get_stride(s), GEGL_BLIT_DEFAULT);
    cairo_surface_mark_dirty(s);
    return out;
}

}  // namespace omb
