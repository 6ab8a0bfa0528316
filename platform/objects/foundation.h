// The foundation classes: strings, numbers, data, arrays, dictionaries and boxed values, as native code builds and
// reads them. Scheme reaches them through the object bridge by class name and selector (platform/objects/runtime.h,
// their methods in foundation_methods.cpp); native code uses the C++ members below.
//
// Every object is reference-counted (Object); Ref<T> holds one reference. Immutable classes may be read from any
// thread; a mutable one belongs to whoever holds it, like any container.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/objects/object.h"

namespace omb {

// One reference to an object, given back when the holder goes. Adopting a new object takes its first reference;
// retain() copies another holder's.
template <class T>
class Ref {
public:
    Ref() = default;
    static Ref adopt(T* object) { return Ref(object); }
    static Ref retain(T* object) {
        if (object) object->retain();
        return Ref(object);
    }
    Ref(const Ref& other) : object_(other.object_) {
        if (object_) object_->retain();
    }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    template <class U>
    Ref(Ref<U>&& other) noexcept : object_(other.release()) {}  // NOLINT: upcast, as for pointers
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() {
        if (object_) object_->release();
    }

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller.
    T* release() { return std::exchange(object_, nullptr); }

private:
    explicit Ref(T* object) : object_(object) {}
    T* object_ = nullptr;
};

template <class T, class... Args>
Ref<T> make_object(Args&&... args) {
    return Ref<T>::adopt(new T(std::forward<Args>(args)...));
}

// The number a text starts with, after blanks: an optional sign and digits (for reals also a fraction and an
// exponent). 0 when there is none; integers saturate at the ends of their range.
int64_t leading_integer(const std::string& text);
double leading_real(const std::string& text);

class NSString : public Object {
public:
    explicit NSString(std::string utf8) : text_(std::move(utf8)) {}
    const std::string& utf8() const { return text_; }
    // The number the text starts with (leading_integer, leading_real above).
    int32_t int_value() const;
    int64_t long_long_value() const { return leading_integer(text_); }
    double double_value() const { return leading_real(text_); }
    std::string class_name() const override { return "NSString"; }
    std::string description() const override { return text_; }

private:
    std::string text_;
};

// A number as it was made: an integer, a real or a boolean; each reads as the others.
class NSNumber : public Object {
public:
    enum class Kind { integer, real, boolean };
    static Ref<NSNumber> integer(int64_t v) { return make_object<NSNumber>(Kind::integer, v, static_cast<double>(v)); }
    static Ref<NSNumber> real(double v) { return make_object<NSNumber>(Kind::real, truncated(v), v); }
    static Ref<NSNumber> boolean(bool v) { return make_object<NSNumber>(Kind::boolean, v ? 1 : 0, v ? 1.0 : 0.0); }
    NSNumber(Kind kind, int64_t i, double d) : kind_(kind), integer_(i), real_(d) {}

    Kind kind() const { return kind_; }
    int64_t integer_value() const { return integer_; }
    double double_value() const { return real_; }
    bool bool_value() const { return kind_ == Kind::real ? real_ != 0.0 : integer_ != 0; }
    std::string class_name() const override { return "NSNumber"; }
    // "3", "0.5", "1e+20": integers in decimal, reals with up to 17 significant digits, booleans as 1 and 0.
    std::string description() const override;

    // The integer part of a real, saturated at the ends of the 64-bit range; 0 for NaN.
    static int64_t truncated(double v);

private:
    Kind kind_;
    int64_t integer_;
    double real_;
};

class NSData : public Object {
public:
    NSData() = default;
    explicit NSData(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    NSData(const void* bytes, size_t size)
        : bytes_(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + size) {}
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    size_t length() const { return bytes_.size(); }
    std::string class_name() const override { return "NSData"; }
    // "<01020304 0506>": the bytes in hexadecimal, in groups of four.
    std::string description() const override;

protected:
    std::vector<uint8_t> bytes_;
};

class NSMutableData : public NSData {
public:
    using NSData::NSData;
    std::vector<uint8_t>& mutable_bytes() { return bytes_; }
    void append(const void* bytes, size_t size) {
        const auto* b = static_cast<const uint8_t*>(bytes);
        bytes_.insert(bytes_.end(), b, b + size);
    }
    std::string class_name() const override { return "NSMutableData"; }
};

class NSArray : public Object {
public:
    NSArray() = default;
    explicit NSArray(std::vector<Ref<Object>> items) : items_(std::move(items)) {}
    size_t count() const { return items_.size(); }
    Object* at(size_t i) const { return i < items_.size() ? items_[i].get() : nullptr; }
    const std::vector<Ref<Object>>& items() const { return items_; }
    std::string class_name() const override { return "NSArray"; }
    // "(\n    a,\n    b\n)": each item's description on a line of its own.
    std::string description() const override;

protected:
    std::vector<Ref<Object>> items_;
};

class NSMutableArray : public NSArray {
public:
    using NSArray::NSArray;
    void add(Ref<Object> item) { items_.push_back(std::move(item)); }
    // False when i is past the end (i == count() appends).
    bool insert(size_t i, Ref<Object> item);
    bool remove_at(size_t i);
    void clear() { items_.clear(); }
    std::string class_name() const override { return "NSMutableArray"; }
};

// Keys compare by is_equal (strings by text, numbers by value, other objects by identity); items keep the order
// they were added in.
class NSDictionary : public Object {
public:
    using Item = std::pair<Ref<Object>, Ref<Object>>;
    NSDictionary() = default;
    explicit NSDictionary(std::vector<Item> items);
    size_t count() const { return items_.size(); }
    Object* object_for_key(const Object* key) const;
    Object* object_for_key(const std::string& key) const;
    const std::vector<Item>& items() const { return items_; }
    std::string class_name() const override { return "NSDictionary"; }
    // "{\n    key = value;\n}".
    std::string description() const override;

protected:
    std::vector<Item> items_;
};

class NSMutableDictionary : public NSDictionary {
public:
    using NSDictionary::NSDictionary;
    void set(Ref<Object> key, Ref<Object> value);
    bool remove(const Object* key);
    void clear() { items_.clear(); }
    std::string class_name() const override { return "NSMutableDictionary"; }
};

// Geometry and ranges as methods take and return them by value; the object bridge gives them to Scheme as lists.
struct NSPoint {
    float x = 0, y = 0;
};
struct NSSize {
    float width = 0, height = 0;
};
struct NSRect {
    NSPoint origin;
    NSSize size;
};
struct NSRange {
    uint64_t location = 0, length = 0;
};
struct CGPoint {
    double x = 0, y = 0;
};
// What searches answer when nothing is found.
constexpr uint64_t NSNotFound = 0x7fffffffffffffff;

// One pointer, point, size, rectangle or range in an object, where an object is wanted (a canvas redraws a
// rectangle boxed in one).
class NSValue : public Object {
public:
    using Content = std::variant<const void*, NSPoint, NSSize, NSRect, NSRange>;
    explicit NSValue(Content content) : content_(content) {}
    const Content& content() const { return content_; }
    std::string class_name() const override { return "NSValue"; }
    // "NSRect: {{0, 0}, {10, 20}}", "NSRange: {2, 3}", "<0x5581c0>".
    std::string description() const override;

private:
    Content content_;
};

// Equality as dictionaries and arrays use it: strings by their text, numbers by value, data by bytes, arrays and
// dictionaries item by item; anything else by identity.
bool is_equal(const Object* a, const Object* b);

}  // namespace omb
