// The object runtime underneath the object bridge: type encodings and the layouts they give, methods whose
// encodings come from their C++ types, invocations and the exceptions of failed methods, classes by name, and the
// table of live objects that decides whether an address may be trusted, also while objects die on other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/exception.h"
#include "platform/objects/runtime.h"
#include "platform/objects/type_encoding.h"
#include "platform/objects/typed_methods.h"

namespace omb {
namespace {

TEST(TypeEncoding, LayoutsFollowTheCRules) {
    auto rect = parse_type("{NSRect={NSPoint=ff}{NSSize=ff}}");
    ASSERT_TRUE(rect);
    EXPECT_EQ(rect->name, "NSRect");
    EXPECT_EQ(rect->size, 16u);
    EXPECT_EQ(rect->align, 4u);
    ASSERT_EQ(rect->fields.size(), 2u);
    EXPECT_EQ(rect->fields[1].offset, 8u);
    EXPECT_EQ(rect->fields[1].fields[1].offset, 4u);

    auto mixed = parse_type("{S=cid}");
    ASSERT_TRUE(mixed);
    EXPECT_EQ(mixed->fields[1].offset, 4u);
    EXPECT_EQ(mixed->fields[2].offset, 8u);
    EXPECT_EQ(mixed->size, 16u);
    EXPECT_EQ(parse_type("{T=dc}")->size, 16u) << "padded to its alignment";
    EXPECT_EQ(parse_type("(U=id)")->size, 8u);
    EXPECT_EQ(parse_type("[4s]")->size, 8u);
    EXPECT_EQ(parse_type("[4s]")->count, 4u);
    EXPECT_EQ(parse_type("l")->size, 4u) << "the published long is 4 bytes";

    auto chars = parse_type("r*");
    EXPECT_EQ(chars->code, '*');
    EXPECT_EQ(chars->text, "r*");
    EXPECT_EQ(parse_type("@\"NSString\"")->name, "NSString");
    EXPECT_TRUE(parse_type("@?"));
    EXPECT_TRUE(parse_type("^{Opaque}")) << "opaque behind a pointer";
    EXPECT_TRUE(parse_type("^v"));
    EXPECT_TRUE(parse_type("^?"));
}

TEST(TypeEncoding, SignaturesWithAndWithoutOffsets) {
    auto s = parse_signature("@24@0:8Q16");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->result.code, '@');
    ASSERT_EQ(s->arguments.size(), 3u);
    EXPECT_EQ(s->arguments[2].code, 'Q');
    auto bare = parse_signature("v@:{_NSRange=QQ}r*");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->arguments.size(), 4u);
    EXPECT_EQ(bare->arguments[3].text, "r*");
    EXPECT_TRUE(parse_signature("v-4@+0:8"));
}

TEST(TypeEncoding, RefusesWhatItCannotLayOut) {
    for (const char* text : {"", "v", "v@", "vi:", "v@:v", "v@:?", "v@:{Opaque}", "v@:{S=b3}", "v@:{S=i", "v@:[4i",
                             "v@:[i]", "v@:^", "v@:[99999999999i]", "v@:[2000000i]", "v@:x", "v@:@\"Unclosed",
                             "v@:{a{b=i}", "v@:D", "v@:i]"}) {
        std::string why;
        EXPECT_FALSE(parse_signature(text, &why)) << text;
        EXPECT_FALSE(why.empty()) << text;
    }
    EXPECT_FALSE(parse_type("ii")) << "one type, the whole text";
    EXPECT_FALSE(parse_signature(std::string_view("v@:\0", 4)));
    EXPECT_FALSE(parse_type(std::string(40, '^') + "i")) << "nested too deep";
    EXPECT_TRUE(parse_type(std::string(30, '^') + "i"));
}

struct Widget : Object {
    std::string class_name() const override { return "Widget"; }
};

TEST(Runtime, MethodsPublishTheEncodingOfTheirTypes) {
    auto m = instance_method("objectAtIndex:", +[](NSArray*, uint64_t) { return Ref<Object>(); });
    EXPECT_EQ(m.encoding, "@24@0:8Q16");
    auto c = class_method("make:at:", +[](const Class&, char, NSRect) { return 1.0; });
    EXPECT_EQ(c.encoding, "d36@0:8c16{NSRect={NSPoint=ff}{NSSize=ff}}20");
    EXPECT_EQ(c.signature.arguments[3].size, sizeof(NSRect));
    EXPECT_THROW(make_method("bad", "v@:b1", [](Invocation&) {}), std::invalid_argument);
}

TEST(Runtime, InvocationsCallAndFailWithThePlatformsExceptions) {
    const Class* array_class = runtime::find_class("NSMutableArray");
    ASSERT_NE(array_class, nullptr);
    EXPECT_TRUE(array_class->is_kind_of("NSArray"));
    auto array = make_object<NSMutableArray>();
    array->add(make_object<NSString>("only"));
    EXPECT_EQ(runtime::class_of(array.get()), array_class);

    const Method* at = array_class->instance_method("objectAtIndex:");
    ASSERT_NE(at, nullptr);
    Invocation ok(*at, array.get(), array_class);
    *static_cast<uint64_t*>(ok.argument(2)) = 0;
    ok.invoke();
    EXPECT_EQ(ok.result_object(), array->at(0));

    Invocation past(*at, array.get(), array_class);
    *static_cast<uint64_t*>(past.argument(2)) = 1;
    try {
        past.invoke();
        FAIL() << "no exception";
    } catch (const PlatformException& e) {
        EXPECT_EQ(e.name(), "NSRangeException");
        EXPECT_EQ(e.reason(), "*** -[NSArray objectAtIndex:]: index 1 beyond bounds [0 .. 0]");
    }
    EXPECT_THROW(ok.get<int32_t>(2), std::logic_error) << "reading an argument as another size";

    // Objects of classes the runtime does not know answer as NSObject; the root's methods reach every class.
    auto widget = make_object<Widget>();
    EXPECT_EQ(runtime::class_of(widget.get())->name(), "NSObject");
    EXPECT_NE(array_class->class_method("alloc"), nullptr);
    EXPECT_THROW(runtime::register_class({"NSString", "NSObject", {}, {}, {}}), std::logic_error);
    EXPECT_THROW(runtime::register_class({"Orphan", "NoSuchParent", {}, {}, {}}), std::logic_error);
}

TEST(LiveObjects, OnlyLiveAddressesComeBack) {
    const size_t before = Object::live_count();
    auto* o = new Widget;
    EXPECT_EQ(Object::live_count(), before + 1);
    const auto address = reinterpret_cast<std::uintptr_t>(static_cast<Object*>(o));
    EXPECT_EQ(Object::retain_live(address), nullptr) << "an address never given out";
    EXPECT_EQ(std::stoull(o->address_text(), nullptr, 16), address);
    Object* again = Object::retain_live(address);
    ASSERT_EQ(again, o);
    EXPECT_EQ(o->retain_count(), 2);
    again->release();
    o->release();
    EXPECT_EQ(Object::live_count(), before);
    EXPECT_EQ(Object::retain_live(address), nullptr);
    EXPECT_EQ(Object::retain_live(address + 8), nullptr);
    EXPECT_EQ(Object::retain_live(0), nullptr);
}

// An object whose last release is under way, or a new one being made at the same address, must never come back,
// however the threads interleave (the sanitizers see a use after free or a half-made object if it does).
TEST(LiveObjects, ObjectsDyingOnAnotherThreadAreNotRevived) {
    std::atomic<std::uintptr_t> current{0};
    std::atomic<bool> done{false};
    std::atomic<long> revived{0};
    std::thread reader([&] {
        while (!done.load()) {
            if (Object* o = Object::retain_live(current.load())) {
                EXPECT_EQ(o->class_name(), "Widget");
                ++revived;
                o->release();
            }
        }
    });
    for (int i = 0; i < 20000; ++i) {
        auto* o = new Widget;
        o->address_text();
        current = reinterpret_cast<std::uintptr_t>(static_cast<Object*>(o));
        o->release();
    }
    done = true;
    reader.join();
    SUCCEED() << revived.load() << " taken while alive";
}

}  // namespace
}  // namespace omb
