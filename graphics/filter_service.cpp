#include "graphics/filter_service.h"

#include <gegl.h>

#include <algorithm>
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

// Sets one numeric parameter by its declared type; false for a parameter the operation does not have or a type
// a number cannot stand for.
bool set_param(GeglNode* node, const std::string& op, const FilterParam& p) {
    GParamSpec* spec = gegl_operation_find_property(op.c_str(), p.key.c_str());
    if (!spec) return false;
    const GType t = G_PARAM_SPEC_VALUE_TYPE(spec);
    if (t == G_TYPE_DOUBLE) gegl_node_set(node, p.key.c_str(), p.value, nullptr);
    else if (t == G_TYPE_FLOAT) gegl_node_set(node, p.key.c_str(), static_cast<gfloat>(p.value), nullptr);
    else if (t == G_TYPE_INT) gegl_node_set(node, p.key.c_str(), static_cast<gint>(p.value), nullptr);
    else if (t == G_TYPE_BOOLEAN) gegl_node_set(node, p.key.c_str(), static_cast<gboolean>(p.value != 0), nullptr);
    else return false;
    return true;
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

}  // namespace

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

Ref<BitmapImage> apply_filter(const BitmapImage& input, const std::string& asked,
                              const std::vector<FilterParam>& params, std::string& error) {
    const std::string name = operation_for(asked);
    std::lock_guard lock(gegl_mutex);
    start_gegl();
    if (!gegl_has_operation(name.c_str())) {
        error = "Unknown filter: " + asked;
        return {};
    }
    const int w = input.width(), h = input.height();
    if (w < 1 || h < 1) {
        error = "Empty image";
        return {};
    }
    const Babl* format = babl_format("cairo-ARGB32");
    const GeglRectangle rect = {0, 0, w, h};
    cairo_surface_flush(input.surface());
    GeglBuffer* in = gegl_buffer_new(&rect, format);
    gegl_buffer_set(in, &rect, 0, format, cairo_image_surface_get_data(input.surface()),
                    cairo_image_surface_get_stride(input.surface()));

    GeglNode* graph = gegl_node_new();
    GeglNode* source = gegl_node_new_child(graph, "operation", "gegl:buffer-source", "buffer", in, nullptr);
    GeglNode* op = gegl_node_new_child(graph, "operation", name.c_str(), nullptr);
    Ref<BitmapImage> out;
    for (const FilterParam& p : params)
        if (!set_param(op, name, p)) error = "Bad filter parameter: " + p.key;
    if (error.empty()) {
        gegl_node_link(source, op);
        // Cropped to the input's size: a blur's extent grows past it.
        out = make_object<BitmapImage>(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h));
        cairo_surface_flush(out->surface());
        gegl_node_blit(op, 1.0, &rect, format, cairo_image_surface_get_data(out->surface()),
                       cairo_image_surface_get_stride(out->surface()), GEGL_BLIT_DEFAULT);
        cairo_surface_mark_dirty(out->surface());
    }
    g_object_unref(graph);
    g_object_unref(in);
    return out;
}

}  // namespace omb
