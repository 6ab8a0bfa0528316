// Feeds arbitrary text to the type-encoding parser, as a method signature and as a single type. Whatever the text,
// the parser must not crash or read past it (the sanitizers watch an exactly sized copy); what it accepts must lay
// out sensibly (every member inside its structure, sizes within the limit), and an invocation built on an accepted
// signature must hold every argument and the result inside its buffer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/objects/runtime.h"
#include "platform/objects/type_encoding.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_type_encoding: %s\n", what);
    std::abort();
}

void check(const omb::EncodedType& t) {
    if (t.size > omb::kMaxSize) fail("a type larger than the limit");
    if (t.align == 0 || (t.align & (t.align - 1)) != 0) fail("an alignment that is not a power of two");
    if (t.text.empty() || t.text.find(t.code) == std::string::npos) fail("a type's text without its code");
    if (t.code == '{' || t.code == '(')
        for (const omb::EncodedType& f : t.fields) {
            if (f.offset + f.size > t.size) fail("a member outside its structure");
            if (f.offset % f.align != 0) fail("a misaligned member");
            check(f);
        }
    if (t.code == '[' && (t.fields.size() != 1 || t.fields[0].size * t.count != t.size)) fail("an array's size");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto copy = std::make_unique<char[]>(size);
    if (size) std::memcpy(copy.get(), data, size);
    const std::string_view text(copy.get(), size);

    if (auto t = omb::parse_type(text)) check(*t);
    auto signature = omb::parse_signature(text);
    if (!signature) return 0;
    check(signature->result);
    for (const omb::EncodedType& a : signature->arguments) check(a);
    if (signature->arguments.size() < 2 || signature->arguments[1].code != ':') fail("a signature without a selector");

    omb::Method method = omb::make_method("fuzzed", std::string(text), [](omb::Invocation& inv) {
        // Fills the result with as many bytes as it is encoded to take.
        std::memset(const_cast<void*>(inv.result()), 0xab, inv.signature().result.size);
    });
    omb::Invocation invocation(method, nullptr, nullptr);
    for (size_t i = 2; i < invocation.argument_count(); ++i)
        std::memset(invocation.argument(i), 0xcd, invocation.argument_type(i).size);
    invocation.invoke();
    return 0;
}
