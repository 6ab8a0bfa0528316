// The methods of the foundation classes, as the object runtime publishes them to Scheme (docs/objects.md lists
// them with their encodings). Failures throw PlatformException with the platform's exception names.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "platform/objects/runtime.h"
#include "platform/objects/typed_methods.h"

namespace omb {

namespace {

using Items = std::vector<Ref<Object>>;

// More than this is never reserved or zero-filled on request: a mistyped capacity must not take the machine's
// memory.
constexpr uint64_t kLargestRequest = uint64_t{1} << 30;

[[noreturn]] void raise(const char* name, const std::string& reason) { throw PlatformException(name, reason); }

[[noreturn]] void nil_argument(const std::string& method) {
    raise("NSInvalidArgumentException", "*** " + method + ": nil argument");
}

template <class T>
T* require(T* object, const char* method) {
    if (!object) nil_argument(method);
    return object;
}

// Single precision, an infinity beyond its range (a plain cast there is undefined).
float to_float(double v) {
    if (std::isfinite(v) && std::fabs(v) > FLT_MAX) return v > 0 ? HUGE_VALF : -HUGE_VALF;
    return static_cast<float>(v);
}

Ref<Object> text(std::string s) { return make_object<NSString>(std::move(s)); }
Ref<Object> retained(Object* o) { return Ref<Object>::retain(o); }

// ---- NSObject ---------------------------------------------------------------------------------------------------

ClassDefinition ns_object() {
    return {"NSObject", "", [] { return Ref<Object>::adopt(new Object); },
            {
                class_method("alloc", +[](const Class& cls) -> Ref<Object> { return cls.allocate(); }),
                class_method("description", +[](const Class& cls) -> Ref<Object> { return text(cls.name()); }),
            },
            {
                instance_method("init", +[](Object* self) -> Ref<Object> { return retained(self); }),
                instance_method("description", +[](Object* self) -> Ref<Object> { return text(self->description()); }),
                instance_method("className",
                                +[](Object* self) -> Ref<Object> { return text(runtime::class_of(self)->name()); }),
                instance_method("isEqual:", +[](Object* self, Object* other) { return is_equal(self, other); }),
                instance_method("retainCount",
                                +[](Object* self) { return static_cast<uint64_t>(self->retain_count()); }),
            }};
}

// ---- NSString: lengths and ranges count characters (Unicode code points) --------------------------------------

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

uint64_t characters(const std::string& s) {
    return static_cast<uint64_t>(std::count_if(s.begin(), s.end(), [](char c) { return !continuation(c); }));
}

// The byte where character `index` starts (the end for index == length).
size_t byte_of(const std::string& s, uint64_t index) {
    size_t i = 0;
    for (uint64_t n = 0; i < s.size(); ++i) {
        if (continuation(static_cast<unsigned char>(s[i]))) continue;
        if (n++ == index) return i;
    }
    return s.size();
}

const std::string& utf8(const NSString* s) { return s->utf8(); }

Ref<Object> string_with(const Class&, NSString* s) {
    return text(utf8(require(s, "+[NSString stringWithString:]")));
}

Ref<Object> string_with_utf8(const Class&, const char* chars) {
    if (!chars) nil_argument("+[NSString stringWithUTF8String:]");
    return text(chars);
}

Ref<Object> substring(NSString* self, NSRange r) {
    const std::string& s = utf8(self);
    const uint64_t length = characters(s);
    if (r.location > length || r.length > length - r.location)
        raise("NSRangeException", "-[NSString substringWithRange:]: Range {" + std::to_string(r.location) + ", " +
                                      std::to_string(r.length) + "} out of bounds; string length " +
                                      std::to_string(length));
    const size_t from = byte_of(s, r.location);
    return text(s.substr(from, byte_of(s, r.location + r.length) - from));
}

NSRange range_of(NSString* self, NSString* needle) {
    const std::string& s = utf8(self);
    const std::string& n = utf8(require(needle, "-[NSString rangeOfString:]"));
    const size_t at = n.empty() ? std::string::npos : s.find(n);
    if (at == std::string::npos) return {NSNotFound, 0};
    return {characters(s.substr(0, at)), characters(n)};
}

Ref<Object> components(NSString* self, NSString* separator) {
    const std::string& s = utf8(self);
    const std::string& sep = utf8(require(separator, "-[NSString componentsSeparatedByString:]"));
    Items items;
    if (sep.empty()) {
        items.push_back(text(s));
    } else {
        size_t from = 0;
        for (size_t at; (at = s.find(sep, from)) != std::string::npos; from = at + sep.size())
            items.push_back(text(s.substr(from, at - from)));
        items.push_back(text(s.substr(from)));
    }
    return make_object<NSArray>(std::move(items));
}

ClassDefinition ns_string() {
    return {"NSString", "NSObject", [] { return text(""); },
            {
                class_method("string", +[](const Class&) { return text(""); }),
                class_method("stringWithString:", string_with),
                class_method("stringWithUTF8String:", string_with_utf8),
            },
            {
                instance_method("initWithString:", +[](NSString*, NSString* s) {
                    return text(utf8(require(s, "-[NSString initWithString:]")));
                }),
                instance_method("initWithUTF8String:", +[](NSString*, const char* chars) {
                    if (!chars) nil_argument("-[NSString initWithUTF8String:]");
                    return text(chars);
                }),
                instance_method("length", +[](NSString* self) { return characters(utf8(self)); }),
                instance_method("UTF8String", +[](NSString* self) { return utf8(self).c_str(); }),
                instance_method("stringByAppendingString:", +[](NSString* self, NSString* s) {
                    return text(utf8(self) + utf8(require(s, "-[NSString stringByAppendingString:]")));
                }),
                instance_method("isEqualToString:",
                                +[](NSString* self, NSString* s) { return s && utf8(self) == utf8(s); }),
                instance_method("substringWithRange:", substring),
                instance_method("rangeOfString:", range_of),
                instance_method("componentsSeparatedByString:", components),
                instance_method("intValue", +[](NSString* self) { return self->int_value(); }),
                instance_method("longLongValue", +[](NSString* self) { return self->long_long_value(); }),
                instance_method("doubleValue", +[](NSString* self) { return self->double_value(); }),
                instance_method("floatValue", +[](NSString* self) { return to_float(self->double_value()); }),
            }};
}

// ---- NSNumber ---------------------------------------------------------------------------------------------------

Ref<Object> integer(int64_t v) { return NSNumber::integer(v); }

ClassDefinition ns_number() {
    return {"NSNumber", "NSObject", [] { return Ref<Object>(NSNumber::integer(0)); },
            {
                class_method("numberWithChar:", +[](const Class&, char v) { return integer(v); }),
                class_method("numberWithUnsignedChar:", +[](const Class&, unsigned char v) { return integer(v); }),
                class_method("numberWithShort:", +[](const Class&, int16_t v) { return integer(v); }),
                class_method("numberWithUnsignedShort:", +[](const Class&, uint16_t v) { return integer(v); }),
                class_method("numberWithInt:", +[](const Class&, int32_t v) { return integer(v); }),
                class_method("numberWithUnsignedInt:", +[](const Class&, uint32_t v) { return integer(v); }),
                class_method("numberWithLongLong:", +[](const Class&, int64_t v) { return integer(v); }),
                class_method("numberWithFloat:",
                             +[](const Class&, float v) { return Ref<Object>(NSNumber::real(v)); }),
                class_method("numberWithDouble:",
                             +[](const Class&, double v) { return Ref<Object>(NSNumber::real(v)); }),
                class_method("numberWithBool:",
                             +[](const Class&, bool v) { return Ref<Object>(NSNumber::boolean(v)); }),
            },
            {
                instance_method("initWithInt:", +[](NSNumber*, int32_t v) { return integer(v); }),
                instance_method("initWithDouble:", +[](NSNumber*, double v) { return Ref<Object>(NSNumber::real(v)); }),
                instance_method("initWithBool:", +[](NSNumber*, bool v) { return Ref<Object>(NSNumber::boolean(v)); }),
                instance_method("charValue", +[](NSNumber* self) { return static_cast<char>(self->integer_value()); }),
                instance_method("shortValue",
                                +[](NSNumber* self) { return static_cast<int16_t>(self->integer_value()); }),
                instance_method("intValue",
                                +[](NSNumber* self) { return static_cast<int32_t>(self->integer_value()); }),
                instance_method("longLongValue", +[](NSNumber* self) { return self->integer_value(); }),
                instance_method("floatValue", +[](NSNumber* self) { return to_float(self->double_value()); }),
                instance_method("doubleValue", +[](NSNumber* self) { return self->double_value(); }),
                instance_method("boolValue", +[](NSNumber* self) { return self->bool_value(); }),
                instance_method("stringValue", +[](NSNumber* self) { return text(self->description()); }),
                instance_method("isEqualToNumber:", +[](NSNumber* self, NSNumber* n) { return is_equal(self, n); }),
            }};
}

// ---- NSArray, NSMutableArray ------------------------------------------------------------------------------------

// A class method inherited by NSMutableArray makes a mutable array.
Ref<Object> array_of(const Class& cls, Items items) {
    if (cls.is_kind_of("NSMutableArray")) return make_object<NSMutableArray>(std::move(items));
    return make_object<NSArray>(std::move(items));
}

Ref<Object> array_like(NSArray* self, Items items) {
    if (dynamic_cast<NSMutableArray*>(self)) return make_object<NSMutableArray>(std::move(items));
    return make_object<NSArray>(std::move(items));
}

void check_index(const NSArray* a, uint64_t i, const char* method) {
    if (i < a->count()) return;
    const std::string bounds =
        a->count() ? " beyond bounds [0 .. " + std::to_string(a->count() - 1) + "]" : " beyond bounds for empty array";
    raise("NSRangeException", std::string("*** ") + method + ": index " + std::to_string(i) + bounds);
}

Ref<Object> joined(NSArray* self, NSString* separator) {
    const std::string& sep = utf8(require(separator, "-[NSArray componentsJoinedByString:]"));
    std::string out;
    for (size_t i = 0; i < self->count(); ++i) {
        if (i) out += sep;
        out += self->at(i) ? self->at(i)->description() : "";
    }
    return text(out);
}

uint64_t index_of(NSArray* self, Object* o) {
    for (size_t i = 0; i < self->count(); ++i)
        if (is_equal(self->at(i), o)) return i;
    return NSNotFound;
}

ClassDefinition ns_array() {
    return {"NSArray", "NSObject", [] { return Ref<Object>(make_object<NSArray>()); },
            {
                class_method("array", +[](const Class& cls) { return array_of(cls, {}); }),
                class_method("arrayWithObject:", +[](const Class& cls, Object* o) {
                    return array_of(cls, {retained(require(o, "+[NSArray arrayWithObject:]"))});
                }),
                class_method("arrayWithArray:", +[](const Class& cls, NSArray* a) {
                    return array_of(cls, require(a, "+[NSArray arrayWithArray:]")->items());
                }),
            },
            {
                instance_method("initWithArray:", +[](NSArray* self, NSArray* a) {
                    return array_like(self, require(a, "-[NSArray initWithArray:]")->items());
                }),
                instance_method("count", +[](NSArray* self) { return static_cast<uint64_t>(self->count()); }),
                instance_method("objectAtIndex:", +[](NSArray* self, uint64_t i) {
                    check_index(self, i, "-[NSArray objectAtIndex:]");
                    return retained(self->at(i));
                }),
                instance_method("containsObject:",
                                +[](NSArray* self, Object* o) { return index_of(self, o) != NSNotFound; }),
                instance_method("indexOfObject:", index_of),
                instance_method("firstObject", +[](NSArray* self) { return retained(self->at(0)); }),
                instance_method("lastObject", +[](NSArray* self) {
                    return retained(self->count() ? self->at(self->count() - 1) : nullptr);
                }),
                instance_method("componentsJoinedByString:", joined),
            }};
}

Ref<Object> with_capacity(uint64_t capacity) {
    Items reserve;
    reserve.reserve(std::min<uint64_t>(capacity, 4096));
    return Ref<Object>(make_object<NSMutableArray>(std::move(reserve)));
}

ClassDefinition ns_mutable_array() {
    return {"NSMutableArray", "NSArray", [] { return Ref<Object>(make_object<NSMutableArray>()); },
            {
                class_method("arrayWithCapacity:", +[](const Class&, uint64_t n) { return with_capacity(n); }),
            },
            {
                instance_method("initWithCapacity:", +[](NSMutableArray*, uint64_t n) { return with_capacity(n); }),
                instance_method("addObject:", +[](NSMutableArray* self, Object* o) {
                    self->add(retained(require(o, "-[NSMutableArray addObject:]")));
                }),
                instance_method("insertObject:atIndex:", +[](NSMutableArray* self, Object* o, uint64_t i) {
                    require(o, "-[NSMutableArray insertObject:atIndex:]");
                    if (i > self->count())
                        raise("NSRangeException", "*** -[NSMutableArray insertObject:atIndex:]: index " +
                                                      std::to_string(i) + " beyond bounds [0 .. " +
                                                      std::to_string(self->count()) + "]");
                    self->insert(i, retained(o));
                }),
                instance_method("removeObjectAtIndex:", +[](NSMutableArray* self, uint64_t i) {
                    check_index(self, i, "-[NSMutableArray removeObjectAtIndex:]");
                    self->remove_at(i);
                }),
                instance_method("removeAllObjects", +[](NSMutableArray* self) { self->clear(); }),
            }};
}

// ---- NSDictionary, NSMutableDictionary ----------------------------------------------------------------------------

Ref<Object> dictionary_of(const Class& cls, std::vector<NSDictionary::Item> items) {
    if (cls.is_kind_of("NSMutableDictionary")) return make_object<NSMutableDictionary>(std::move(items));
    return make_object<NSDictionary>(std::move(items));
}

Ref<Object> keys_or_values(NSDictionary* self, bool keys) {
    Items items;
    for (const auto& [k, v] : self->items()) items.push_back(keys ? k : v);
    return make_object<NSArray>(std::move(items));
}

ClassDefinition ns_dictionary() {
    return {"NSDictionary", "NSObject", [] { return Ref<Object>(make_object<NSDictionary>()); },
            {
                class_method("dictionary", +[](const Class& cls) { return dictionary_of(cls, {}); }),
                class_method("dictionaryWithObject:forKey:", +[](const Class& cls, Object* value, Object* key) {
                    require(value, "+[NSDictionary dictionaryWithObject:forKey:]");
                    require(key, "+[NSDictionary dictionaryWithObject:forKey:]");
                    return dictionary_of(cls, {{retained(key), retained(value)}});
                }),
                class_method("dictionaryWithDictionary:", +[](const Class& cls, NSDictionary* d) {
                    return dictionary_of(cls, require(d, "+[NSDictionary dictionaryWithDictionary:]")->items());
                }),
            },
            {
                instance_method("count", +[](NSDictionary* self) { return static_cast<uint64_t>(self->count()); }),
                instance_method("objectForKey:", +[](NSDictionary* self, Object* key) {
                    return retained(self->object_for_key(require(key, "-[NSDictionary objectForKey:]")));
                }),
                instance_method("allKeys", +[](NSDictionary* self) { return keys_or_values(self, true); }),
                instance_method("allValues", +[](NSDictionary* self) { return keys_or_values(self, false); }),
            }};
}

ClassDefinition ns_mutable_dictionary() {
    return {"NSMutableDictionary", "NSDictionary", [] { return Ref<Object>(make_object<NSMutableDictionary>()); },
            {},
            {
                instance_method("setObject:forKey:", +[](NSMutableDictionary* self, Object* value, Object* key) {
                    require(value, "-[NSMutableDictionary setObject:forKey:]");
                    require(key, "-[NSMutableDictionary setObject:forKey:]");
                    self->set(retained(key), retained(value));
                }),
                instance_method("removeObjectForKey:", +[](NSMutableDictionary* self, Object* key) {
                    self->remove(require(key, "-[NSMutableDictionary removeObjectForKey:]"));
                }),
                instance_method("removeAllObjects", +[](NSMutableDictionary* self) { self->clear(); }),
            }};
}

// ---- NSData, NSMutableData --------------------------------------------------------------------------------------

Ref<Object> zeroed(uint64_t length, const char* method) {
    if (length > kLargestRequest)
        raise("NSInvalidArgumentException", std::string("*** ") + method + ": length " + std::to_string(length) +
                                                " is more than " + std::to_string(kLargestRequest) + " bytes");
    return make_object<NSMutableData>(std::vector<uint8_t>(length, 0));
}

ClassDefinition ns_data() {
    return {"NSData", "NSObject", [] { return Ref<Object>(make_object<NSData>()); },
            {
                class_method("data", +[](const Class& cls) -> Ref<Object> {
                    if (cls.is_kind_of("NSMutableData")) return make_object<NSMutableData>();
                    return make_object<NSData>();
                }),
                class_method("dataWithData:", +[](const Class& cls, NSData* d) -> Ref<Object> {
                    const auto& bytes = require(d, "+[NSData dataWithData:]")->bytes();
                    if (cls.is_kind_of("NSMutableData")) return make_object<NSMutableData>(bytes);
                    return make_object<NSData>(bytes);
                }),
            },
            {
                instance_method("length", +[](NSData* self) { return static_cast<uint64_t>(self->length()); }),
                instance_method("bytes", +[](NSData* self) { return static_cast<const void*>(self->bytes().data()); }),
                instance_method("isEqualToData:", +[](NSData* self, NSData* d) { return is_equal(self, d); }),
            }};
}

ClassDefinition ns_mutable_data() {
    return {"NSMutableData", "NSData", [] { return Ref<Object>(make_object<NSMutableData>()); },
            {
                class_method("dataWithLength:",
                             +[](const Class&, uint64_t n) { return zeroed(n, "+[NSMutableData dataWithLength:]"); }),
            },
            {
                instance_method("initWithLength:", +[](NSMutableData*, uint64_t n) {
                    return zeroed(n, "-[NSMutableData initWithLength:]");
                }),
                instance_method("appendData:", +[](NSMutableData* self, NSData* d) {
                    // A copy first: appending the data to itself must not read what it is writing.
                    const std::vector<uint8_t> bytes = require(d, "-[NSMutableData appendData:]")->bytes();
                    self->append(bytes.data(), bytes.size());
                }),
            }};
}

// ---- NSValue ----------------------------------------------------------------------------------------------------

template <class T>
T content(NSValue* self, const char* method) {
    if (const T* value = std::get_if<T>(&self->content())) return *value;
    raise("NSInvalidArgumentException", std::string("-[NSValue ") + method + "]: the value holds something else (" +
                                            self->description() + ")");
}

template <class T>
Ref<Object> boxed(const Class&, T value) {
    return make_object<NSValue>(NSValue::Content(value));
}

ClassDefinition ns_value() {
    return {"NSValue", "NSObject", {},
            {
                class_method("valueWithPointer:", boxed<const void*>),
                class_method("valueWithPoint:", boxed<NSPoint>),
                class_method("valueWithSize:", boxed<NSSize>),
                class_method("valueWithRect:", boxed<NSRect>),
                class_method("valueWithRange:", boxed<NSRange>),
            },
            {
                instance_method("pointerValue", +[](NSValue* self) {
                    return const_cast<void*>(content<const void*>(self, "pointerValue"));
                }),
                instance_method("pointValue", +[](NSValue* self) { return content<NSPoint>(self, "pointValue"); }),
                instance_method("sizeValue", +[](NSValue* self) { return content<NSSize>(self, "sizeValue"); }),
                instance_method("rectValue", +[](NSValue* self) { return content<NSRect>(self, "rectValue"); }),
                instance_method("rangeValue", +[](NSValue* self) { return content<NSRange>(self, "rangeValue"); }),
            }};
}

// ---- OMBGeometry: rectangles and points computed by class methods ---------------------------------------------

bool empty(NSRect r) { return r.size.width <= 0 || r.size.height <= 0; }

NSRect union_of(const Class&, NSRect a, NSRect b) {
    if (empty(a)) return b;
    if (empty(b)) return a;
    const float x = std::min(a.origin.x, b.origin.x), y = std::min(a.origin.y, b.origin.y);
    const float right = std::max(a.origin.x + a.size.width, b.origin.x + b.size.width);
    const float top = std::max(a.origin.y + a.size.height, b.origin.y + b.size.height);
    return {{x, y}, {right - x, top - y}};
}

ClassDefinition omb_geometry() {
    return {"OMBGeometry", "NSObject", {},
            {
                class_method("rectWithX:y:width:height:", +[](const Class&, float x, float y, float w, float h) {
                    return NSRect{{x, y}, {w, h}};
                }),
                class_method("pointWithX:y:", +[](const Class&, float x, float y) { return NSPoint{x, y}; }),
                class_method("unionOfRect:andRect:", union_of),
                class_method("centerOfRect:", +[](const Class&, NSRect r) {
                    return CGPoint{r.origin.x + r.size.width / 2.0, r.origin.y + r.size.height / 2.0};
                }),
                class_method("containsPoint:inRect:", +[](const Class&, NSPoint p, NSRect r) {
                    return p.x >= r.origin.x && p.y >= r.origin.y && p.x < r.origin.x + r.size.width &&
                           p.y < r.origin.y + r.size.height;
                }),
            },
            {}};
}

}  // namespace

std::vector<ClassDefinition> foundation_class_definitions() {
    std::vector<ClassDefinition> all;
    for (auto make : {ns_object, ns_string, ns_number, ns_array, ns_mutable_array, ns_dictionary, ns_mutable_dictionary,
                      ns_data, ns_mutable_data, ns_value, omb_geometry})
        all.push_back(make());
    return all;
}

}  // namespace omb
