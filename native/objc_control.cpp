#include "native/objc_control.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "platform/objects/foundation.h"
#include "platform/objects/runtime.h"
#include "platform/objects/typed_methods.h"

namespace omb {

void OMBControl::set_string_value(std::string text) {
    value_ = leading_real(text);
    text_ = std::move(text);
}

void OMBControl::set_double_value(double value) {
    value_ = value;
    char printed[32];
    std::snprintf(printed, sizeof printed, "%.17g", value);
    text_ = printed;
}

std::string OMBControl::description() const {
    return "<OMBControl tag " + std::to_string(tag_) + ": " + (text_.empty() ? "\"\"" : text_) + ">";
}

namespace {

int32_t int_of(double v) {
    if (std::isnan(v)) return 0;
    return static_cast<int32_t>(std::fmax(INT_MIN, std::fmin(INT_MAX, v)));
}

float float_of(double v) {
    if (std::isfinite(v) && std::fabs(v) > FLT_MAX) return v > 0 ? HUGE_VALF : -HUGE_VALF;
    return static_cast<float>(v);
}

Ref<Object> with_text(const std::string& s) { return make_object<NSString>(s); }

}  // namespace

void OMBControl::register_class() {
    static std::once_flag once;
    std::call_once(once, [] {
        runtime::register_class(
            {"OMBControl", "NSObject", [] { return Ref<Object>(make_object<OMBControl>()); },
             {},
             {
                 instance_method("initWithTag:", +[](OMBControl* self, int64_t tag) {
                     self->set_tag(tag);
                     return Ref<Object>::retain(self);
                 }),
                 instance_method("tag", +[](OMBControl* self) { return self->tag(); }),
                 instance_method("setTag:", +[](OMBControl* self, int64_t tag) { self->set_tag(tag); }),
                 instance_method("stringValue", +[](OMBControl* self) { return with_text(self->string_value()); }),
                 instance_method("setStringValue:", +[](OMBControl* self, NSString* s) {
                     self->set_string_value(s ? s->utf8() : std::string());
                 }),
                 instance_method("intValue", +[](OMBControl* self) { return int_of(self->double_value()); }),
                 instance_method("setIntValue:",
                                 +[](OMBControl* self, int32_t v) { self->set_double_value(static_cast<double>(v)); }),
                 instance_method("floatValue",
                                 +[](OMBControl* self) { return float_of(self->double_value()); }),
                 instance_method("doubleValue", +[](OMBControl* self) { return self->double_value(); }),
                 instance_method("setDoubleValue:", +[](OMBControl* self, double v) { self->set_double_value(v); }),
                 instance_method("titleOfSelectedItem",
                                 +[](OMBControl* self) { return with_text(self->title_of_selected_item()); }),
                 instance_method("setTitleOfSelectedItem:", +[](OMBControl* self, NSString* s) {
                     self->set_title_of_selected_item(s ? s->utf8() : std::string());
                 }),
             }});
    });
}

}  // namespace omb
