#include "platform/objects/foundation.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>

namespace omb {

namespace {

// Nested descriptions are indented one step per level, as the familiar property-list style shows them.
std::string indented(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '\n') out += "    ";
    }
    return out;
}

std::string describe(const Object* o) { return o ? indented(o->description()) : "(null)"; }

}  // namespace

namespace {

// Where the number of a text starts: after blanks and a plus sign (a minus is the number's own).
size_t number_start(const std::string& s) {
    size_t i = s.find_first_not_of(" \t\n\r\f\v");
    if (i == std::string::npos) return s.size();
    if (s[i] == '+' && i + 1 < s.size() && s[i + 1] != '-') ++i;
    return i;
}

}  // namespace

int64_t leading_integer(const std::string& text) {
    const size_t i = number_start(text);
    int64_t v = 0;
    auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), v);
    if (ec == std::errc::result_out_of_range) return text[i] == '-' ? INT64_MIN : INT64_MAX;
    return ec == std::errc() ? v : 0;
}

double leading_real(const std::string& text) {
    const size_t i = number_start(text);
    double v = 0;
    auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), v);
    return ec == std::errc() ? v : 0;
}

int32_t NSString::int_value() const {
    return static_cast<int32_t>(std::clamp<int64_t>(long_long_value(), INT_MIN, INT_MAX));
}

int64_t NSNumber::truncated(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775807.0) return INT64_MAX;
    if (v <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(v);
}

std::string NSNumber::description() const {
    if (kind_ != Kind::real) return std::to_string(integer_);
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", real_);
    return text;
}

std::string NSData::description() const {
    static const char* digits = "0123456789abcdef";
    std::string out = "<";
    for (size_t i = 0; i < bytes_.size(); ++i) {
        if (i > 0 && i % 4 == 0) out += ' ';
        out += digits[bytes_[i] >> 4];
        out += digits[bytes_[i] & 15];
    }
    return out + ">";
}

std::string NSArray::description() const {
    std::string out = "(";
    for (size_t i = 0; i < items_.size(); ++i) out += (i ? ",\n    " : "\n    ") + describe(items_[i].get());
    return out + "\n)";
}

bool NSMutableArray::insert(size_t i, Ref<Object> item) {
    if (i > items_.size()) return false;
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(i), std::move(item));
    return true;
}

bool NSMutableArray::remove_at(size_t i) {
    if (i >= items_.size()) return false;
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
    return true;
}

NSDictionary::NSDictionary(std::vector<Item> items) {
    for (auto& [key, value] : items) {
        bool replaced = false;
        for (auto& item : items_)
            if (is_equal(item.first.get(), key.get())) {
                item.second = std::move(value);
                replaced = true;
                break;
            }
        if (!replaced) items_.emplace_back(std::move(key), std::move(value));
    }
}

Object* NSDictionary::object_for_key(const Object* key) const {
    for (const auto& [k, v] : items_)
        if (is_equal(k.get(), key)) return v.get();
    return nullptr;
}

Object* NSDictionary::object_for_key(const std::string& key) const {
    for (const auto& [k, v] : items_)
        if (const auto* s = dynamic_cast<const NSString*>(k.get()); s && s->utf8() == key) return v.get();
    return nullptr;
}

std::string NSDictionary::description() const {
    std::string out = "{";
    for (const auto& [k, v] : items_) out += "\n    " + describe(k.get()) + " = " + describe(v.get()) + ";";
    return out + "\n}";
}

void NSMutableDictionary::set(Ref<Object> key, Ref<Object> value) {
    for (auto& item : items_)
        if (is_equal(item.first.get(), key.get())) {
            item.second = std::move(value);
            return;
        }
    items_.emplace_back(std::move(key), std::move(value));
}

bool NSMutableDictionary::remove(const Object* key) {
    for (auto it = items_.begin(); it != items_.end(); ++it)
        if (is_equal(it->first.get(), key)) {
            items_.erase(it);
            return true;
        }
    return false;
}

std::string NSValue::description() const {
    char text[160];
    struct Describe {
        char* out;
        void operator()(const void* p) const { std::snprintf(out, 160, "<%p>", p); }
        void operator()(NSPoint p) const { std::snprintf(out, 160, "NSPoint: {%g, %g}", p.x, p.y); }
        void operator()(NSSize s) const { std::snprintf(out, 160, "NSSize: {%g, %g}", s.width, s.height); }
        void operator()(NSRect r) const {
            std::snprintf(out, 160, "NSRect: {{%g, %g}, {%g, %g}}", r.origin.x, r.origin.y, r.size.width,
                          r.size.height);
        }
        void operator()(NSRange r) const {
            std::snprintf(out, 160, "NSRange: {%llu, %llu}", static_cast<unsigned long long>(r.location),
                          static_cast<unsigned long long>(r.length));
        }
    };
    std::visit(Describe{text}, content_);
    return text;
}

bool is_equal(const Object* a, const Object* b) {
    if (a == b) return true;
    if (!a || !b) return false;
    if (auto* s = dynamic_cast<const NSString*>(a)) {
        auto* t = dynamic_cast<const NSString*>(b);
        return t && s->utf8() == t->utf8();
    }
    if (auto* n = dynamic_cast<const NSNumber*>(a)) {
        auto* m = dynamic_cast<const NSNumber*>(b);
        return m && n->double_value() == m->double_value() && n->integer_value() == m->integer_value();
    }
    if (auto* d = dynamic_cast<const NSData*>(a)) {
        auto* e = dynamic_cast<const NSData*>(b);
        return e && d->bytes() == e->bytes();
    }
    if (auto* x = dynamic_cast<const NSArray*>(a)) {
        auto* y = dynamic_cast<const NSArray*>(b);
        if (!y || x->count() != y->count()) return false;
        for (size_t i = 0; i < x->count(); ++i)
            if (!is_equal(x->at(i), y->at(i))) return false;
        return true;
    }
    if (auto* x = dynamic_cast<const NSDictionary*>(a)) {
        auto* y = dynamic_cast<const NSDictionary*>(b);
        if (!y || x->count() != y->count()) return false;
        for (const auto& [k, v] : x->items())
            if (!is_equal(v.get(), y->object_for_key(k.get()))) return false;
        return true;
    }
    return false;
}

}  // namespace omb
