#include "native/objc_bridge.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "native/objc_control.h"
#include "platform/dev_log.h"
#include "platform/exception.h"
#include "platform/log_bridge.h"
#include "platform/objects/runtime.h"
#include "platform/objects/typed_methods.h"
#include "runtime/scheme_interface.h"
#include "scheduler/sample_clock.h"

namespace omb {

namespace {

constexpr const char* PRIMARY_PROCESS = "primary process";

bool queue(const std::string& text, const std::string& process) {
    SchemeInterface* target = SchemeInterface::I(process);
    if (!target) {
        CPPBridge::error_text("Bad Process Name");
        return false;
    }
    target->createSchemeTask(::strdup(text.c_str()), "IPC CALL", SchemeTaskType::eval_string);
    return true;
}

// A name the reader takes as one symbol and nothing more.
bool plain_name(const std::string& name) {
    if (name.empty() || name[0] == '#') return false;
    for (unsigned char c : name)
        if (c <= ' ' || c == 127 || std::strchr("()[]{}\"';`,|", c)) return false;
    return true;
}

std::vector<std::string> split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    if (separator.empty()) return {text};
    size_t from = 0;
    for (size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + separator.size())
        parts.push_back(text.substr(from, at - from));
    parts.push_back(text.substr(from));
    return parts;
}

template <class T>
Ref<NSData> data_of(const std::vector<T>& values) {
    return make_object<NSData>(values.data(), values.size() * sizeof(T));
}

float single(double v) {
    if (std::isfinite(v) && std::fabs(v) > FLT_MAX) return v > 0 ? HUGE_VALF : -HUGE_VALF;
    return static_cast<float>(v);
}

// ---- what a control answers --------------------------------------------------------------------------------------

// The result of a message without arguments, when the sender has such a method and it succeeds.
template <class Read, class Value = decltype(std::declval<Read>()(std::declval<Invocation&>()))>
std::optional<Value> ask(Object* sender, const char* selector, Read read) {
    const Class* cls = runtime::class_of(sender);
    const Method* m = cls ? cls->instance_method(selector) : nullptr;
    if (!m || m->signature.arguments.size() != 2) return std::nullopt;
    Invocation inv(*m, sender, cls);
    try {
        inv.invoke();
    } catch (const std::exception& e) {
        CPPBridge::error_text(e.what());
        return std::nullopt;
    }
    return read(inv);
}

std::optional<double> number(Object* sender, const char* selector) {
    auto value = ask(sender, selector, [](Invocation& inv) -> std::optional<double> {
        const void* r = inv.result();
        auto as = [r]<class T>(T) {
            T v;
            std::memcpy(&v, r, sizeof v);
            return static_cast<double>(v);
        };
        switch (inv.signature().result.code) {
        case 'c': return as(int8_t{});
        case 'C': case 'B': return as(uint8_t{});
        case 's': return as(int16_t{});
        case 'S': return as(uint16_t{});
        case 'i': case 'l': return as(int32_t{});
        case 'I': case 'L': return as(uint32_t{});
        case 'q': return as(int64_t{});
        case 'Q': return as(uint64_t{});
        case 'f': return as(float{});
        case 'd': return as(double{});
        default: return std::nullopt;
        }
    });
    return value ? *value : std::nullopt;
}

std::optional<std::string> text(Object* sender, const char* selector) {
    auto value = ask(sender, selector, [](Invocation& inv) -> std::optional<std::string> {
        if (inv.signature().result.code != '@') return std::nullopt;
        Object* o = inv.result_object();
        return o ? o->description() : std::string("(null)");
    });
    return value ? *value : std::nullopt;
}

int as_int(double v) {
    if (std::isnan(v)) return 0;
    return static_cast<int>(std::fmax(INT_MIN, std::fmin(INT_MAX, v)));
}

// How an action writes the sender's value: as a quoted text, #t or #f, an integer or a real ("%f").
enum class Form { text, boolean, integer, real };

// The sender's value as Scheme text; `selector` null means its description.
std::optional<std::string> value_text(Object* sender, const char* selector, Form form) {
    if (form == Form::text) {
        std::optional<std::string> t = selector ? text(sender, selector) : std::optional(sender->description());
        return t ? std::optional(OBJCBridge::quoted(*t)) : std::nullopt;
    }
    std::optional<double> v = number(sender, selector);
    if (!v) return std::nullopt;
    char printed[64];
    if (form == Form::boolean)
        std::snprintf(printed, sizeof printed, "%s", *v != 0 ? "#t" : "#f");
    else if (form == Form::integer)
        std::snprintf(printed, sizeof printed, "%d", as_int(*v));
    else
        std::snprintf(printed, sizeof printed, "%f", *v);
    return printed;
}

// (objc:action tag value) from a sender's tag and the value one of its methods gives.
void act(Object* sender, const char* selector, Form form) {
    std::optional<double> tag = sender ? number(sender, "tag") : std::nullopt;
    if (!tag) {
        CPPBridge::error_text("objc:action: the sender has no tag");
        return;
    }
    std::optional<std::string> value = value_text(sender, selector, form);
    if (!value) {
        CPPBridge::error("objc:action: the sender has no %s", selector);
        return;
    }
    OBJCBridge::action(as_int(*tag), *value);
}

// ---- the class in the runtime ----------------------------------------------------------------------------------

const std::string& text_of(const NSString* s, const char* method) {
    if (!s) throw PlatformException("NSInvalidArgumentException", std::string("*** ") + method + ": nil argument");
    return s->utf8();
}

bool call_in(NSString* name, NSArray* args, NSString* process) {
    return OBJCBridge::call_scheme_function(text_of(name, "-[OBJCBridge callSchemeFunction:]"), args,
                                            process ? process->utf8() : PRIMARY_PROCESS);
}

ClassDefinition bridge_class() {
    return {
        "OBJCBridge", "NSObject", {},
        {
            class_method("floatArrayFromString:withSeparator:", +[](const Class&, NSString* s, NSString* sep) {
                return Ref<Object>(OBJCBridge::float_array(text_of(s, "floatArrayFromString:withSeparator:"),
                                                           text_of(sep, "floatArrayFromString:withSeparator:")));
            }),
            class_method("intArrayFromString:withSeparator:", +[](const Class&, NSString* s, NSString* sep) {
                return Ref<Object>(OBJCBridge::int_array(text_of(s, "intArrayFromString:withSeparator:"),
                                                         text_of(sep, "intArrayFromString:withSeparator:")));
            }),
            class_method("uintArrayFromString:withSeparator:", +[](const Class&, NSString* s, NSString* sep) {
                return Ref<Object>(OBJCBridge::uint_array(text_of(s, "uintArrayFromString:withSeparator:"),
                                                          text_of(sep, "uintArrayFromString:withSeparator:")));
            }),
            class_method("splitFloatArrayIntoMultiDimensionalArray:dimensions:",
                         +[](const Class&, NSData* floats, NSData* counts) {
                             if (!floats || !counts)
                                 throw PlatformException("NSInvalidArgumentException",
                                                         "*** splitFloatArrayIntoMultiDimensionalArray:dimensions: "
                                                         "nil argument");
                             return Ref<Object>(OBJCBridge::split_floats(*floats, *counts));
                         }),
        },
        {
            instance_method("now", +[](OBJCBridge*) { return OBJCBridge::now(); }),
            instance_method("callSchemeFunction:",
                            +[](OBJCBridge*, NSString* name) { return call_in(name, nullptr, nullptr); }),
            instance_method("callSchemeFunction:withArgs:",
                            +[](OBJCBridge*, NSString* name, NSArray* args) { return call_in(name, args, nullptr); }),
            instance_method("callSchemeFunction:withArgs:inProcess:",
                            +[](OBJCBridge*, NSString* name, NSArray* args, NSString* process) {
                                return call_in(name, args, process);
                            }),
            instance_method("objectAction:", +[](OBJCBridge*, Object* s) { act(s, nullptr, Form::text); }),
            instance_method("itemAction:", +[](OBJCBridge*, Object* s) { act(s, "titleOfSelectedItem", Form::text); }),
            instance_method("stringAction:", +[](OBJCBridge*, Object* s) { act(s, "stringValue", Form::text); }),
            instance_method("boolAction:", +[](OBJCBridge*, Object* s) { act(s, "intValue", Form::boolean); }),
            instance_method("integerAction:", +[](OBJCBridge*, Object* s) { act(s, "intValue", Form::integer); }),
            instance_method("floatAction:", +[](OBJCBridge*, Object* s) { act(s, "floatValue", Form::real); }),
            instance_method("doubleAction:", +[](OBJCBridge*, Object* s) { act(s, "doubleValue", Form::real); }),
        }};
}

// A data object of pointers into floats of its own.
class FloatRows final : public NSData {
public:
    FloatRows(std::vector<float> floats, const std::vector<uint64_t>& starts) : floats_(std::move(floats)) {
        bytes_.resize(starts.size() * sizeof(const float*));
        for (size_t i = 0; i < starts.size(); ++i) {
            const float* row = floats_.data() + starts[i];
            std::memcpy(bytes_.data() + i * sizeof row, &row, sizeof row);
        }
    }

private:
    std::vector<float> floats_;
};

}  // namespace

OBJCBridge& OBJCBridge::instance() {
    static auto* bridge = new OBJCBridge;
    return *bridge;
}

void OBJCBridge::register_classes() {
    static std::once_flag once;
    std::call_once(once, [] { runtime::register_class(bridge_class()); });
    OMBControl::register_class();
}

uint32_t OBJCBridge::now() { return static_cast<uint32_t>(SampleClock::TIME.load()); }

std::string OBJCBridge::quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

bool OBJCBridge::call_scheme_function(const std::string& name, const NSArray* args, const std::string& process) {
    if (!plain_name(name)) {
        CPPBridge::error("Bad Scheme function name: %s", quoted(name).c_str());
        return false;
    }
    std::string call = "(" + name;
    for (size_t i = 0; args && i < args->count(); ++i) {
        const Object* arg = args->at(i);
        call += ' ';
        if (dynamic_cast<const NSNumber*>(arg))
            call += arg->description();
        else
            call += quoted(arg ? arg->description() : "(null)");
    }
    call += ")";
    devlog("Calling Scheme Function %s from OBJC", name.c_str());
    return queue(call, process);
}

bool OBJCBridge::action(int64_t tag, const std::string& value) {
    return queue("(objc:action " + std::to_string(tag) + " " + value + ")", PRIMARY_PROCESS);
}

Ref<NSData> OBJCBridge::float_array(const std::string& text, const std::string& separator) {
    std::vector<float> values;
    for (const std::string& part : split(text, separator)) {
        values.push_back(single(leading_real(part)));
        if (devlog_enabled()) devlog("VAL %i,%f", static_cast<int>(values.size() - 1), values.back());
    }
    return data_of(values);
}

Ref<NSData> OBJCBridge::int_array(const std::string& text, const std::string& separator) {
    std::vector<int32_t> values;
    for (const std::string& part : split(text, separator))
        values.push_back(static_cast<int32_t>(std::clamp<int64_t>(leading_integer(part), INT32_MIN, INT32_MAX)));
    return data_of(values);
}

Ref<NSData> OBJCBridge::uint_array(const std::string& text, const std::string& separator) {
    std::vector<uint32_t> values;
    for (const std::string& part : split(text, separator))
        values.push_back(static_cast<uint32_t>(leading_integer(part)));
    return data_of(values);
}

Ref<NSData> OBJCBridge::split_floats(const NSData& floats, const NSData& counts) {
    constexpr const char* METHOD = "+[OBJCBridge splitFloatArrayIntoMultiDimensionalArray:dimensions:]";
    if (counts.length() % 4 != 0)
        throw PlatformException("NSInvalidArgumentException",
                                std::string(METHOD) + ": the counts are not 4-byte integers");
    const uint64_t available = floats.length() / sizeof(float);
    std::vector<uint64_t> starts;
    uint64_t used = 0;
    for (size_t i = 0; i < counts.length(); i += 4) {
        int32_t count;
        std::memcpy(&count, counts.bytes().data() + i, 4);
        if (count < 0 || static_cast<uint64_t>(count) > available - used)
            throw PlatformException("NSRangeException", std::string(METHOD) + ": count " + std::to_string(i / 4) +
                                                            " (" + std::to_string(count) + ") passes the end of " +
                                                            std::to_string(available) + " floats");
        starts.push_back(used);
        used += static_cast<uint64_t>(count);
    }
    std::vector<float> copy(available);
    if (available) std::memcpy(copy.data(), floats.bytes().data(), available * sizeof(float));
    return Ref<NSData>(make_object<FloatRows>(std::move(copy), starts));
}

}  // namespace omb
