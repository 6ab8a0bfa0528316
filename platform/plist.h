// XML property lists: the preferences file and saved presets, read and written as the usual plist XML.
//
// A plist::Value is plain data: a boolean, an integer, a real, a string, bytes (<data>), a date (kept as its ISO
// text), an array or a dictionary that keeps its keys in the order they were added. Reading never throws: any
// malformed input yields nullopt and a one-line message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace omb::plist {

class Value;

using Bytes = std::vector<std::uint8_t>;
using Array = std::vector<Value>;

// A <date>, as written: "2024-05-01T12:00:00Z".
struct Date {
    std::string iso;
    bool operator==(const Date&) const = default;
};

// Keys in insertion order, so a file read and written again keeps its layout.
class Dict {
public:
    using Item = std::pair<std::string, Value>;

    Dict() = default;
    // A repeated key keeps its first place and takes its last value, as set() would, in linear time.
    explicit Dict(std::vector<Item> items);

    Value* find(std::string_view key);
    const Value* find(std::string_view key) const;
    // Replaces the value of an existing key in place, else appends.
    Value& set(std::string key, Value value);
    bool erase(std::string_view key);

    // Defined below Value: the items are incomplete here.
    std::size_t size() const;
    bool empty() const;
    std::vector<Item>::iterator begin();
    std::vector<Item>::iterator end();
    std::vector<Item>::const_iterator begin() const;
    std::vector<Item>::const_iterator end() const;

    // Order matters: two dicts with the same items in another order differ.
    bool operator==(const Dict&) const;

private:
    std::vector<Item> items_;
};

class Value {
public:
    using Storage = std::variant<bool, std::int64_t, double, std::string, Bytes, Date, Array, Dict>;

    Value() : v_(Dict{}) {}
    Value(bool b) : v_(b) {}
    template <typename T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
    Value(T i) : v_(static_cast<std::int64_t>(i)) {}
    Value(double d) : v_(d) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(Bytes b) : v_(std::move(b)) {}
    Value(Date d) : v_(std::move(d)) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(Dict d) : v_(std::move(d)) {}

    bool is_bool() const { return holds<bool>(); }
    bool is_int() const { return holds<std::int64_t>(); }
    bool is_real() const { return holds<double>(); }
    bool is_number() const { return is_int() || is_real(); }
    bool is_string() const { return holds<std::string>(); }
    bool is_data() const { return holds<Bytes>(); }
    bool is_date() const { return holds<Date>(); }
    bool is_array() const { return holds<Array>(); }
    bool is_dict() const { return holds<Dict>(); }

    std::optional<bool> as_bool() const;
    // An integer, or a real with no fractional part that fits in 64 bits.
    std::optional<std::int64_t> as_int() const;
    // A real, or an integer converted.
    std::optional<double> as_real() const;
    const std::string* as_string() const { return std::get_if<std::string>(&v_); }
    const Bytes* as_data() const { return std::get_if<Bytes>(&v_); }
    const Date* as_date() const { return std::get_if<Date>(&v_); }
    const Array* as_array() const { return std::get_if<Array>(&v_); }
    Array* as_array() { return std::get_if<Array>(&v_); }
    const Dict* as_dict() const { return std::get_if<Dict>(&v_); }
    Dict* as_dict() { return std::get_if<Dict>(&v_); }

    // The value under `key` when this is a dict holding it; null otherwise.
    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);

    const Storage& storage() const { return v_; }
    bool operator==(const Value&) const = default;

private:
    template <typename T>
    bool holds() const { return std::holds_alternative<T>(v_); }

    Storage v_;
};

inline std::size_t Dict::size() const { return items_.size(); }
inline bool Dict::empty() const { return items_.empty(); }
inline std::vector<Dict::Item>::iterator Dict::begin() { return items_.begin(); }
inline std::vector<Dict::Item>::iterator Dict::end() { return items_.end(); }
inline std::vector<Dict::Item>::const_iterator Dict::begin() const { return items_.begin(); }
inline std::vector<Dict::Item>::const_iterator Dict::end() const { return items_.end(); }

// Containers nested deeper than this are refused on reading, so hostile input cannot exhaust the stack.
inline constexpr int MAX_DEPTH = 512;

// `error`, when given, receives a one-line reason ("line 4: unknown element <strin>") on failure.
std::optional<Value> parse(std::string_view xml, std::string* error = nullptr);
// Complete document: XML declaration, DOCTYPE, <plist version="1.0">, one tab per nesting level.
// NUL characters cannot be written in XML and are left out of strings and keys.
std::string serialize(const Value& value);

// Errors name the file.
std::optional<Value> read_file(const std::filesystem::path& file, std::string* error = nullptr);
// Creates missing folders, then writes a temporary file beside `file` and renames it over `file`: a crash or a
// full disk leaves either the old file or the new one, never a mixture. A symbolic link is followed, not replaced.
bool write_file(const std::filesystem::path& file, const Value& value, std::string* error = nullptr);

}  // namespace omb::plist
