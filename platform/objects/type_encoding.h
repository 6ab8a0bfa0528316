// Type encodings: the text by which every method of the object runtime publishes the types of its result and
// arguments ("@24@0:8@16": returns an object; takes self, the selector and an object), parsed into sizes and
// layouts that an invocation's argument buffer and the object bridge's conversions follow.
//
// The grammar is the platform's published one: qualifiers (r n N o O R V) before a type; c C s S i I l L q Q f d
// B v * @ # : ? as simple types; @"Name" and @? as objects; ^type for pointers; [count type] for arrays;
// {name=types} for structures, (name=types) for unions, and {name} for an opaque structure behind a pointer. In a
// method signature each type may be followed by its frame offset (digits, optionally signed), which is read and
// otherwise ignored: layouts are computed here, with the C rules of this machine (LP64: l and L are 4 bytes).
//
// Anything else is refused: bit fields, long double and other rare codes, void or unknown types by value,
// nesting deeper than kMaxDepth, types larger than kMaxSize. The parser never reads past the text it is given.
//
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace omb {

struct EncodedType {
    std::string text;   // the type as written, qualifiers included: "r*", "{NSRange=QQ}"
    char code = 0;      // its first character after the qualifiers: '@', 'i', '{', '^', '[', ...
    std::string name;   // of a structure or union ("NSRange"), else empty
    size_t size = 0;    // bytes by value; 0 for v, ? and opaque structures
    size_t align = 1;
    size_t offset = 0;  // within the enclosing structure, union or array (0 at the top)
    size_t count = 0;   // elements of an array
    // Structure and union members in order; an array's element; a pointer's target.
    std::vector<EncodedType> fields;

    bool is_integer() const;  // c C s S i I l L q Q B
    bool is_real() const;     // f d
};

// A method's result and arguments; arguments[0] is the receiver ('@' or '#'), arguments[1] the selector (':').
struct MethodSignature {
    EncodedType result;
    std::vector<EncodedType> arguments;
};

constexpr size_t kMaxDepth = 32;
constexpr size_t kMaxSize = size_t{1} << 20;
constexpr size_t kMaxArguments = 64;

// Exactly one type, the whole text; nothing when the text is not one (`why`, when given, says what is wrong).
std::optional<EncodedType> parse_type(std::string_view text, std::string* why = nullptr);

// A method's encoding: the result type, then at least the receiver and the selector, each with an optional frame
// offset.
std::optional<MethodSignature> parse_signature(std::string_view text, std::string* why = nullptr);

}  // namespace omb
