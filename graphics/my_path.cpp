#include "graphics/my_path.h"

#include <algorithm>
#include <cmath>

#include "graphics/current_context.h"
#include "graphics/group_targets.h"
#include "platform/exception.h"
#include "platform/objects/runtime.h"
#include "platform/objects/typed_methods.h"

namespace omb {

namespace {

constexpr double DEFAULT_FILL[4] = {0.1, 0.2, 0.5, 0.5};
constexpr double DEFAULT_STROKE[4] = {0.5, 0.5, 0.5, 0.5};

void colour(cairo_t* cr, const double (&c)[4]) {
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_set_source_rgba(cr, c[0], c[1], c[2], c[3]);
}

// A colour argument of a method; a platform exception names the method for anything else.
void read_colour(const char* method, Object* object, double (&into)[4]) {
    if (!colour_object(object, into))
        throw PlatformException("NSInvalidArgumentException",
                                std::string(method) + ": a colour is an NSArray of 3 or 4 numbers (r g b [a])");
}

}  // namespace

MYPath::MYPath() {
    std::copy(DEFAULT_FILL, DEFAULT_FILL + 4, fill_);
    std::copy(DEFAULT_STROKE, DEFAULT_STROKE + 4, stroke_);
}

void MYPath::init_with_path(BezierPath* path) {
    std::lock_guard lock(mutex_);
    path_ = Ref<BezierPath>::retain(path);
    std::copy(DEFAULT_FILL, DEFAULT_FILL + 4, fill_);
    std::copy(DEFAULT_STROKE, DEFAULT_STROKE + 4, stroke_);
    style_ = 0;
}

void MYPath::set_fill(const double (&rgba)[4]) {
    std::lock_guard lock(mutex_);
    std::copy(rgba, rgba + 4, fill_);
}

void MYPath::set_stroke(const double (&rgba)[4]) {
    std::lock_guard lock(mutex_);
    std::copy(rgba, rgba + 4, stroke_);
}

void MYPath::set_style(int style) {
    std::lock_guard lock(mutex_);
    style_ = style;
}

void MYPath::move_path(double x, double y) {
    Ref<BezierPath> path = this->path();
    if (path) path->translate(x, y);
}

Ref<BezierPath> MYPath::path() const {
    std::lock_guard lock(mutex_);
    return path_;
}

int MYPath::style() const {
    std::lock_guard lock(mutex_);
    return style_;
}

void MYPath::draw(cairo_t* cr) const {
    std::lock_guard lock(mutex_);
    if (!cr || !path_ || style_ < 0 || style_ > 3) return;
    const bool fill = style_ == 0 || style_ == 1, stroke = style_ != 1;
    cairo_save(cr);
    path_->apply(cr);
    if (fill) {
        colour(cr, fill_);
        cairo_fill_preserve(cr);
    }
    if (stroke) {
        colour(cr, stroke_);
        cairo_stroke_preserve(cr);
    }
    cairo_new_path(cr);
    cairo_restore(cr);
}

void MYPath::register_class() {
    static std::once_flag once;
    std::call_once(once, [] {
        runtime::register_class(
            {"MYPath", "NSObject", [] { return Ref<Object>(make_object<MYPath>()); },
             {},
             {
                 instance_method("initWithPath:", +[](MYPath* self, BezierPath* path) {
                     if (!path)
                         throw PlatformException("NSInvalidArgumentException",
                                                 "-[MYPath initWithPath:]: the path is nil");
                     self->init_with_path(path);
                     return Ref<Object>::retain(self);
                 }),
                 instance_method("setFill:", +[](MYPath* self, Object* c) {
                     double rgba[4];
                     read_colour("-[MYPath setFill:]", c, rgba);
                     self->set_fill(rgba);
                 }),
                 instance_method("setStroke:", +[](MYPath* self, Object* c) {
                     double rgba[4];
                     read_colour("-[MYPath setStroke:]", c, rgba);
                     self->set_stroke(rgba);
                 }),
                 instance_method("setStyle:", +[](MYPath* self, int32_t style) { self->set_style(style); }),
                 instance_method("movePathX:Y:", +[](MYPath* self, double x, double y) {
                     if (!std::isfinite(x) || !std::isfinite(y))
                         throw PlatformException("NSInvalidArgumentException",
                                                 "-[MYPath movePathX:Y:]: the offsets must be finite");
                     self->move_path(x, y);
                 }),
                 instance_method("drawMyPath", +[](MYPath* self) { self->draw(CurrentContext::get()); }),
                 instance_method("path", +[](MYPath* self) -> Ref<Object> { return Ref<Object>(self->path()); }),
                 instance_method("style", +[](MYPath* self) { return static_cast<int32_t>(self->style()); }),
             }});
    });
}

}  // namespace omb
