#include "native/port_codec.h"

#include <bit>
#include <cstring>

namespace omb {

namespace {

// ---- writing -------------------------------------------------------------------------------------------------------

class Writer {
public:
    std::vector<uint8_t> bytes;
    std::string problem;
    size_t entries = 0;  // dictionary entries so far

    void u8(uint8_t v) { bytes.push_back(v); }
    void u16(uint16_t v) { big_endian(v, 2); }
    void u32(uint32_t v) { big_endian(v, 4); }
    void u64(uint64_t v) { big_endian(v, 8); }
    void raw(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
    }
    // Stops a write that would make the body too long before it allocates for it.
    bool room_for(size_t n) {
        if (bytes.size() - kPortFrameHeader + n <= kPortMessageMaxBody) return true;
        problem = "the message is longer than " + std::to_string(kPortMessageMaxBody) + " bytes";
        return false;
    }

    bool object(const Object* o, int depth);

private:
    void big_endian(uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    bool counted(uint8_t tag, const std::vector<uint8_t>& b) { return counted(tag, b.data(), b.size()); }
    bool counted(uint8_t tag, const void* p, size_t n) {
        if (!room_for(5 + n)) return false;  // also keeps n within 32 bits
        u8(tag);
        u32(static_cast<uint32_t>(n));
        raw(p, n);
        return true;
    }
    bool number(const NSNumber& n);
    bool array(const NSArray& a, int depth);
    bool dictionary(const NSDictionary& d, int depth);
};

bool Writer::number(const NSNumber& n) {
    if (!room_for(9)) return false;
    switch (n.kind()) {
    case NSNumber::Kind::integer: u8('i'), u64(static_cast<uint64_t>(n.integer_value())); break;
    case NSNumber::Kind::real: u8('r'), u64(std::bit_cast<uint64_t>(n.double_value())); break;
    case NSNumber::Kind::boolean: u8('b'), u8(n.bool_value() ? 1 : 0); break;
    }
    return true;
}

bool Writer::array(const NSArray& a, int depth) {
    if (!room_for(5)) return false;
    u8('a');
    u32(static_cast<uint32_t>(a.count()));
    for (const Ref<Object>& item : a.items())
        if (!object(item.get(), depth + 1)) return false;
    return true;
}

bool Writer::dictionary(const NSDictionary& d, int depth) {
    if ((entries += d.count()) > kPortMessageMaxEntries) {
        problem = "more than " + std::to_string(kPortMessageMaxEntries) + " dictionary entries";
        return false;
    }
    if (!room_for(5)) return false;
    u8('D');
    u32(static_cast<uint32_t>(d.count()));
    for (const auto& [key, value] : d.items())
        if (!object(key.get(), depth + 1) || !object(value.get(), depth + 1)) return false;
    return true;
}

bool Writer::object(const Object* o, int depth) {
    if (depth > kPortMessageMaxDepth) {
        problem = "arrays and dictionaries nested more than " + std::to_string(kPortMessageMaxDepth) + " deep";
        return false;
    }
    if (!o) {
        problem = "nil cannot travel in a port message";
        return false;
    }
    if (const auto* s = dynamic_cast<const NSString*>(o)) return counted('s', s->utf8().data(), s->utf8().size());
    if (const auto* d = dynamic_cast<const NSData*>(o)) return counted('d', d->bytes());
    if (const auto* n = dynamic_cast<const NSNumber*>(o)) return number(*n);
    if (const auto* a = dynamic_cast<const NSArray*>(o)) return array(*a, depth);
    if (const auto* d = dynamic_cast<const NSDictionary*>(o)) return dictionary(*d, depth);
    problem = "an object of class " + o->class_name() +
              " cannot travel in a port message (strings, numbers, data, arrays and dictionaries only)";
    return false;
}

bool name_ok(const std::string& name) {
    if (name.empty() || name.size() > kPortMessageMaxName) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c > 0x7e) return false;
    return true;
}

// ---- reading -------------------------------------------------------------------------------------------------------

class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p_(p), left_(n) {}
    std::string problem;

    bool done() const { return left_ == 0; }
    bool u8(uint8_t& v) { return take(1) && (v = p_[-1], true); }
    bool u16(uint16_t& v) { return big_endian(v, 2); }
    bool u32(uint32_t& v) { return big_endian(v, 4); }
    bool u64(uint64_t& v) { return big_endian(v, 8); }
    // `n` bytes, after checking that they are there.
    const uint8_t* bytes(size_t n) { return take(n) ? p_ - n : nullptr; }
    bool name(std::string& into, const char* what);
    Ref<Object> object(int depth);

private:
    bool take(size_t n) {
        if (n > left_) {
            if (problem.empty()) problem = "a length runs past the end of the message";
            return false;
        }
        p_ += n;
        left_ -= n;
        return true;
    }
    template <class T>
    bool big_endian(T& v, int n) {
        const uint8_t* b = bytes(static_cast<size_t>(n));
        if (!b) return false;
        v = 0;
        for (int i = 0; i < n; ++i) v = static_cast<T>((v << 8) | b[i]);
        return true;
    }
    Ref<Object> fail(std::string why) {
        if (problem.empty()) problem = std::move(why);
        return {};
    }
    Ref<Object> counted(uint8_t tag);
    Ref<Object> array(int depth);
    Ref<Object> dictionary(int depth);

    const uint8_t* p_;
    size_t left_;
    size_t entries_ = 0;  // dictionary entries so far
};

bool Reader::name(std::string& into, const char* what) {
    uint16_t n = 0;
    const uint8_t* b = u16(n) ? bytes(n) : nullptr;
    if (!b) return false;
    into.assign(reinterpret_cast<const char*>(b), n);
    if (name_ok(into)) return true;
    problem = std::string("the ") + what + " name is not 1 to 255 printable ASCII characters";
    return false;
}

Ref<Object> Reader::counted(uint8_t tag) {
    uint32_t n = 0;
    const uint8_t* b = u32(n) ? bytes(n) : nullptr;
    if (!b) return {};
    if (tag == 's') return make_object<NSString>(std::string(reinterpret_cast<const char*>(b), n));
    return make_object<NSData>(b, n);
}

// A count is believed only as far as the bytes could hold it: every item takes at least one.
Ref<Object> Reader::array(int depth) {
    uint32_t n = 0;
    if (!u32(n)) return {};
    if (n > left_) return fail("an array counts more items than the message holds");
    std::vector<Ref<Object>> items;
    items.reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
        Ref<Object> item = object(depth + 1);
        if (!item) return {};
        items.push_back(std::move(item));
    }
    return make_object<NSArray>(std::move(items));
}

Ref<Object> Reader::dictionary(int depth) {
    uint32_t n = 0;
    if (!u32(n)) return {};
    if (n > left_ / 2) return fail("a dictionary counts more entries than the message holds");
    if ((entries_ += n) > kPortMessageMaxEntries)
        return fail("more than " + std::to_string(kPortMessageMaxEntries) + " dictionary entries");
    std::vector<NSDictionary::Item> items;
    items.reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
        Ref<Object> key = object(depth + 1);
        Ref<Object> value = key ? object(depth + 1) : Ref<Object>();
        if (!value) return {};
        items.emplace_back(std::move(key), std::move(value));
    }
    return make_object<NSDictionary>(std::move(items));
}

Ref<Object> Reader::object(int depth) {
    if (depth > kPortMessageMaxDepth) return fail("arrays and dictionaries nested too deep");
    uint8_t tag = 0;
    if (!u8(tag)) return {};
    uint64_t bits = 0;
    uint8_t flag = 0;
    switch (tag) {
    case 's':
    case 'd': return counted(tag);
    case 'i': return u64(bits) ? Ref<Object>(NSNumber::integer(static_cast<int64_t>(bits))) : Ref<Object>();
    case 'r': return u64(bits) ? Ref<Object>(NSNumber::real(std::bit_cast<double>(bits))) : Ref<Object>();
    case 'b':
        if (!u8(flag)) return {};
        if (flag > 1) return fail("a boolean that is neither 0 nor 1");
        return NSNumber::boolean(flag == 1);
    case 'a': return array(depth);
    case 'D': return dictionary(depth);
    default: return fail("an object of unknown kind " + std::to_string(tag));
    }
}

}  // namespace

std::optional<std::vector<uint8_t>> encode_port_message(const PortMessage& message, std::string* problem) {
    Writer w;
    w.raw(kPortMessageMagic, sizeof kPortMessageMagic);
    w.u32(0);  // the body's length, once known
    w.u16(message.reply_port);
    bool ok = true;
    for (const std::string* name : {&message.process, &message.procedure}) {
        if (!name_ok(*name)) {
            w.problem = "a process or procedure name must be 1 to 255 printable ASCII characters: " + *name;
            ok = false;
            break;
        }
        w.u16(static_cast<uint16_t>(name->size()));
        w.raw(name->data(), name->size());
    }
    ok = ok && w.object(message.object.get(), 0);
    if (!ok) {
        if (problem) *problem = w.problem;
        return std::nullopt;
    }
    const auto body = static_cast<uint32_t>(w.bytes.size() - kPortFrameHeader);
    for (int i = 0; i < 4; ++i) w.bytes[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(body >> (24 - 8 * i));
    return std::move(w.bytes);
}

std::optional<size_t> port_frame_body_length(const uint8_t* header, size_t max_body) {
    if (std::memcmp(header, kPortMessageMagic, sizeof kPortMessageMagic) != 0) return std::nullopt;
    const size_t n = (size_t{header[4]} << 24) | (size_t{header[5]} << 16) | (size_t{header[6]} << 8) | header[7];
    if (n > max_body) return std::nullopt;
    return n;
}

bool decode_port_message_body(const uint8_t* body, size_t size, PortMessage& out, std::string* problem) {
    Reader r(body, size);
    PortMessage m;
    const bool ok = r.u16(m.reply_port) && r.name(m.process, "process") && r.name(m.procedure, "procedure") &&
                    (m.object = r.object(0)) && (r.done() || (r.problem = "bytes after the object", false));
    if (!ok) {
        if (problem) *problem = r.problem.empty() ? "a malformed message" : r.problem;
        return false;
    }
    out = std::move(m);
    return true;
}

}  // namespace omb
