#include "platform/objects/type_encoding.h"

#include <algorithm>
#include <cstring>

namespace omb {

bool EncodedType::is_integer() const { return code != 0 && std::strchr("cCsSiIlLqQB", code) != nullptr; }
bool EncodedType::is_real() const { return code == 'f' || code == 'd'; }

namespace {

// Where a type stands decides what it may be: void only as a result or behind a pointer, unknown and opaque
// types only behind a pointer.
enum class Place { value, result, pointee };

size_t align_up(size_t n, size_t a) { return (n + a - 1) / a * a; }

// What a refusal returns, whichever the function: false or nothing.
struct Failure {
    operator bool() const { return false; }  // NOLINT: both conversions are the point
    template <class T>
    operator std::optional<T>() const {  // NOLINT
        return std::nullopt;
    }
};

class Parser {
public:
    Parser(std::string_view text, std::string* why) : text_(text), why_(why) {}

    std::optional<EncodedType> type(Place place, size_t depth) {
        if (depth > kMaxDepth) return fail("nested too deep");
        const size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] != 0 && std::strchr("rnNoORV", text_[pos_])) ++pos_;
        if (pos_ >= text_.size()) return fail("a type is missing");
        EncodedType t;
        t.code = text_[pos_++];
        if (!body(t, place, depth)) return std::nullopt;
        t.text = std::string(text_.substr(start, pos_ - start));
        return t;
    }

    // An optional frame offset after a type of a signature.
    void offset() {
        if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
        while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
    }

    bool at_end() const { return pos_ >= text_.size(); }

    Failure fail(const char* what) {
        if (why_ && why_->empty()) *why_ = std::string(what) + " at " + std::to_string(pos_);
        return {};
    }

private:
    static bool is_digit(char c) { return c >= '0' && c <= '9'; }

    bool body(EncodedType& t, Place place, size_t depth) {
        switch (t.code) {
        case 'c': case 'C': case 'B': return simple(t, 1);
        case 's': case 'S': return simple(t, 2);
        case 'i': case 'I': case 'l': case 'L': case 'f': return simple(t, 4);
        case 'q': case 'Q': case 'd': return simple(t, 8);
        case '*': case '#': case ':': return simple(t, 8);
        case '@': return object(t);
        case '^': return pointer(t, depth);
        case 'v':
            if (place == Place::value) return fail("void by value");
            return true;
        case '?':
            if (place != Place::pointee) return fail("an unknown type by value");
            return true;
        case '[': return array(t, depth);
        case '{': return aggregate(t, '}', place, depth);
        case '(': return aggregate(t, ')', place, depth);
        case 'b': return fail("bit fields are not supported");
        default: return fail("unknown type code");
        }
    }

    static bool simple(EncodedType& t, size_t size) {
        t.size = t.align = size;
        return true;
    }

    // @, @"ClassName" or @? (a block).
    bool object(EncodedType& t) {
        simple(t, 8);
        if (pos_ < text_.size() && text_[pos_] == '?') {
            ++pos_;
        } else if (pos_ < text_.size() && text_[pos_] == '"') {
            const size_t close = text_.find('"', pos_ + 1);
            if (close == std::string_view::npos) return fail("unterminated class name");
            t.name = std::string(text_.substr(pos_ + 1, close - pos_ - 1));
            pos_ = close + 1;
        }
        return true;
    }

    bool pointer(EncodedType& t, size_t depth) {
        simple(t, 8);
        auto target = type(Place::pointee, depth + 1);
        if (!target) return false;
        t.fields.push_back(std::move(*target));
        return true;
    }

    bool array(EncodedType& t, size_t depth) {
        size_t count = 0, digits = 0;
        for (; pos_ < text_.size() && is_digit(text_[pos_]); ++pos_, ++digits) {
            count = count * 10 + static_cast<size_t>(text_[pos_] - '0');
            if (count > kMaxSize) return fail("array too long");
        }
        if (digits == 0) return fail("array without a count");
        auto element = type(Place::value, depth + 1);
        if (!element) return false;
        if (element->size == 0) return fail("array of an empty type");
        if (pos_ >= text_.size() || text_[pos_] != ']') return fail("unterminated array");
        ++pos_;
        if (count * element->size > kMaxSize) return fail("array too large");
        t.count = count;
        t.size = count * element->size;
        t.align = element->align;
        t.fields.push_back(std::move(*element));
        return true;
    }

    // {name=members} or (name=members); {name} alone is opaque.
    bool aggregate(EncodedType& t, char close, Place place, size_t depth) {
        const size_t name_start = pos_;
        while (pos_ < text_.size() && text_[pos_] != '=' && text_[pos_] != close) {
            if (text_[pos_] == 0 || std::strchr("{}()[]\"^", text_[pos_])) return fail("bad character in a name");
            ++pos_;
        }
        if (pos_ >= text_.size()) return fail("unterminated structure");
        t.name = std::string(text_.substr(name_start, pos_ - name_start));
        if (text_[pos_] == '=') {
            ++pos_;
            if (!members(t, close, depth)) return false;
        }
        ++pos_;  // the closing bracket
        if (t.size == 0 && place == Place::value) return fail("an empty or opaque structure by value");
        return true;
    }

    bool members(EncodedType& t, char close, size_t depth) {
        const bool is_union = close == ')';
        size_t end = 0;
        while (pos_ < text_.size() && text_[pos_] != close) {
            auto member = type(Place::value, depth + 1);
            if (!member) return false;
            member->offset = is_union ? 0 : align_up(end, member->align);
            end = is_union ? std::max(end, member->size) : member->offset + member->size;
            if (end > kMaxSize) return fail("structure too large");
            t.align = std::max(t.align, member->align);
            t.fields.push_back(std::move(*member));
        }
        if (pos_ >= text_.size()) return fail("unterminated structure");
        t.size = align_up(end, t.align);
        return true;
    }

    std::string_view text_;
    std::string* why_;
    size_t pos_ = 0;
};

}  // namespace

std::optional<EncodedType> parse_type(std::string_view text, std::string* why) {
    Parser p(text, why);
    auto t = p.type(Place::value, 0);
    if (t && !p.at_end()) return p.fail("text after the type");
    return t;
}

std::optional<MethodSignature> parse_signature(std::string_view text, std::string* why) {
    Parser p(text, why);
    MethodSignature s;
    auto result = p.type(Place::result, 0);
    if (!result) return std::nullopt;
    s.result = std::move(*result);
    p.offset();
    while (!p.at_end()) {
        if (s.arguments.size() == kMaxArguments + 2) return p.fail("too many arguments");
        auto argument = p.type(Place::value, 0);
        if (!argument) return std::nullopt;
        s.arguments.push_back(std::move(*argument));
        p.offset();
    }
    if (s.arguments.size() < 2) return p.fail("the receiver or the selector is missing");
    if (s.arguments[0].code != '@' && s.arguments[0].code != '#') return p.fail("the receiver is not an object");
    if (s.arguments[1].code != ':') return p.fail("the second argument is not the selector");
    return s;
}

}  // namespace omb
